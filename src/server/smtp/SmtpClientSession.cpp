// With PIPELINING the envelope goes in one write (XFORWARD, MAIL, every
// RCPT, DATA) and the replies are matched in order, as RFC 2920 has it;
// without it each command waits for its reply. The body goes only after
// 354, and only when some recipient was taken.
#include "server/smtp/SmtpClientSession.h"

#include <utility>

#include "base/Ascii.h"
#include "server/smtp/SmtpData.h"

namespace vt::smtp {
namespace {

bool HasEightBitData(std::string_view data) {
  for (const char c : data) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

bool NeedsUtf8(const OutgoingMessage& message) {
  if (HasEightBitData(message.reversePath)) return true;
  for (const Recipient& r : message.recipients) {
    if (HasEightBitData(r.address)) return true;
  }
  return false;
}

// "... queued as 4Z1xYk3h2Pz9" -> "4Z1xYk3h2Pz9".
std::string RemoteId(const Reply& reply) {
  constexpr std::string_view kMark = "queued as ";
  for (const std::string& line : reply.lines) {
    const size_t at = line.find(kMark);
    if (at == std::string::npos) continue;
    std::string_view id = std::string_view(line).substr(at + kMark.size());
    size_t end = 0;
    while (end < id.size() && id[end] != ' ' && id[end] != ';' &&
           id[end] != ',' && id[end] != ')') {
      ++end;
    }
    return std::string(id.substr(0, end));
  }
  return std::string();
}

}  // namespace

Fate FateOf(const Reply& reply) {
  if (reply.positive()) return Fate::kDelivered;
  if (reply.permanent()) return Fate::kRefused;
  return Fate::kDeferred;
}

SmtpClientSession::SmtpClientSession(const ClientOptions& options)
    : options_(options) {}

size_t SmtpClientSession::Feed(std::string_view bytes) {
  size_t taken = 0;
  while (taken < bytes.size() && !finished()) {
    taken += parser_.Feed(bytes.substr(taken));
    if (parser_.failed()) {
      Break(Reply(451, "4.5.0", "Next hop sent no SMTP reply"));
      break;
    }
    if (!parser_.ready()) break;
    OnReply(parser_.Take());
  }
  // What comes after the end is not ours to read.
  return finished() ? bytes.size() : taken;
}

std::string SmtpClientSession::TakeOutput() {
  std::string out;
  out.swap(output_);
  return out;
}

bool SmtpClientSession::awaitingDot() const {
  return state_ == State::kBusy && !expected_.empty() &&
         expected_.front().step == Step::kDot;
}

void SmtpClientSession::OnReply(const Reply& reply) {
  switch (state_) {
    case State::kGreeting:
      OnGreeting(reply);
      return;
    case State::kHello:
    case State::kHelo:
      OnHello(reply);
      return;
    case State::kBusy:
      OnTransactionReply(reply);
      return;
    case State::kReset:
      if (reply.positive()) {
        state_ = State::kIdle;
      } else {
        Break(reply);
      }
      return;
    case State::kQuitting:
      state_ = State::kClosed;
      return;
    case State::kIdle:
      // A reply to nothing: the next hop and we no longer agree.
      Break(Reply(451, "4.5.0", "Next hop replied out of turn"));
      return;
    case State::kBroken:
    case State::kClosed:
      return;
  }
}

void SmtpClientSession::OnGreeting(const Reply& reply) {
  if (reply.code != 220) {
    // 554 says "no service here"; QUIT is still polite.
    output_ += "QUIT\r\n";
    Break(reply);
    return;
  }
  if (!reply.lines.empty()) {
    const std::string_view first = reply.lines.front();
    remoteName_ = std::string(first.substr(0, first.find(' ')));
  }
  output_ += (options_.lmtp ? "LHLO " : "EHLO ") + options_.heloName + "\r\n";
  state_ = State::kHello;
}

void SmtpClientSession::OnHello(const Reply& reply) {
  if (reply.positive()) {
    features_ = ParseEhloReply(reply);
    state_ = State::kIdle;
    return;
  }
  // An old server that knows no EHLO may still take mail with HELO; LMTP
  // has no fallback.
  if (state_ == State::kHello && !options_.lmtp && reply.permanent()) {
    output_ += "HELO " + options_.heloName + "\r\n";
    state_ = State::kHelo;
    return;
  }
  output_ += "QUIT\r\n";
  Break(reply);
}

void SmtpClientSession::Send(const OutgoingMessage& message) {
  if (state_ != State::kIdle) return;
  fates_.assign(message.recipients.size(), std::nullopt);
  accepted_.clear();
  expected_.clear();
  mailRefused_ = false;
  dataSent_ = false;
  needsReset_ = false;
  remoteId_.clear();

  std::optional<Reply> cannot;
  const uint64_t size = message.data.size();
  if (message.recipients.empty()) {
    cannot = Reply(554, "5.5.1", "No recipients");
  } else if (features_.size && features_.maxSize != 0 &&
             size > features_.maxSize) {
    cannot = Reply(552, "5.3.4",
                   "Message too big for the next hop (" + std::to_string(size) +
                       " > " + std::to_string(features_.maxSize) + ")");
  } else if (message.mail.smtpUtf8 && NeedsUtf8(message) &&
             !features_.smtpUtf8) {
    cannot = Reply(553, "5.6.7", "Next hop does not take UTF-8 addresses");
  } else if (!features_.eightBitMime && HasEightBitData(message.data)) {
    cannot = Reply(554, "5.6.3", "Next hop does not take 8-bit data");
  }
  if (cannot) {
    SettleAll(*cannot);
    EndTransaction();
    return;
  }

  // What the transaction still needs is kept here, not the message: its
  // RCPT lines and its data, stuffed.
  rcptLines_.clear();
  const bool utf8 = message.mail.smtpUtf8 && features_.smtpUtf8;
  for (const Recipient& r : message.recipients) {
    rcptLines_.push_back(FormatRcptTo(r.address, r.params, features_, utf8));
  }
  body_.clear();
  body_.reserve(size + size / 64 + 8);
  DotStuffer stuffer;
  stuffer.Add(message.data, &body_);
  stuffer.Finish(&body_);

  MailParams params = message.mail;
  // Our trace field makes the message longer than the client declared.
  if (params.size) params.size = size;
  state_ = State::kBusy;
  // Without PIPELINING each command waits for its reply; XFORWARD, a
  // courtesy to the next hop's log, is then left out rather than waited on.
  std::string commands = features_.pipelining
                             ? FormatXforward(message.xforward, features_)
                             : std::string();
  for (size_t i = 0; !commands.empty() && i < commands.size();) {
    expected_.push_back({Step::kXforward});
    i = commands.find("\r\n", i) + 2;
  }
  commands += FormatMailFrom(message.reversePath, params, features_);
  expected_.push_back({Step::kMail});
  if (!features_.pipelining) {
    output_ += commands;
    return;  // the rest follows the replies
  }
  for (size_t i = 0; i < rcptLines_.size(); ++i) {
    commands += rcptLines_[i];
    expected_.push_back({Step::kRcpt, i});
  }
  commands += "DATA\r\n";
  expected_.push_back({Step::kData});
  output_ += commands;
}

void SmtpClientSession::OnTransactionReply(const Reply& reply) {
  if (expected_.empty()) {
    Break(Reply(451, "4.5.0", "Next hop replied out of turn"));
    return;
  }
  const Expected step = expected_.front();
  expected_.pop_front();
  switch (step.step) {
    case Step::kXforward:
      // The original client's data is a courtesy to the next hop's logs;
      // its refusal does not stop the mail.
      break;
    case Step::kMail:
      if (!reply.positive()) {
        mailRefused_ = true;
        needsReset_ = true;
        SettleAll(reply);
      }
      if (!features_.pipelining) {
        if (mailRefused_) {
          EndTransaction();
          return;
        }
        output_ += rcptLines_[0];
        expected_.push_back({Step::kRcpt, 0});
      }
      break;
    case Step::kRcpt:
      if (!mailRefused_) {
        if (reply.positive()) {
          accepted_.push_back(step.index);
        } else {
          fates_[step.index] = RecipientOutcome{FateOf(reply), reply};
        }
      }
      if (!features_.pipelining) {
        const size_t next = step.index + 1;
        if (next < rcptLines_.size()) {
          output_ += rcptLines_[next];
          expected_.push_back({Step::kRcpt, next});
        } else if (accepted_.empty()) {
          needsReset_ = true;
          EndTransaction();
          return;
        } else {
          output_ += "DATA\r\n";
          expected_.push_back({Step::kData});
        }
      }
      break;
    case Step::kData:
      if (reply.code == 354) {
        if (accepted_.empty() || mailRefused_) {
          // RFC 2920 3.1: DATA taken with no recipient is ended at once
          // with an empty message, and its reply ignored.
          output_ += ".\r\n";
          expected_.push_back({Step::kDot, SIZE_MAX});
          needsReset_ = true;
        } else {
          SendBody();
        }
      } else {
        if (!mailRefused_) {
          for (const size_t i : accepted_) {
            fates_[i] = RecipientOutcome{FateOf(reply), reply};
          }
        }
        needsReset_ = true;
      }
      break;
    case Step::kDot:
      if (step.index == SIZE_MAX) break;  // the empty message's end
      if (remoteId_.empty()) remoteId_ = RemoteId(reply);
      if (options_.lmtp) {
        fates_[step.index] = RecipientOutcome{FateOf(reply), reply};
      } else {
        for (const size_t i : accepted_) {
          fates_[i] = RecipientOutcome{FateOf(reply), reply};
        }
      }
      break;
  }
  if (expected_.empty()) EndTransaction();
}

void SmtpClientSession::SendBody() {
  output_ += body_;
  std::string().swap(body_);
  dataSent_ = true;
  // SMTP answers the dot once; LMTP once for each recipient RCPT took.
  if (options_.lmtp) {
    for (const size_t i : accepted_) expected_.push_back({Step::kDot, i});
  } else {
    expected_.push_back({Step::kDot});
  }
}

void SmtpClientSession::SettleAll(const Reply& reply) {
  for (auto& fate : fates_) {
    if (!fate) fate = RecipientOutcome{FateOf(reply), reply};
  }
}

void SmtpClientSession::EndTransaction() {
  // Whatever has no fate yet was never answered.
  SettleAll(Reply(451, "4.4.2", "No reply from the next hop"));
  TransactionOutcome outcome;
  for (auto& fate : fates_) outcome.recipients.push_back(std::move(*fate));
  outcome.remoteId = std::move(remoteId_);
  outcome_ = std::move(outcome);
  std::string().swap(body_);
  expected_.clear();
  if (state_ != State::kBusy && state_ != State::kIdle) return;
  if (needsReset_) {
    output_ += "RSET\r\n";
    state_ = State::kReset;
  } else {
    state_ = State::kIdle;
  }
}

TransactionOutcome SmtpClientSession::TakeOutcome() {
  TransactionOutcome outcome = std::move(*outcome_);
  outcome_.reset();
  return outcome;
}

void SmtpClientSession::Quit() {
  if (state_ != State::kIdle) return;
  output_ += "QUIT\r\n";
  state_ = State::kQuitting;
}

void SmtpClientSession::ConnectionLost(const Reply& why) { Break(why); }

void SmtpClientSession::Break(const Reply& why) {
  if (finished()) return;
  const bool busy = state_ == State::kBusy;
  failure_ = why;
  state_ = state_ == State::kQuitting ? State::kClosed : State::kBroken;
  if (busy) {
    SettleAll(why);
    EndTransaction();
  }
}

}  // namespace vt::smtp
