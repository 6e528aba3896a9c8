// Fuzzes delivery's side of the conversation with any bytes a next hop could
// answer, cut into chunks as a socket delivers them, while messages are sent
// one after another and the connection may end at any point. Every
// transaction must end with one fate per recipient, delivered only by a 2yz
// reply, the session must never say anything but whole command lines and
// the message's stuffed data, and what it holds must stay bounded.
//
// Input: a byte of options (LMTP, how many recipients, when to cut the
// connection), a byte that seeds the chunk sizes, then the next hop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "server/smtp/SmtpClientSession.h"

namespace vt::smtp::fuzzing {
namespace {

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz invariant: %s\n", what);
  __builtin_trap();
}

OutgoingMessage Message(size_t recipients) {
  OutgoingMessage m;
  m.reversePath = "sender@example.org";
  m.mail.size = 40;
  m.mail.envid = "id+1";
  for (size_t i = 0; i < recipients; ++i) {
    Recipient r;
    r.address = "r" + std::to_string(i) + "@example.com";
    r.params.notify = kNotifyFailure;
    m.recipients.push_back(r);
  }
  m.xforward[XforwardAttribute::kAddr] = "192.0.2.1";
  m.data = "Subject: x\r\n\r\n.dot\r\nend\r\n";
  return m;
}

void Check(const OutgoingMessage& m, const TransactionOutcome& outcome) {
  Require(outcome.recipients.size() == m.recipients.size(),
          "one fate per recipient");
  for (const RecipientOutcome& r : outcome.recipients) {
    Require((r.fate == Fate::kDelivered) == r.reply.positive(),
            "delivered exactly when the reply was positive");
  }
}

// What the session writes: command lines (CRLF, no bare CR or LF) and the
// data, which ends in CRLF "." CRLF.
void CheckOutput(std::string_view out) {
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\n') Require(i > 0 && out[i - 1] == '\r', "bare LF");
    if (out[i] == '\r') {
      Require(i + 1 < out.size() && out[i + 1] == '\n', "bare CR");
    }
  }
}

}  // namespace
}  // namespace vt::smtp::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt::smtp;
  using namespace vt::smtp::fuzzing;
  if (size < 2) return 0;
  const uint8_t options = data[0];
  uint32_t seed = data[1] * 2654435761u + 1;
  std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);
  const size_t cutAt = (options & 0x80) ? input.size() / 2 : input.size();

  SmtpClientSession session({"relay.example.net", (options & 1) != 0});
  const OutgoingMessage message = Message(1 + ((options >> 1) & 7));
  size_t sent = 0;
  size_t fed = 0;
  while (!session.finished()) {
    CheckOutput(session.TakeOutput());
    if (session.outcomeReady()) Check(message, session.TakeOutcome());
    if (session.idle()) {
      if (sent == 3) {
        session.Quit();
        continue;
      }
      session.Send(message);
      ++sent;
      continue;
    }
    if (fed >= cutAt) {
      session.ConnectionLost(Reply(421, "4.4.2", "cut"));
      break;
    }
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const size_t chunk = std::min<size_t>(1 + seed % 64, cutAt - fed);
    const size_t taken = session.Feed(input.substr(fed, chunk));
    Require(taken <= chunk, "took more than it was given");
    fed += chunk;
  }
  CheckOutput(session.TakeOutput());
  if (session.outcomeReady()) Check(message, session.TakeOutcome());
  Require(!session.outcomeReady(), "an outcome left behind");
  return 0;
}
