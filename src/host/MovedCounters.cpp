// Counting moves across passes and days for the task's second status line.
#include "host/MovedCounters.h"

#include "databases/RouterItems.h"

namespace vt {

void MovedCounters::Start(NotesServices& notes, ModuleHandle module,
                          StatusLineHandle defaultLine) {
  module_ = module;
  defaultLine_ = defaultLine;
  line_ = notes.CreateStatusLine(kMovedLineName);
  Show(notes);
}

void MovedCounters::Add(NotesServices& notes, const MessageCounts& before,
                        const MessageCounts& after) {
  // A new day zeroes the totals between passes, never during one, so the
  // difference is what the pass moved.
  const int64_t mail = after.Mail - before.Mail;
  const int64_t spamD = after.SpamD - before.SpamD;
  const int64_t spamC = after.SpamC - before.SpamC;
  const int64_t spamB = after.SpamB - before.SpamB;
  if (mail == 0 && spamD == 0 && spamC == 0 && spamB == 0) return;
  mail_ += mail;
  spamD_ += spamD;
  spamC_ += spamC;
  spamB_ += spamB;
  Show(notes);
}

void MovedCounters::Show(NotesServices& notes) {
  if (!line_) return;
  // Only the default line takes text: point it here for one write.
  notes.SetTaskDefaults(module_, line_);
  notes.SetStatusText(kMovedLineFormat, static_cast<long long>(mail_),
                      static_cast<long long>(spamD_),
                      static_cast<long long>(spamC_),
                      static_cast<long long>(spamB_));
  notes.SetTaskDefaults(module_, defaultLine_);
}

}  // namespace vt
