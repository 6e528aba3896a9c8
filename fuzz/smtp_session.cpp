// Fuzzes the listener's SMTP session with any bytes a client could send, cut
// into chunks as a socket delivers them, the owner answering each message at
// once, a chunk later, per recipient, or closing instead. Every reply must
// be a well-formed line (three digits, CRLF, 512 octets at most) that the
// delivery side's parser reads, memory must stay within the limits, a
// message handed over must be what the limits let through, and its envelope
// written out again by the delivery helpers must read back the same. The
// same bytes go to the reply parser too, as a hostile server's replies.
//
// Input: a byte of options (LMTP, XFORWARD, small limits, how to answer), a
// byte that seeds the chunk sizes and the owner's choices, then the client.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "server/smtp/SmtpClient.h"
#include "server/smtp/SmtpData.h"
#include "server/smtp/SmtpReply.h"
#include "server/smtp/SmtpSession.h"

namespace vt::smtp::fuzzing {
namespace {

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz invariant: %s\n", what);
  __builtin_trap();
}

class Choices {
 public:
  explicit Choices(uint32_t seed) : state_(seed * 2654435761u + 1) {}
  uint32_t Next(uint32_t below) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_ % below;
  }

 private:
  uint32_t state_;
};

// The replies as a client reads them: line by line, and by the delivery
// side's parser, which must take every one.
class ReplyChecker {
 public:
  void Check(std::string_view output) {
    parsed_ = output;
    while (!output.empty()) {
      const size_t end = output.find("\r\n");
      Require(end != std::string_view::npos, "output ends inside a line");
      const std::string_view line = output.substr(0, end);
      Require(end + 2 <= kMaxReplyLine, "reply line over 512 octets");
      Require(line.find_first_of("\r\n") == std::string_view::npos,
              "CR or LF inside a reply line");
      Require(line.size() >= 3 && line[0] >= '2' && line[0] <= '5' &&
                  line[1] >= '0' && line[1] <= '5' && line[2] >= '0' &&
                  line[2] <= '9',
              "reply line without a code");
      Require(line.size() == 3 || line[3] == ' ' || line[3] == '-',
              "code followed by neither blank nor hyphen");
      Require(code_.empty() || line.substr(0, 3) == code_,
              "a multi-line reply changes its code");
      code_ = line.size() > 3 && line[3] == '-' ? line.substr(0, 3) : "";
      output.remove_prefix(end + 2);
    }
    Require(code_.empty(), "output ends inside a multi-line reply");
    while (!parsed_.empty()) {
      parsed_.remove_prefix(parser_.Feed(parsed_));
      Require(!parser_.failed(), "the client's parser refuses a reply");
      Require(parser_.ready(), "the client's parser wants more");
      parser_.Take();
    }
  }

 private:
  std::string code_;
  std::string_view parsed_;
  ReplyParser parser_;
};

ServerFeatures AllFeatures() {
  ServerFeatures all;
  all.size = all.eightBitMime = all.smtpUtf8 = all.dsn = true;
  all.xforward.fill(true);
  return all;
}

// The argument of a command the delivery helpers wrote.
std::string_view ArgumentOf(std::string_view line, Verb verb) {
  Require(line.ends_with("\r\n") && line.size() <= 2048,
          "written command unended or too long");
  const CommandLine command = SplitCommand(line.substr(0, line.size() - 2));
  Require(command.verb == verb, "written command has another verb");
  return command.argument;
}

void CheckEnvelopeReadsBack(const Envelope& envelope) {
  const ServerFeatures all = AllFeatures();
  const std::string mailLine =
      FormatMailFrom(envelope.reversePath, envelope.mail, all);
  MailCommand mail;
  Require(!ParseMail(ArgumentOf(mailLine, Verb::kMail), PathLimits(), &mail),
          "written MAIL refused");
  Require(
      mail.reversePath == envelope.reversePath && mail.params == envelope.mail,
      "written MAIL reads back otherwise");
  for (const Recipient& recipient : envelope.recipients) {
    const bool utf8 = envelope.mail.smtpUtf8;
    const std::string rcptLine =
        FormatRcptTo(recipient.address, recipient.params, all, utf8);
    RcptCommand rcpt;
    Require(!ParseRcpt(ArgumentOf(rcptLine, Verb::kRcpt), utf8, PathLimits(),
                       &rcpt),
            "written RCPT refused");
    Require(rcpt.forwardPath == recipient.address &&
                rcpt.params == recipient.params,
            "written RCPT reads back otherwise");
  }
  const std::string commands = FormatXforward(envelope.xforward, all);
  std::string_view rest = commands;
  Xforward xforward;
  while (!rest.empty()) {
    const size_t end = rest.find("\r\n") + 2;
    Require(end <= kMaxCommandLine, "written XFORWARD over 512 octets");
    Require(!ParseXforward(ArgumentOf(rest.substr(0, end), Verb::kXforward),
                           &xforward),
            "written XFORWARD refused");
    rest.remove_prefix(end);
  }
  Require(xforward == envelope.xforward,
          "written XFORWARD reads back otherwise");
}

