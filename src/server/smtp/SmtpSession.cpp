// The SMTP/LMTP server state machine: greeting, EHLO, the mail transaction,
// the data phase and the owner's answer, with pipelined input kept in order.
#include "server/smtp/SmtpSession.h"

#include <algorithm>
#include <utility>

namespace vt::smtp {
namespace {

bool IsHostName(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  for (const char c : name) {
    if (c < '!' || c > '~') return false;
  }
  return true;
}

// A HELO, EHLO or LHLO argument: a name or an address literal, which we
// take as it comes (Postfix judges the client, not us), printable only.
bool IsHeloArgument(std::string_view argument) {
  if (argument.empty() || argument.size() > 255) return false;
  for (const char c : argument) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

}  // namespace

SmtpSession::SmtpSession(const SessionOptions& options, SessionHandler& handler)
    : options_(options), handler_(handler) {
  if (!IsHostName(options_.hostName)) options_.hostName = "localhost";
  options_.maxCommandLine = std::max(options_.maxCommandLine, kMaxCommandLine);
  options_.maxBufferedInput =
      std::max(options_.maxBufferedInput, options_.maxCommandLine);
  options_.maxPendingOutput =
      std::max(options_.maxPendingOutput, kMaxReplyLine);
  options_.maxErrors = std::max(options_.maxErrors, 1);
  // "SIZE 0" would announce no limit at all (RFC 1870); there always is one.
  if (options_.maxMessageSize == 0) {
    options_.maxMessageSize = SessionOptions().maxMessageSize;
  }
  // The greeting and the replies to HELO/EHLO carry no enhanced code
  // (RFC 2034).
  Say(220, "", options_.hostName + (options_.lmtp ? " LMTP" : " ESMTP"));
}

size_t SmtpSession::Feed(std::string_view bytes) {
  if (processing_) return 0;
  if (phase_ == Phase::kClosed) return bytes.size();
  Process();
  size_t taken = 0;
  while (phase_ != Phase::kClosed) {
    in_.erase(0, inStart_);
    inStart_ = 0;
    const size_t room = options_.maxBufferedInput - in_.size();
    const size_t n = std::min(room, bytes.size() - taken);
    if (n == 0) break;
    in_.append(bytes.substr(taken, n));
    taken += n;
    Process();
  }
  if (phase_ == Phase::kClosed) {
    in_.clear();
    inStart_ = 0;
    return bytes.size();
  }
  return taken;
}

std::string SmtpSession::TakeOutput() {
  std::string taken;
  taken.swap(output_);
  return taken;
}

bool SmtpSession::WantsInput() const {
  return phase_ != Phase::kClosed &&
         bufferedInput() < options_.maxBufferedInput &&
         output_.size() < options_.maxPendingOutput;
}

void SmtpSession::Process() {
  if (processing_) return;
  processing_ = true;
  for (;;) {
    bool progressed = false;
    if (phase_ == Phase::kData) {
      progressed = ProcessData();
    } else if (phase_ == Phase::kCommand &&
               output_.size() < options_.maxPendingOutput) {
      progressed = ProcessCommandLine();
    }
    if (!progressed) break;
  }
  processing_ = false;
}

bool SmtpSession::ProcessCommandLine() {
  const std::string_view buffered = std::string_view(in_).substr(inStart_);
  const size_t lf = buffered.find('\n');
  if (lf == std::string_view::npos) {
    // A line that cannot end within the limit is dropped as it comes and
    // answered once its end arrives, in its place among the replies.
    if (skippingLongLine_ || buffered.size() >= options_.maxCommandLine) {
      skippingLongLine_ = true;
      inStart_ = in_.size();
    }
    return false;
  }
  inStart_ += lf + 1;
  if (skippingLongLine_ || lf + 1 > options_.maxCommandLine) {
    skippingLongLine_ = false;
    Fail(500, "5.5.2", "Line too long");
    return true;
  }
  std::string_view line = buffered.substr(0, lf);
  // Commands end in CRLF. A bare LF, or a CR inside, would make this line
  // two commands to one reader and one to another; refused, never guessed.
  if (line.empty() || line.back() != '\r') {
    Fail(500, "5.5.2", "Bare LF in command");
    return true;
  }
  line.remove_suffix(1);
  if (line.find('\0') != std::string_view::npos) {
    Fail(500, "5.5.2", "NUL in command");
  } else if (line.find('\r') != std::string_view::npos) {
    Fail(500, "5.5.2", "Bare CR in command");
  } else {
    Execute(line);
  }
  return true;
}

bool SmtpSession::ProcessData() {
  const std::string_view buffered = std::string_view(in_).substr(inStart_);
  if (buffered.empty()) return false;
  inStart_ += decoder_->Decode(buffered, &chunk_);
  if (!chunk_.empty()) {
    handler_.MessageData(chunk_);
    chunk_.clear();
  }
  if (phase_ != Phase::kData || !decoder_->done()) return false;
  EndOfData();
  return true;
}

void SmtpSession::Execute(std::string_view line) {
  const CommandLine command = SplitCommand(line);
  const std::string_view argument = command.argument;
  switch (command.verb) {
    case Verb::kHelo:
    case Verb::kEhlo:
    case Verb::kLhlo:
      Hello(command.verb, argument);
      break;
    case Verb::kMail:
      Mail(argument);
      break;
    case Verb::kRcpt:
      Rcpt(argument);
      break;
    case Verb::kData:
      Data(argument);
      break;
    case Verb::kRset:
      if (!argument.empty()) {
        Fail(501, "5.5.4", "Syntax: RSET");
        break;
      }
      EndTransaction();
      Say(250, "2.0.0", "Ok");
      break;
    case Verb::kNoop:
      Say(250, "2.0.0", "Ok");
      break;
    case Verb::kQuit:
      Say(221, "2.0.0", "Bye");
      phase_ = Phase::kClosed;
      break;
    case Verb::kVrfy:
      if (argument.empty()) {
        Fail(501, "5.5.4", "Syntax: VRFY address");
      } else {
        Say(252, "2.0.0", "Cannot VRFY user, but will take mail for it");
      }
      break;
    case Verb::kHelp:
      Say(214, "2.0.0",
          options_.lmtp
              ? "Commands: LHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP"
              : "Commands: HELO EHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP");
      break;
    case Verb::kXforward:
      XforwardCommand(argument);
      break;
    case Verb::kNotOffered:
      Fail(502, "5.5.1", "Command not implemented");
      break;
    case Verb::kUnknown:
      Fail(500, "5.5.2", "Command not recognized");
      break;
  }
}

void SmtpSession::Hello(Verb verb, std::string_view argument) {
  if (options_.lmtp != (verb == Verb::kLhlo)) {
    if (verb == Verb::kLhlo) {
      Fail(500, "5.5.2", "Command not recognized");
    } else {
      Fail(500, "5.5.1", "This is LMTP: use LHLO");
    }
    return;
  }
  const std::string_view name = verb == Verb::kHelo   ? "HELO"
                                : verb == Verb::kEhlo ? "EHLO"
                                                      : "LHLO";
  if (!IsHeloArgument(argument)) {
    Fail(501, "", "Syntax: " + std::string(name) + " hostname");
    return;
  }
  // A new greeting resets the session as RSET does (RFC 5321 4.1.4).
  EndTransaction();
  envelope_.heloName.assign(argument);
  envelope_.greeting = verb == Verb::kHelo   ? Greeting::kHelo
                       : verb == Verb::kEhlo ? Greeting::kEhlo
                                             : Greeting::kLhlo;
  if (verb == Verb::kHelo) {
    Say(250, "", options_.hostName);
    return;
  }
  Reply reply;
  reply.code = 250;
  reply.lines = {options_.hostName,
                 "PIPELINING",
                 "SIZE " + std::to_string(options_.maxMessageSize),
                 "8BITMIME",
                 "SMTPUTF8",
                 "ENHANCEDSTATUSCODES",
                 "DSN"};
  if (options_.xforward) {
    std::string keyword = "XFORWARD";
    for (const std::string_view attribute : kXforwardNames) {
      keyword += ' ';
      keyword += attribute;
    }
    reply.lines.push_back(std::move(keyword));
  }
  Say(reply);
}

void SmtpSession::Mail(std::string_view argument) {
  if (envelope_.greeting == Greeting::kNone) {
    Fail(503, "5.5.1",
         options_.lmtp ? "Send LHLO first" : "Send HELO/EHLO first");
    return;
  }
  if (inTransaction_) {
    Fail(503, "5.5.1", "Nested MAIL command");
    return;
  }
  if (mailRefusal_) {
    Say(*mailRefusal_);
    return;
  }
  MailCommand mail;
  if (Refusal refused = ParseMail(argument, options_.pathLimits, &mail)) {
    Fail(*refused);
    return;
  }
  if (mail.params.size && *mail.params.size > options_.maxMessageSize) {
    Say(552, "5.3.4", "Message size exceeds fixed limit");
    return;
  }
  inTransaction_ = true;
  rcptTried_ = false;
  envelope_.reversePath = std::move(mail.reversePath);
  envelope_.mail = std::move(mail.params);
  envelope_.recipients.clear();
  Say(250, "2.1.0", "Ok");
}

void SmtpSession::Rcpt(std::string_view argument) {
  if (!inTransaction_) {
    Fail(503, "5.5.1", "Need MAIL command");
    return;
  }
  rcptTried_ = true;
  RcptCommand rcpt;
  if (Refusal refused = ParseRcpt(argument, envelope_.mail.smtpUtf8,
                                  options_.pathLimits, &rcpt)) {
    Fail(*refused);
    return;
  }
  // RFC 5321 4.5.3.1.10: the excess is refused with 452, which the client
  // takes as "send these again later", never as a failure of the message.
  if (envelope_.recipients.size() >= options_.maxRecipients) {
    Say(452, "4.5.3", "Too many recipients");
    return;
  }
  envelope_.recipients.push_back(
      Recipient{std::move(rcpt.forwardPath), std::move(rcpt.params)});
  Say(250, "2.1.5", "Ok");
}

void SmtpSession::Data(std::string_view argument) {
  if (!argument.empty()) {
    Fail(501, "5.5.4", "Syntax: DATA");
    return;
  }
  if (!inTransaction_) {
    Fail(503, "5.5.1", "Need MAIL command");
    return;
  }
  if (envelope_.recipients.empty()) {
    if (rcptTried_) {
      Say(554, "5.5.1", "No valid recipients");
    } else {
      Fail(503, "5.5.1", "Need RCPT command");
    }
    return;
  }
  Say(354, "", "End data with <CR><LF>.<CR><LF>");
  decoder_.emplace(options_.maxMessageSize, options_.maxDataLine);
  phase_ = Phase::kData;
  handler_.MessageBegins(envelope_);
}

void SmtpSession::XforwardCommand(std::string_view argument) {
  if (!options_.xforward) {
    Fail(550, "5.7.0", "Insufficient authorization");
    return;
  }
  if (envelope_.greeting != Greeting::kEhlo &&
      envelope_.greeting != Greeting::kLhlo) {
    Fail(503, "5.5.1", "Send EHLO first");
    return;
  }
  if (inTransaction_) {
    Fail(503, "5.5.1", "MAIL transaction in progress");
    return;
  }
  if (Refusal refused = ParseXforward(argument, &envelope_.xforward)) {
    Fail(*refused);
    return;
  }
  Say(250, "2.0.0", "Ok");
}

void SmtpSession::EndOfData() {
  const DataFault fault = decoder_->fault();
  decoder_.reset();
  if (fault == DataFault::kNone) {
    phase_ = Phase::kAwaitingOutcome;
    handler_.MessageComplete(envelope_);
    return;
  }
  // Faults inside the data can only be told after the final dot, when the
  // client reads replies again. A line too long and a bare line end are
  // refused for good (554, one of the replies RFC 5321 4.3.2 lists after
  // the data): sent again, the same bytes would meet the same answer.
  Reply reply;
  if (fault == DataFault::kTooBig) {
    reply = Reply(552, "5.3.4", "Message size exceeds fixed limit");
  } else if (fault == DataFault::kLineTooLong) {
    reply = Reply(554, "5.6.0",
                  "Message refused: a line longer than " +
                      std::to_string(options_.maxDataLine) + " octets");
  } else {
    reply = Reply(554, "5.6.0", "Message refused: bare CR or LF in the data");
  }
  handler_.MessageRefused(reply);
  if (phase_ != Phase::kData) return;  // the handler closed the session
  const size_t replies = options_.lmtp ? envelope_.recipients.size() : 1;
  for (size_t i = 0; i < replies; ++i) Say(reply);
  phase_ = Phase::kCommand;
  EndTransaction();
}

Status SmtpSession::Answer(const Reply& reply) {
  if (phase_ != Phase::kAwaitingOutcome || !IsSendable(reply)) {
    return err::kInvalidArgument;
  }
  const size_t replies = options_.lmtp ? envelope_.recipients.size() : 1;
  for (size_t i = 0; i < replies; ++i) Say(reply);
  Answered();
  return {};
}

Status SmtpSession::AnswerEach(std::span<const Reply> replies) {
  const size_t expected = options_.lmtp ? envelope_.recipients.size() : 1;
  if (phase_ != Phase::kAwaitingOutcome || replies.size() != expected) {
    return err::kInvalidArgument;
  }
  for (const Reply& reply : replies) {
    if (!IsSendable(reply)) return err::kInvalidArgument;
  }
  for (const Reply& reply : replies) Say(reply);
  Answered();
  return {};
}

void SmtpSession::Answered() {
  phase_ = Phase::kCommand;
  EndTransaction();
  // What the client pipelined behind the dot is answered now, in order.
  Process();
}

void SmtpSession::Close(CloseReason reason) {
  if (phase_ == Phase::kClosed) return;
  if (reason == CloseReason::kTimeout) {
    SayClosing("4.4.2", "Timeout, closing connection");
  } else {
    SayClosing("4.3.2", "Service shutting down, closing connection");
  }
}

Status SmtpSession::RefuseMail(std::optional<Reply> reply) {
  if (reply && !IsSendable(*reply)) return err::kInvalidArgument;
  mailRefusal_ = std::move(reply);
  return {};
}

void SmtpSession::EndTransaction() {
  inTransaction_ = false;
  rcptTried_ = false;
  envelope_.reversePath.clear();
  envelope_.mail = MailParams();
  envelope_.recipients.clear();
  // XFORWARD speaks of the next transaction only, as in Postfix.
  envelope_.xforward = Xforward();
}

void SmtpSession::Say(const Reply& reply) {
  output_ += FormatReply(reply);
  if (reply.code < 400) errors_ = 0;
}

void SmtpSession::Say(int code, std::string_view enhanced,
                      std::string_view text) {
  Say(Reply(code, enhanced, text));
}

void SmtpSession::Fail(const Reply& reply) {
  Say(reply);
  if (++errors_ >= options_.maxErrors) {
    SayClosing("4.7.0", "Too many errors, closing connection");
  }
}

void SmtpSession::Fail(int code, std::string_view enhanced,
                       std::string_view text) {
  Fail(Reply(code, enhanced, text));
}

void SmtpSession::SayClosing(std::string_view enhanced, std::string_view text) {
  Say(421, enhanced, options_.hostName + " " + std::string(text));
  phase_ = Phase::kClosed;
  decoder_.reset();
}

}  // namespace vt::smtp
