// A stream connection to spamd or clamd over TCP or a Unix socket, in plain
// POSIX calls (two small request-reply protocols need no event library):
// every connect, write and read waits in poll() for no longer than the
// request's deadline, and a reply is read into a buffer with a limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/UniqueFd.h"
#include "scanner/Deadline.h"
#include "scanner/EngineResult.h"

namespace vt::scanner {

struct Endpoint {
  std::string unixPath;  // set for a Unix socket
  std::string host;      // otherwise an address or a name, and a port
  uint16_t port = 0;

  // "/run/clamav/clamd.ctl", "127.0.0.1:783", "[::1]:783".
  std::string Text() const;
};

// "/path" or "unix:/path" for a Unix socket; "host:port", "[v6]:port", or a
// host alone (the default port) for TCP. Nothing for text that is neither.
std::optional<Endpoint> ParseEndpoint(std::string_view text,
                                      uint16_t defaultPort);

// How a write ended when the peer may answer before it has read everything:
// clamd replies and closes as soon as a stream passes its limit.
enum class SendEnd { kSent, kPeerAnswered };

class EngineSocket {
 public:
  EngineSocket(EngineSocket&&) = default;
  EngineSocket& operator=(EngineSocket&&) = default;

  // Connects within connectLimit and the deadline, whichever comes first.
  // A host name is resolved with the system's resolver, which no deadline
  // bounds: give engines on other machines by address.
  static EngineReply<EngineSocket> Connect(
      Engine engine, const Endpoint& endpoint, const Deadline& deadline,
      std::chrono::milliseconds connectLimit);

  // Writes all of data. With watchForAnswer, stops early (kPeerAnswered)
  // once the peer has something to say or has closed its side.
  EngineReply<SendEnd> Send(std::string_view data, const Deadline& deadline,
                            bool watchForAnswer = false);
  // No more data from this side; the peer reads its end of the request.
  void FinishSending();
  // Reads until the peer closes, or up to and including terminator when
  // given; more than limit bytes is a protocol failure.
  EngineReply<std::string> ReadReply(const Deadline& deadline, size_t limit,
                                     std::optional<char> terminator = {});

 private:
  EngineSocket(Engine engine, std::string where, UniqueFd fd)
      : engine_(engine), where_(std::move(where)), fd_(std::move(fd)) {}

  EngineFailure Failure(FailureKind kind, std::string text) const;

  Engine engine_;
  std::string where_;
  UniqueFd fd_;
};

}  // namespace vt::scanner
