// Keeping the configuration and its document in step: the change check
// before every pass, and the write-back of new quarantine names under the
// machine-wide lock that every writer of the document takes.
#include "config/ConfigItems.h"
#include "config/ServerConfig.h"
#include "system/ScopedNamedMutex.h"

namespace vt {

uint16_t ServerConfig::Reinitialize() {
  bool reread = false;
  if (!dbHandle) {
    configNoteId = 0;
    configModified = TimeDate();
    reread = true;
  } else {
    TimeDate modified;
    uint32_t sequence = 0;
    uint16_t noteClass = 0;
    const Status status = notes().GetNoteInfo(dbHandle, configNoteId, &sequence,
                                              &modified, &noteClass);
    const bool unanswered = status.Is(err::kServerNotResponding);
    const bool saidAlready = unanswered && unansweredCheckLogged_;
    unansweredCheckLogged_ = unanswered;
    if (status.ok()) {
      if (notes().CompareTimeDates(modified, configModified) == 0) {
        return kReinitUnchanged;
      }
      reread = true;
    } else if (status.Is(err::kNoteDeleted) || configNoteId == 0) {
      configNoteId = 0;
      reread = true;
    } else {
      // Out of reach, the check fails on every pass: one line an outage.
      if (!saidAlready) ReportError(status, "Reinitialize error.");
      return kReinitError;
    }
  }
  if (reread && Read().ok()) {
    ReportError(Status(), "Reinitialize successful.");
    return kReinitReread;
  }
  return kReinitError;
}

Status ServerConfig::SaveQuarantineNames() {
  if (!dbHandle) return Status(1);
  ScopedNamedMutex lock(system_, kSaveConfigMutexName, true);
  if (!lock.valid() || !lock.Acquire(kSaveConfigWaitMs)) return Status(1);
  NotesServices& n = notes();
  NoteHandle note;
  Status status = n.OpenNote(dbHandle, configNoteId, 0, &note);
  if (!status.ok()) {
    ReportError(status, "Unable to open user configuration document.");
    return status;
  }
  // Whether the document is still as this router last read it: only then
  // is the time of the save below the router's own. An edit someone made
  // since must still look like a change to the next check.
  TimeDate opened;
  const bool unchangedSinceRead =
      n.GetNoteField(note, kNoteFieldModified, &opened).ok() &&
      n.CompareTimeDates(opened, configModified) == 0;
  struct Saved {
    const char* item;
    const FixedText<kPathSize>& path;
    const char* failure;
  };
  for (const Saved& s :
       {Saved{kItemQuarantinePathB, quarantinePathB,
              "Unable to save new Quarantine-B name to configuration "
              "document."},
        Saved{kItemQuarantinePathC, quarantinePathC,
              "Unable to save new Quarantine-C name to configuration "
              "document."},
        Saved{kItemQuarantinePathD, quarantinePathD,
              "Unable to save new Quarantine-D name to configuration "
              "document."}}) {
    status = n.SetTextItem(note, s.item, s.path.c_str(), 0xFFFF);
    if (!status.ok()) ReportError(status, "%s", s.failure);
  }
  if (n.UpdateNote(note, 0).ok() && unchangedSinceRead) {
    // Our own save must not count as an outside edit at the next check.
    n.GetNoteField(note, kNoteFieldModified, &configModified).IgnoreError();
  }
  return n.CloseNote(note);
}

}  // namespace vt
