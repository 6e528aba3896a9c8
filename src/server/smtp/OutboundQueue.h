// The mail server's outbound queue is its mail boxes: the notes the listener
// wrote that the mail server may deliver now. That is the complement of what
// the router may still take: never mail marked for processing and not yet
// verified, never held or dead mail, in either interception mode, so that
// nothing leaves unscanned before the router has had it. Notes that never
// came over SMTP (the stand-ins' made-up mail) have no envelope and stay.
//
// Delivery's own bookkeeping lives on the note: the tries so far, when the
// next may be made, and the last reply. A message is taken off the queue
// only by deleting the version that was relayed, so a crash between the
// next hop's 250 and the deletion sends it once more, never loses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "notes/HandleOwners.h"
#include "notes/NotesServices.h"
#include "server/ServerAdmin.h"
#include "server/smtp/MailBoxIntake.h"
#include "server/smtp/SmtpClientSession.h"

namespace vt::smtp {

// What a message may be delivered by: the complement of the router's
// interception (both modes) and of held and dead mail. VTSmtpMail, the
// envelope's MAIL, is a summary item that every note from the listener has.
inline constexpr char kDeliverableFormula[] =
    "SELECT VTSmtpMail != \"\" & RoutingState != \"HOLD\" & "
    "RoutingState != \"DEAD\" & "
    "(VeltraneVerified = \"1\" | VeltraneProcess != \"1\")";

// Delivery's items on a message it could not deliver yet.
inline constexpr char kItemSmtpAttempts[] = "VTSmtpAttempts";        // a number
inline constexpr char kItemSmtpNextAttempt[] = "VTSmtpNextAttempt";  // time
inline constexpr char kItemSmtpLastReply[] = "VTSmtpLastReply";
// "address: reply" for each recipient the next hop refused for good.
inline constexpr char kItemSmtpRefused[] = "VTSmtpRefused";

struct QueuedMessage {
  size_t box = 0;  // the mail box's index
  uint32_t noteId = 0;
  uint32_t sequence = 0;  // the version found

  bool operator==(const QueuedMessage&) const = default;
};

// A message read for sending.
struct LoadedMessage {
  QueuedMessage at;
  UniversalId unid{};
  std::string queueId;  // the universal ID in hex, as the log names it
  int64_t receivedCentis = 0;
  double attempts = 0;
  std::vector<std::string> refusedBefore;  // kItemSmtpRefused as it was
  OutgoingMessage outgoing;                // with our trace field first
};

struct RetryPolicy {
  int64_t firstCentis = 60 * 100;      // the delay after the first failure
  int64_t longestCentis = 3600 * 100;  // doubling up to this
  int64_t lifetimeCentis = 5LL * 24 * 3600 * 100;  // then it is given up
};

// What becomes of a message after one try, recipient by recipient.
struct Settlement {
  std::vector<size_t> deferred;  // indices still to be tried
  std::vector<size_t> refused;   // refused for good on this try
  size_t delivered = 0;
  // Refused (or out of time) for every recipient left: dead mail.
  bool dead = false;
  int64_t nextAttemptCentis = 0;
  std::string reason;  // the reply that decided, for the log and the note
  std::vector<std::string> refusedLines;  // "address: reply"
  bool deleted = false;                   // set once the note is gone
};

// Decides the settlement; a recipient deferred past the lifetime counts
// as refused.
Settlement Judge(const LoadedMessage& message,
                 const TransactionOutcome& outcome, int64_t nowCentis,
                 const RetryPolicy& policy);

class OutboundQueue {
 public:
  OutboundQueue(NotesServices& notes, ServerAdmin& admin,
                std::vector<OpenMailBox> mailBoxes, std::string hostName);
  OutboundQueue(const OutboundQueue&) = delete;
  OutboundQueue& operator=(const OutboundQueue&) = delete;

  Status Init();

  // The messages that may be tried at nowCentis, oldest note first per mail
  // box, at most max.
  Status Due(int64_t nowCentis, size_t max, std::vector<QueuedMessage>* due);
  // Reads one for sending; kNoteDeleted or kUpdateConflict when it is gone
  // or changed since it was found.
  Status Load(const QueuedMessage& at, LoadedMessage* message);
  // Records a settlement: deletes the version that was relayed when every
  // recipient was delivered, else keeps only those still to be tried, or
  // marks the note dead when none is left, as the mail server marks dead
  // mail. kUpdateConflict, with nothing written, when the note changed.
  Status Settle(const LoadedMessage& message, Settlement* settlement);

  const std::vector<OpenMailBox>& mailBoxes() const { return mailBoxes_; }

 private:
  NotesServices& notes_;
  ServerAdmin& admin_;
  std::vector<OpenMailBox> mailBoxes_;
  std::string hostName_;
  CompiledFormula deliverable_;
};

// "Received: from HELO by HOST (VTRouter) with PROTO id ID for <RCPT>;
// DATE" folded into CRLF lines, as the trace field we add.
std::string TraceField(std::string_view helo, std::string_view host,
                       std::string_view protocol, std::string_view queueId,
                       const std::vector<Recipient>& recipients,
                       int64_t unixSeconds);

// RFC 5322's date-time in UTC: "Wed, 09 Dec 2026 23:51:05 +0000".
std::string MailDate(int64_t unixSeconds);

}  // namespace vt::smtp
