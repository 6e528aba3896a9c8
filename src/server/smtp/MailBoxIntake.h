// The listener's MessageTaker over the server's mail boxes: each message
// goes into the next mail box in turn, as the mail server spreads its
// load over several, and is logged with its universal ID. While the mail
// boxes hold more documents than the backlog limit (the router or the
// scanner has stalled), every MAIL is answered 452, so that the MTA keeps
// the mail in its own queue instead of our disk filling up.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "notes/NotesServices.h"
#include "server/ServerAdmin.h"
#include "server/smtp/MessageIntake.h"
#include "server/smtp/SmtpListener.h"

namespace vt::smtp {

struct MailBoxIntakeOptions {
  IntakeOptions intake;
  uint64_t maxBacklog = 0;  // documents in all mail boxes; 0: no limit
  // How long a count of the backlog stands before it is made again.
  int64_t backlogRecountCentis = 100;
};

struct OpenMailBox {
  DbHandle handle;
  std::string name;
};

class MailBoxIntake : public MessageTaker {
 public:
  MailBoxIntake(NotesServices& notes, ServerAdmin& admin,
                std::vector<OpenMailBox> mailBoxes,
                const MailBoxIntakeOptions& options);

  std::optional<Reply> Refusal() override;
  Reply Take(const Envelope& envelope, std::string_view data,
             const ClientInfo& client) override;

  // The documents the last count found (the listener's stats).
  uint64_t backlog() const { return backlog_; }

 private:
  int64_t Now();
  Status CountBacklog(uint64_t* documents);
  // Takes a count of the backlog, and logs when it crosses the limit.
  void Judge(uint64_t documents);

  NotesServices& notes_;
  ServerAdmin& admin_;
  std::vector<OpenMailBox> mailBoxes_;
  MailBoxIntakeOptions options_;
  size_t next_ = 0;
  uint64_t backlog_ = 0;
  std::optional<int64_t> countedAt_;  // when the last count was made
  bool full_ = false;
};

}  // namespace vt::smtp
