// The server side of one SMTP or LMTP conversation, without I/O: the owner
// (the listener) feeds it the bytes it reads and sends the replies it
// produces, so that the network, the store and the fuzz target all run the
// same protocol code. The session never answers a message by itself: at the
// final dot it hands the envelope to the owner and waits, because 250 may
// only be said once the message is durable. Time is the owner's as well: it
// applies the timeouts by the phase the session is in. Every buffer is
// bounded: the input it holds, the replies not yet taken, and the message
// data, which goes to the owner as it arrives.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "notes/Status.h"
#include "server/smtp/SmtpCommand.h"
#include "server/smtp/SmtpData.h"
#include "server/smtp/SmtpReply.h"

namespace vt::smtp {

struct SessionOptions {
  // For the greeting and EHLO; a name with blanks or controls becomes
  // "localhost", so that no reply can be split by it.
  std::string hostName = "localhost";
  // RFC 2033: LHLO instead of EHLO, and one reply per recipient at the end.
  bool lmtp = false;
  // Above Postfix's own default (10240000 octets), so that what Postfix
  // took still fits here with the header lines it adds.
  uint64_t maxMessageSize = 50 * 1024 * 1024;
  size_t maxRecipients = 1000;  // Postfix's smtpd_recipient_limit
  // RFC 5321 says 512 with CRLF; ESMTP parameters make it longer, and
  // Postfix's own line limit is 2048. Never below 512.
  size_t maxCommandLine = 2048;
  // With CRLF (RFC 5321 4.5.3.1.6). Postfix breaks what it sends at 998
  // characters and CRLF, so mail from it always fits.
  size_t maxDataLine = 1000;
  // Whether this client may send XFORWARD (an MTA of our own, the owner
  // decides by its address); only then is it announced.
  bool xforward = false;
  // Protocol errors in a row before 421.
  int maxErrors = 20;
  // Pipelined input held while an answer is awaited (never less than a
  // command line), and replies not yet taken before input stops being read.
  size_t maxBufferedInput = 64 * 1024;
  size_t maxPendingOutput = 64 * 1024;
  PathLimits pathLimits;
};

enum class Phase : unsigned char {
  kCommand,          // waiting for a command (the greeting has been queued)
  kData,             // reading message data
  kAwaitingOutcome,  // the final dot came; the owner is to answer
  kClosed,           // after QUIT or 421: send the output, then close
};

// RFC 5321 4.5.3.2, for the owner: how long to wait for a command, for the
// next data block, and at most before answering the final dot (the client
// waits 10 minutes for that reply).
inline constexpr std::chrono::seconds kCommandTimeout{300};
inline constexpr std::chrono::seconds kDataBlockTimeout{180};
inline constexpr std::chrono::seconds kOutcomeDeadline{600};

enum class Greeting : unsigned char { kNone, kHelo, kEhlo, kLhlo };

struct Recipient {
  std::string address;
  RcptParams params;

  bool operator==(const Recipient&) const = default;
};

// One mail transaction as the client gave it.
struct Envelope {
  Greeting greeting = Greeting::kNone;
  std::string heloName;
  std::string reversePath;  // empty for the null path
  MailParams mail;
  std::vector<Recipient> recipients;  // the accepted ones, in order
  Xforward xforward;
};

// The owner's side of the message data. The session calls these from Feed()
// and from Answer(); they may call Answer() and Close(), never Feed().
class SessionHandler {
 public:
  virtual ~SessionHandler() = default;
  // 354 went out: message data follows.
  virtual void MessageBegins(const Envelope& envelope) = 0;
  // The message as it arrives: dots taken off, CRLFs kept, never more than
  // maxMessageSize in all.
  virtual void MessageData(std::string_view bytes) = 0;
  // The session refused the message itself at its end (too big, a line too
  // long, a bare CR or LF) and has sent the reply: drop what was handed.
  virtual void MessageRefused(const Reply& reply) = 0;
  // The final dot: the owner answers with Answer() or AnswerEach(), now or
  // later; the envelope stays as it is until then.
  virtual void MessageComplete(const Envelope& envelope) = 0;
};

enum class CloseReason : unsigned char {
  kShutdown,  // 421 4.3.2: the service is stopping
  kTimeout,   // 421 4.4.2: the client kept us waiting too long
};

class SmtpSession {
 public:
  // Queues the greeting.
  SmtpSession(const SessionOptions& options, SessionHandler& handler);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Takes bytes read from the client and acts on them, and returns how many
  // it took: all, or fewer while it waits for an answer or its replies are
  // not taken and its buffer is full. The owner feeds the rest later (an
  // empty Feed() goes on with what is buffered). Once closed, it takes and
  // drops everything.
  size_t Feed(std::string_view bytes);

  // The replies produced so far, in order, to be written to the client.
  std::string TakeOutput();

  // The outcome of the message awaited: in SMTP one reply; in LMTP the same
  // reply for every recipient. kInvalidArgument when no message awaits or
  // the reply is not sendable (see IsSendable).
  Status Answer(const Reply& reply);
  // LMTP: one reply per accepted recipient, in their order.
  Status AnswerEach(std::span<const Reply> replies);

  // Says 421 and closes, whatever the phase (a message awaiting its answer
  // is then the owner's to drop; the client will send it again).
  void Close(CloseReason reason);

  // Back-pressure: while set, MAIL is answered with this reply (a 4yz, say,
  // when the store is full), so that no data is sent in vain.
  // kInvalidArgument for a reply that is not sendable.
  Status RefuseMail(std::optional<Reply> reply);

  Phase phase() const { return phase_; }
  bool closed() const { return phase_ == Phase::kClosed; }
  // Whether reading more is of use: false while closed, or while the
  // buffered input or the replies not taken are at their limits.
  bool WantsInput() const;
  const Envelope& envelope() const { return envelope_; }
  size_t bufferedInput() const { return in_.size() - inStart_; }
  size_t pendingOutput() const { return output_.size(); }

 private:
  void Process();
  bool ProcessCommandLine();
  bool ProcessData();
  void Execute(std::string_view line);
  void Hello(Verb verb, std::string_view argument);
  void Mail(std::string_view argument);
  void Rcpt(std::string_view argument);
  void Data(std::string_view argument);
  void XforwardCommand(std::string_view argument);
  void EndOfData();
  void Answered();
  void EndTransaction();

  void Say(const Reply& reply);
  void Say(int code, std::string_view enhanced, std::string_view text);
  // A reply to a client's mistake: counted, and too many in a row end the
  // session.
  void Fail(const Reply& reply);
  void Fail(int code, std::string_view enhanced, std::string_view text);
  void SayClosing(std::string_view enhanced, std::string_view text);

  SessionOptions options_;
  SessionHandler& handler_;
  Phase phase_ = Phase::kCommand;
  bool processing_ = false;
  bool skippingLongLine_ = false;
  int errors_ = 0;
  std::string in_;
  size_t inStart_ = 0;
  std::string output_;
  std::string chunk_;  // decoded data not yet handed to the owner
  std::optional<DataDecoder> decoder_;
  std::optional<Reply> mailRefusal_;
  Envelope envelope_;
  bool inTransaction_ = false;
  bool rcptTried_ = false;
};

}  // namespace vt::smtp
