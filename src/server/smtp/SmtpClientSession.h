// The client side of SMTP or LMTP for delivery, without I/O: the owner (a
// relay connection) writes what the session says and feeds it what the next
// hop answers, so that the protocol is tested and fuzzed without sockets, as
// the listener's SmtpSession is. One session carries one message at a time
// over one connection and may carry the next after it (RSET in between only
// when a transaction failed). Every recipient ends with a fate of its own:
// delivered, refused for now (4yz) or refused for good (5yz); what the next
// hop never answered is refused for now, so that the message is tried again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/smtp/SmtpClient.h"
#include "server/smtp/SmtpCommand.h"
#include "server/smtp/SmtpReply.h"
#include "server/smtp/SmtpSession.h"

namespace vt::smtp {

// One message as delivery sends it.
struct OutgoingMessage {
  std::string reversePath;  // empty for the null path
  MailParams mail;
  std::vector<Recipient> recipients;
  Xforward xforward;
  std::string data;  // the message as it goes, CRLF lines, not yet stuffed
};

enum class Fate : unsigned char { kDelivered, kDeferred, kRefused };

struct RecipientOutcome {
  Fate fate = Fate::kDeferred;
  Reply reply;  // the next hop's (or our own, for what it never answered)
};

struct TransactionOutcome {
  std::vector<RecipientOutcome> recipients;  // one per recipient, in order
  // The next hop's name for the message, from "queued as ID" (Postfix and
  // most MTAs say it so), when it gave one.
  std::string remoteId;
};

// The reply's fate for a recipient: 2yz delivered, 5yz refused, anything
// else (4yz, or no reply at all) deferred.
Fate FateOf(const Reply& reply);

struct ClientOptions {
  std::string heloName = "localhost";  // our name in EHLO/LHLO
  bool lmtp = false;
};

class SmtpClientSession {
 public:
  explicit SmtpClientSession(const ClientOptions& options);
  SmtpClientSession(const SmtpClientSession&) = delete;
  SmtpClientSession& operator=(const SmtpClientSession&) = delete;

  // Takes the next hop's bytes and returns how many it took (all of them
  // unless the session broke on them).
  size_t Feed(std::string_view bytes);
  // What is to be written to the next hop, in order.
  std::string TakeOutput();

  // Greeted, features known, no transaction under way: Send() may start one.
  bool idle() const { return state_ == State::kIdle; }
  // The connection is of no more use (refused, broken, or after QUIT): the
  // owner closes it. A transaction under way has its outcome ready.
  bool finished() const {
    return state_ == State::kBroken || state_ == State::kClosed;
  }
  // Why the connection was refused or broke; code 0 when it did not.
  const Reply& failure() const { return failure_; }
  const ServerFeatures& features() const { return features_; }
  // The next hop's name from its greeting ("mx.example.org"), for a report.
  const std::string& remoteName() const { return remoteName_; }
  // Whether the reply awaited now is the one to the final dot, which may
  // take the next hop longer than any other (RFC 5321 4.5.3.2.6).
  bool awaitingDot() const;

  // Starts a transaction; only while idle. The message need not outlive
  // the call. A message the next hop cannot
  // take as it is (too big for its SIZE, 8-bit data or UTF-8 addresses it
  // does not announce) is refused for every recipient at once with our own
  // reply, and nothing is sent.
  void Send(const OutgoingMessage& message);
  // The outcome, once the transaction ended (also when the connection broke
  // during it); afterwards the session is idle again or finished.
  bool outcomeReady() const { return outcome_.has_value(); }
  TransactionOutcome TakeOutcome();

  // QUIT, once idle; the session is finished when it is answered.
  void Quit();
  // The connection ended, failed or timed out: what is under way is
  // deferred with this reply.
  void ConnectionLost(const Reply& why);

 private:
  enum class State : unsigned char {
    kGreeting,  // waiting for 220
    kHello,     // EHLO or LHLO sent
    kHelo,      // HELO sent after EHLO was refused
    kIdle,
    kBusy,  // a transaction's replies awaited
    kReset,
    kQuitting,
    kBroken,
    kClosed,
  };
  enum class Step : unsigned char { kXforward, kMail, kRcpt, kData, kDot };
  struct Expected {
    Step step;
    size_t index = 0;  // the recipient, for kRcpt and (LMTP) kDot
  };

  void OnReply(const Reply& reply);
  void OnGreeting(const Reply& reply);
  void OnHello(const Reply& reply);
  void OnTransactionReply(const Reply& reply);
  void SendBody();
  void SettleAll(const Reply& reply);
  void EndTransaction();
  void Break(const Reply& why);

  ClientOptions options_;
  State state_ = State::kGreeting;
  ReplyParser parser_;
  std::string output_;
  ServerFeatures features_;
  std::string remoteName_;
  Reply failure_;

  // The transaction under way.
  std::vector<std::string> rcptLines_;
  std::string body_;  // stuffed, sent after 354
  std::deque<Expected> expected_;
  std::vector<std::optional<RecipientOutcome>> fates_;
  std::vector<size_t> accepted_;  // recipients that RCPT took, in order
  bool mailRefused_ = false;
  bool dataSent_ = false;
  bool needsReset_ = false;
  std::string remoteId_;
  std::optional<TransactionOutcome> outcome_;
};

}  // namespace vt::smtp