void CheckMessage(const SessionOptions& options, const std::string& data) {
  Require(data.size() <= options.maxMessageSize, "message over the limit");
  Require(data.empty() || data.ends_with("\r\n"), "last line not ended");
  size_t lineStart = 0;
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\r') {
      Require(i + 1 < data.size() && data[i + 1] == '\n', "bare CR let in");
    } else if (data[i] == '\n') {
      Require(i > 0 && data[i - 1] == '\r', "bare LF let in");
      Require(i + 1 - lineStart <= options.maxDataLine, "line over the limit");
      lineStart = i + 1;
    }
  }
  // Relayed, the data must arrive as it was taken.
  DotStuffer stuffer;
  std::string wire;
  stuffer.Add(data, &wire);
  stuffer.Finish(&wire);
  DataDecoder decoder(options.maxMessageSize, options.maxDataLine);
  std::string again;
  Require(decoder.Decode(wire, &again) == wire.size() && decoder.done() &&
              decoder.fault() == DataFault::kNone && again == data,
          "stuffed data does not decode to itself");
}

enum class Answering : unsigned char { kAtOnce, kLater, kEach, kMayClose };

class Owner : public SessionHandler {
 public:
  Owner(const SessionOptions& options, Answering answering, Choices* choices)
      : options_(options),
        answering_(answering),
        choices_(*choices),
        session_(options, *this) {
    TakeOutput();
  }

  void Run(std::string_view client);

  void MessageBegins(const Envelope& envelope) override {
    Require(!inMessage_ && session_.phase() == Phase::kData,
            "a message begins inside another or outside the data phase");
    Require(!envelope.recipients.empty() &&
                envelope.recipients.size() <= options_.maxRecipients,
            "data for no recipient or for too many");
    inMessage_ = true;
    data_.clear();
  }
  void MessageData(std::string_view bytes) override {
    Require(inMessage_ && !bytes.empty(), "data outside a message");
    data_.append(bytes);
    Require(data_.size() <= options_.maxMessageSize, "data over the limit");
  }
  void MessageRefused(const Reply& reply) override {
    Require(inMessage_ && (reply.code == 552 || reply.code == 554),
            "a refusal outside a message or of another kind");
    inMessage_ = false;
  }
  void MessageComplete(const Envelope& envelope) override {
    Require(inMessage_ && session_.phase() == Phase::kAwaitingOutcome,
            "a message completes outside the data phase");
    inMessage_ = false;
    CheckMessage(options_, data_);
    CheckEnvelopeReadsBack(envelope);
    awaiting_ = true;
    // Not from inside another answer: its replies must come out first.
    if (!inAnswer_ &&
        (answering_ == Answering::kAtOnce || choices_.Next(4) == 0)) {
      Answer();
    }
  }

 private:
  // Answers the awaited message and checks that its replies come first.
  void Answer();
  void TakeOutput();
  void CheckBounds(std::string_view offered, size_t taken);

  SessionOptions options_;
  Answering answering_;
  Choices& choices_;
  SmtpSession session_;
  ReplyChecker replies_;
  std::string data_;
  bool inMessage_ = false;
  bool awaiting_ = false;
  bool inAnswer_ = false;
  bool closedSeen_ = false;
};

void Owner::TakeOutput() {
  const std::string output = session_.TakeOutput();
  Require(!closedSeen_ || output.empty(), "replies after the close");
  replies_.Check(output);
  if (session_.closed()) closedSeen_ = true;
}

void Owner::Answer() {
  awaiting_ = false;
  TakeOutput();
  if (answering_ == Answering::kMayClose && choices_.Next(3) == 0) {
    session_.Close(CloseReason::kShutdown);
    const std::string output = session_.TakeOutput();
    Require(output.starts_with("421 4.3.2 "), "no 421 on shutdown");
    replies_.Check(output);
    closedSeen_ = true;
    return;
  }
  static const Reply kOutcomes[] = {Reply(250, "2.0.0", "Ok: queued"),
                                    Reply(451, "4.3.0", "Try again later"),
                                    Reply(554, "5.7.1", "Rejected")};
  // In LMTP one reply per recipient: all alike, or each its own.
  const bool each = answering_ == Answering::kEach;
  const size_t count =
      options_.lmtp ? session_.envelope().recipients.size() : 1;
  const Reply& first = kOutcomes[choices_.Next(3)];
  std::vector<Reply> outcome;
  std::string expected;
  for (size_t i = 0; i < count; ++i) {
    outcome.push_back(each && i > 0 ? kOutcomes[choices_.Next(3)] : first);
    expected += FormatReply(outcome.back());
  }
  inAnswer_ = true;
  const Status answered =
      each ? session_.AnswerEach(outcome) : session_.Answer(first);
  inAnswer_ = false;
  Require(answered.ok(), "the awaited message cannot be answered");
  // Unless the answer let a pipelined message through to its end as well.
  if (!awaiting_) {
    Require(!session_.Answer(first).ok(), "a message answered twice");
  }
  const std::string output = session_.TakeOutput();
  Require(output.starts_with(expected), "the outcome is not the next reply");
  replies_.Check(output);
  if (session_.closed()) closedSeen_ = true;
}

