// The queue is found by a scan of the mail boxes with the deliverable
// selection; the bookkeeping items are summary items, so that the scan
// sees when a message may be tried again without opening it.
#include "server/smtp/OutboundQueue.h"

#include <ctime>
#include <utility>

#include "databases/MailItems.h"
#include "databases/RouterItems.h"
#include "notes/ItemValue.h"
#include "notes/TimeDate.h"
#include "server/smtp/MessageIntake.h"
#include "server/smtp/NoteWriter.h"

namespace vt::smtp {
namespace {

// A field value cut to one line: no CR or LF from a reply can start a
// field of its own.
std::string OneLine(std::string_view text) {
  std::string line;
  for (const char c : text) {
    line += (c == '\r' || c == '\n') ? ' ' : c;
  }
  return line;
}

std::string ReplyText(const Reply& reply) { return OneLine(reply.Summary()); }

}  // namespace

std::string MailDate(int64_t unixSeconds) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                          "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                            "May", "Jun", "Jul", "Aug",
                                            "Sep", "Oct", "Nov", "Dec"};
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000",
                kDays[tm.tm_wday], tm.tm_mday, kMonths[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string TraceField(std::string_view helo, std::string_view host,
                       std::string_view protocol, std::string_view queueId,
                       const std::vector<Recipient>& recipients,
                       int64_t unixSeconds) {
  std::string field =
      "Received: from " + OneLine(helo.empty() ? "unknown" : helo);
  field += "\r\n\tby " + OneLine(host) + " (VTRouter) with " +
           OneLine(protocol) + " id " + std::string(queueId);
  // As Postfix does, the recipient is named only when there is one.
  if (recipients.size() == 1) {
    field += "\r\n\tfor <" + OneLine(recipients.front().address) + ">";
  }
  return field + "; " + MailDate(unixSeconds) + "\r\n";
}

OutboundQueue::OutboundQueue(NotesServices& notes, ServerAdmin& admin,
                             std::vector<OpenMailBox> mailBoxes,
                             std::string hostName)
    : notes_(notes),
      admin_(admin),
      mailBoxes_(std::move(mailBoxes)),
      hostName_(std::move(hostName)),
      deliverable_(notes) {}

Status OutboundQueue::Init() {
  return deliverable_.Compile(nullptr, kDeliverableFormula);
}

Status OutboundQueue::Due(int64_t nowCentis, size_t max,
                          std::vector<QueuedMessage>* due) {
  due->clear();
  const MemHandle selection = deliverable_.handle();
  ServerAdmin::ScanOptions options;
  options.selections = std::span<const MemHandle>(&selection, 1);
  options.summary = true;
  for (size_t box = 0; box < mailBoxes_.size() && due->size() < max; ++box) {
    const Status s = admin_.ScanDocuments(
        mailBoxes_[box].handle, options,
        [&](const ServerAdmin::Document& document) {
          if ((document.selected & 1) == 0) return Status();
          if (document.summary != nullptr) {
            const auto next = ItemUnixCentis(
                FindItem(*document.summary, kItemSmtpNextAttempt));
            if (next && *next > nowCentis) return Status();
          }
          // Enough for now: the scan is made again when these are done.
          if (due->size() < max) {
            due->push_back({box, document.noteId, document.sequence});
          }
          return Status();
        });
    if (!s.ok()) return s;
  }
  return Status();
}

Status OutboundQueue::Load(const QueuedMessage& at, LoadedMessage* message) {
  Note note(notes_);
  Status s = note.Open(mailBoxes_[at.box].handle, at.noteId);
  if (!s.ok()) return s;
  ServerAdmin::NoteContents contents;
  s = admin_.ReadNote(note.handle(), &contents);
  if (!s.ok()) return s;
  if (contents.sequence != at.sequence) return err::kUpdateConflict;
  const std::vector<NoteItem>& items = contents.items;

  *message = LoadedMessage();
  message->at = at;
  message->unid = contents.unid;
  message->queueId = UnidHex(contents.unid);
  message->receivedCentis = ItemUnixCentis(FindItem(items, kItemSmtpReceived))
                                .value_or(contents.created);
  message->attempts = ItemNumber(FindItem(items, kItemSmtpAttempts));
  message->refusedBefore = ItemTextList(FindItem(items, kItemSmtpRefused));

  // The envelope as the listener kept it, read back with its own parsers.
  OutgoingMessage& out = message->outgoing;
  MailCommand mail;
  if (ParseMail(ItemText(FindItem(items, kItemSmtpMail)), PathLimits(),
                &mail)) {
    return err::kInvalidNote;
  }
  out.reversePath = mail.reversePath;
  out.mail = mail.params;
  for (const std::string& argument :
       ItemTextList(FindItem(items, kItemSmtpRcpt))) {
    RcptCommand rcpt;
    if (ParseRcpt(argument, mail.params.smtpUtf8, PathLimits(), &rcpt)) {
      return err::kInvalidNote;
    }
    out.recipients.push_back({rcpt.forwardPath, rcpt.params});
  }
  for (const std::string& argument :
       ItemTextList(FindItem(items, kItemSmtpXforward))) {
    // What was good when it came is good now; a bad line is only lost
    // courtesy to the next hop's log.
    if (ParseXforward(argument, &out.xforward)) continue;
  }
  const NoteItem* bytes = FindItem(items, kItemSmtpMessage);
  if (bytes == nullptr) return err::kInvalidNote;
  TimeDate now;
  notes_.CurrentTime(&now);
  out.data =
      TraceField(ItemText(FindItem(items, kItemSmtpHelo)), hostName_,
                 ItemText(FindItem(items, kItemSmtpProtocol)), message->queueId,
                 out.recipients, UnixCentisFromTimeDate(now) / 100);
  out.data.append(bytes->value.begin(), bytes->value.end());
  return Status();
}

Settlement Judge(const LoadedMessage& message,
                 const TransactionOutcome& outcome, int64_t nowCentis,
                 const RetryPolicy& policy) {
  Settlement settlement;
  const std::vector<Recipient>& recipients = message.outgoing.recipients;
  const bool outOfTime =
      nowCentis - message.receivedCentis >= policy.lifetimeCentis;
  std::string deferredReason;
  for (size_t i = 0; i < recipients.size(); ++i) {
    const RecipientOutcome& r = outcome.recipients[i];
    const Fate fate =
        r.fate == Fate::kDeferred && outOfTime ? Fate::kRefused : r.fate;
    switch (fate) {
      case Fate::kDelivered:
        ++settlement.delivered;
        break;
      case Fate::kDeferred:
        settlement.deferred.push_back(i);
        deferredReason = ReplyText(r.reply);
        break;
      case Fate::kRefused:
        settlement.refused.push_back(i);
        settlement.refusedLines.push_back(recipients[i].address + ": " +
                                          ReplyText(r.reply));
        if (settlement.reason.empty()) settlement.reason = ReplyText(r.reply);
        break;
    }
  }
  if (!settlement.deferred.empty()) settlement.reason = deferredReason;
  if (outOfTime && !settlement.refused.empty()) {
    settlement.reason += " (given up after " +
                         std::to_string(policy.lifetimeCentis / 360000) +
                         " hours)";
  }
  settlement.dead = settlement.deferred.empty() && !settlement.refused.empty();
  if (!settlement.deferred.empty()) {
    // Twice as long after each failure, from the first delay up to the
    // longest.
    int64_t delay = policy.firstCentis;
    for (double n = 1; n < message.attempts + 1 && delay < policy.longestCentis;
         ++n) {
      delay *= 2;
    }
    if (delay > policy.longestCentis) delay = policy.longestCentis;
    settlement.nextAttemptCentis = nowCentis + delay;
  }
  return settlement;
}

Status OutboundQueue::Settle(const LoadedMessage& message,
                             Settlement* settlement) {
  const std::vector<Recipient>& recipients = message.outgoing.recipients;
  const DbHandle db = mailBoxes_[message.at.box].handle;

  if (settlement->deferred.empty() && settlement->refused.empty()) {
    const uint32_t id = message.at.noteId;
    const uint32_t sequence = message.at.sequence;
    uint32_t deleted = 0;
    const Status s = admin_.DeleteDocuments(db, std::span(&id, 1),
                                            std::span(&sequence, 1), &deleted);
    if (!s.ok()) return s;
    settlement->deleted = true;
    return deleted == 1 ? Status() : Status(err::kUpdateConflict);
  }

  Note note(notes_);
  Status s = note.Open(db, message.at.noteId);
  if (!s.ok()) return s;
  uint32_t sequence = 0;
  TimeDate modified;
  uint16_t noteClass = 0;
  s = notes_.GetNoteInfo(db, message.at.noteId, &sequence, &modified,
                         &noteClass);
  if (!s.ok()) return s;
  if (sequence != message.at.sequence) return err::kUpdateConflict;

  // Those still to be tried stay; when none is left, the note keeps those
  // refused, as the record of dead mail.
  const std::vector<size_t>& kept =
      settlement->dead ? settlement->refused : settlement->deferred;
  std::vector<std::string> rcpts;
  std::vector<std::string> addresses;
  for (const size_t i : kept) {
    rcpts.push_back(
        RcptArgument(recipients[i], message.outgoing.mail.smtpUtf8));
    addresses.push_back(recipients[i].address);
  }
  NoteWriter w(notes_, note.handle());
  w.Replacing(kItemSmtpRcpt).TextList(kItemSmtpRcpt, rcpts, false);
  w.Replacing(kItemRecipients).TextList(kItemRecipients, addresses, false);
  const double attempts = message.attempts + 1;
  w.Replacing(kItemSmtpAttempts).Number(kItemSmtpAttempts, attempts);
  w.Replacing(kItemSmtpLastReply).Text(kItemSmtpLastReply, settlement->reason);
  if (!settlement->refusedLines.empty()) {
    std::vector<std::string> all = message.refusedBefore;
    all.insert(all.end(), settlement->refusedLines.begin(),
               settlement->refusedLines.end());
    w.Replacing(kItemSmtpRefused).TextList(kItemSmtpRefused, all);
  }
  if (settlement->dead) {
    w.Replacing(kItemRoutingState).Text(kItemRoutingState, kStateDead);
    w.Replacing(kItemDeadFailureReason)
        .Text(kItemDeadFailureReason, settlement->reason);
    w.Replacing(kItemSmtpNextAttempt);
  } else {
    w.Replacing(kItemSmtpNextAttempt)
        .Time(kItemSmtpNextAttempt, settlement->nextAttemptCentis);
  }
  if (!w.status().ok()) return w.status();
  return notes_.UpdateNote(note.handle(), 0);
}

}  // namespace vt::smtp
