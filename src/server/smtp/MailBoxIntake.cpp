// The backlog is counted at most once per recount interval, not per
// command: a count reads every mail box's note list.
#include "server/smtp/MailBoxIntake.h"

#include "notes/TimeDate.h"

namespace vt::smtp {

MailBoxIntake::MailBoxIntake(NotesServices& notes, ServerAdmin& admin,
                             std::vector<OpenMailBox> mailBoxes,
                             const MailBoxIntakeOptions& options)
    : notes_(notes),
      admin_(admin),
      mailBoxes_(std::move(mailBoxes)),
      options_(options) {}

int64_t MailBoxIntake::Now() {
  TimeDate now;
  notes_.CurrentTime(&now);
  return UnixCentisFromTimeDate(now);
}

Status MailBoxIntake::CountBacklog(uint64_t* documents) {
  *documents = 0;
  for (const OpenMailBox& box : mailBoxes_) {
    const Status s =
        admin_.ScanDocuments(box.handle, ServerAdmin::ScanOptions(),
                             [&](const ServerAdmin::Document&) {
                               ++*documents;
                               return Status();
                             });
    if (!s.ok()) return s;
  }
  return Status();
}

void MailBoxIntake::Judge(uint64_t documents) {
  backlog_ = documents;
  const bool full =
      options_.maxBacklog != 0 && documents >= options_.maxBacklog;
  if (full == full_) return;
  full_ = full;
  if (full) {
    notes_.LogMessage(
        "SMTP Server: The mail boxes hold %lu messages, the limit: new mail "
        "is deferred until they hold fewer.",
        Status(), static_cast<unsigned long>(documents));
  } else {
    notes_.LogMessage("SMTP Server: The mail boxes take mail again.", Status());
  }
}

std::optional<Reply> MailBoxIntake::Refusal() {
  if (options_.maxBacklog == 0) return std::nullopt;
  const int64_t now = Now();
  if (!countedAt_ || now - *countedAt_ >= options_.backlogRecountCentis) {
    countedAt_ = now;
    uint64_t documents = 0;
    const Status s = CountBacklog(&documents);
    // A count that failed keeps the last answer.
    if (s.ok()) Judge(documents);
  }
  if (!full_) return std::nullopt;
  return Reply(452, "4.3.1", "Mail boxes full; try again later");
}

Reply MailBoxIntake::Take(const Envelope& envelope, std::string_view data,
                          const ClientInfo& client) {
  if (mailBoxes_.empty()) {
    return Reply(451, "4.3.0", "No mail box; try again later");
  }
  const OpenMailBox& box = mailBoxes_[next_];
  next_ = (next_ + 1) % mailBoxes_.size();
  const IntakeResult r = TakeMessage(notes_, admin_, box.handle, envelope, data,
                                     Now(), options_.intake);
  const std::string from =
      envelope.reversePath.empty() ? "<>" : envelope.reversePath;
  if (r.reply.positive()) {
    // Counted at once: a burst must not pass the limit before a recount.
    Judge(backlog_ + 1);
    notes_.LogMessage(
        "SMTP Server: Message %s (%s) from %s for %lu recipient%s, %lu bytes, "
        "client %s, stored in %s.",
        Status(), UnidHex(r.unid).c_str(),
        r.fields.messageId.empty() ? "no Message-ID"
                                   : r.fields.messageId.c_str(),
        from.c_str(), static_cast<unsigned long>(envelope.recipients.size()),
        envelope.recipients.size() == 1 ? "" : "s",
        static_cast<unsigned long>(data.size()), client.address.c_str(),
        box.name.c_str());
  } else {
    notes_.LogMessage(
        "SMTP Server: Message from %s (client %s) refused: %d %s %s", r.status,
        from.c_str(), client.address.c_str(), r.reply.code,
        r.reply.enhanced.c_str(), r.reply.text().c_str());
  }
  return r.reply;
}

}  // namespace vt::smtp