void Owner::CheckBounds(std::string_view offered, size_t taken) {
  const size_t commandLine = std::max(options_.maxCommandLine, kMaxCommandLine);
  const size_t inputLimit = std::max(options_.maxBufferedInput, commandLine);
  const size_t outputLimit = std::max(options_.maxPendingOutput, kMaxReplyLine);
  Require(taken <= offered.size(), "took more than was offered");
  Require(session_.bufferedInput() <= inputLimit, "input over its bound");
  // One command's replies may pass the limit: LMTP's per recipient at most.
  Require(session_.pendingOutput() <=
              outputLimit + (options_.maxRecipients + 3) * kMaxReplyLine,
          "output over its bound");
  Require(taken == offered.size() || !session_.WantsInput(),
          "input refused while more is wanted");
  Require(!awaiting_ || session_.phase() == Phase::kAwaitingOutcome ||
              session_.closed(),
          "an unanswered message is no longer awaited");
}

void Owner::Run(std::string_view client) {
  std::string pending;
  while (!client.empty() || !pending.empty()) {
    if (awaiting_ && (answering_ == Answering::kAtOnce || client.empty() ||
                      choices_.Next(2) == 0)) {
      Answer();
    }
    if (session_.phase() == Phase::kData && choices_.Next(64) == 0) {
      session_.Close(CloseReason::kTimeout);
    }
    if (choices_.Next(32) == 0) {
      const bool refuse = choices_.Next(2) == 0;
      Require(session_
                  .RefuseMail(refuse ? std::optional<Reply>(
                                           Reply(452, "4.3.1", "Store is full"))
                                     : std::nullopt)
                  .ok(),
              "a sendable refusal is refused");
    }
    const size_t n = std::min<size_t>(
        client.size(),
        choices_.Next(8) == 0 ? client.size() : 1 + choices_.Next(80));
    pending.append(client.substr(0, n));
    client.remove_prefix(n);
    const size_t taken = session_.Feed(pending);
    CheckBounds(pending, taken);
    // Input is refused only while an answer is awaited or the replies are
    // not taken; otherwise the session would stall for good.
    if (taken < pending.size() && !awaiting_) {
      Require(session_.pendingOutput() >=
                  std::max(options_.maxPendingOutput, kMaxReplyLine),
              "input refused although nothing blocks");
    }
    pending.erase(0, taken);
    // Now and then the replies are left, as by a client that does not read.
    if (choices_.Next(4) != 0 || client.empty()) TakeOutput();
    if (session_.closed()) break;
  }
  while (awaiting_ && !session_.closed()) Answer();
  TakeOutput();
}

}  // namespace
}  // namespace vt::smtp::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt::smtp;
  using namespace vt::smtp::fuzzing;
  const uint8_t flags = size > 0 ? data[0] : 0;
  Choices choices(size > 1 ? data[1] : 0);
  const std::string_view client(
      reinterpret_cast<const char*>(data) + std::min<size_t>(size, 2),
      size - std::min<size_t>(size, 2));
  SessionOptions options;
  options.hostName = "fuzz.test";
  options.lmtp = (flags & 1) != 0;
  options.xforward = (flags & 2) != 0;
  if ((flags & 4) != 0) {
    options.maxMessageSize = 300;
    options.maxRecipients = 3;
    options.maxDataLine = 80;
    options.maxCommandLine = 100;  // raised to 512
    options.maxErrors = 5;
    options.maxBufferedInput = 600;
    options.maxPendingOutput = 200;  // raised to 512
  }
  Owner owner(options, static_cast<Answering>((flags >> 3) & 3), &choices);
  owner.Run(client);

  // The same bytes as a server's replies.
  ReplyParser parser(256, 8);
  std::string_view replies = client;
  while (!replies.empty() && !parser.failed()) {
    const size_t n = parser.Feed(replies);
    Require(n <= replies.size(), "the parser took more than it was given");
    replies.remove_prefix(n);
    if (!parser.ready()) {
      Require(replies.empty() || parser.failed(), "the parser stopped short");
      break;
    }
    const Reply reply = parser.Take();
    Require(reply.code >= 200 && reply.code <= 599 && !reply.lines.empty() &&
                reply.lines.size() <= 8,
            "a parsed reply out of its bounds");
    for (const std::string& line : reply.lines) {
      Require(line.size() <= 256, "a parsed line over its bound");
    }
  }
  return 0;
}
