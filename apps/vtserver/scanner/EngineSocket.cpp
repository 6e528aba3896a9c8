// Non-blocking sockets waited on with poll(), so that no call blocks past
// the deadline; SIGPIPE is never raised (MSG_NOSIGNAL), a closed peer is a
// return value.
#include "scanner/EngineSocket.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace vt::scanner {
namespace {

using std::chrono::milliseconds;

std::string ErrnoText(int error) { return std::strerror(error); }

// Waits for events on fd for at most wait; the events that came, 0 when the
// time ran out, -1 with errno on failure.
int PollFor(int fd, short events, milliseconds wait) {
  const auto until = Deadline::Clock::now() + wait;
  for (;;) {
    pollfd p{fd, events, 0};
    const auto left = std::chrono::duration_cast<milliseconds>(
        until - Deadline::Clock::now());
    const int rc =
        ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

std::optional<uint16_t> ParsePort(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 ||
      value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

// Ends a connect in progress: 0 once connected, else the errno.
int FinishConnect(int fd, milliseconds wait) {
  const int events = PollFor(fd, POLLOUT, wait);
  if (events == 0) return ETIMEDOUT;
  if (events < 0) return errno;
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

// One attempt at one address: 0 and the socket, or the errno.
int ConnectTo(int family, const sockaddr* address, socklen_t size,
              milliseconds wait, UniqueFd* out) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return errno;
  int error = 0;
  if (::connect(fd.get(), address, size) != 0) {
    error = errno;
    if (error == EINPROGRESS) error = FinishConnect(fd.get(), wait);
  }
  if (error == 0) *out = std::move(fd);
  return error;
}

}  // namespace

std::string Endpoint::Text() const {
  if (!unixPath.empty()) return unixPath;
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::optional<Endpoint> ParseEndpoint(std::string_view text,
                                      uint16_t defaultPort) {
  Endpoint endpoint;
  if (text.starts_with("unix:")) text.remove_prefix(5);
  if (text.starts_with("/")) {
    endpoint.unixPath = std::string(text);
    return endpoint;
  }
  std::string_view host = text;
  std::string_view port;
  if (text.starts_with("[")) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(":")) return std::nullopt;
      port = rest.substr(1);
    }
  } else if (const size_t colon = text.find(':');
             colon != std::string_view::npos &&
             text.find(':', colon + 1) == std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  endpoint.host = std::string(host);
  endpoint.port = defaultPort;
  if (!port.empty() || text.ends_with(":")) {
    const std::optional<uint16_t> parsed = ParsePort(port);
    if (!parsed) return std::nullopt;
    endpoint.port = *parsed;
  }
  return endpoint;
}

EngineFailure EngineSocket::Failure(FailureKind kind, std::string text) const {
  return EngineFailure{engine_, kind, std::move(text)};
}

EngineReply<EngineSocket> EngineSocket::Connect(Engine engine,
                                                const Endpoint& endpoint,
                                                const Deadline& deadline,
                                                milliseconds connectLimit) {
  const std::string where = endpoint.Text();
  const auto fail = [&](FailureKind kind, std::string text) {
    return EngineFailure{engine, kind, std::move(text)};
  };
  const milliseconds wait = deadline.RemainingAtMost(connectLimit);
  if (wait.count() == 0) {
    return fail(FailureKind::kTimeout,
                "the deadline passed before connecting to " + where);
  }
  UniqueFd fd;
  int error = 0;
  if (!endpoint.unixPath.empty()) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (endpoint.unixPath.size() >= sizeof address.sun_path) {
      return fail(FailureKind::kUnreachable,
                  "socket path too long: " + endpoint.unixPath);
    }
    std::memcpy(address.sun_path, endpoint.unixPath.data(),
                endpoint.unixPath.size());
    error = ConnectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&address),
                      sizeof address, wait, &fd);
  } else {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(endpoint.port);
    const int rc =
        ::getaddrinfo(endpoint.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
      return fail(FailureKind::kUnreachable, "cannot resolve " + endpoint.host +
                                                 ": " + ::gai_strerror(rc));
    }
    error = EHOSTUNREACH;
    for (const addrinfo* a = found; a != nullptr && !fd; a = a->ai_next) {
      error = ConnectTo(a->ai_family, a->ai_addr, a->ai_addrlen,
                        deadline.RemainingAtMost(connectLimit), &fd);
    }
    ::freeaddrinfo(found);
  }
  if (error == ETIMEDOUT) {
    return fail(FailureKind::kTimeout,
                "no connection to " + where + " within " +
                    std::to_string(wait.count()) + " ms");
  }
  if (error != 0) {
    return fail(FailureKind::kUnreachable,
                "cannot connect to " + where + ": " + ErrnoText(error));
  }
  return EngineSocket(engine, where, std::move(fd));
}

EngineReply<SendEnd> EngineSocket::Send(std::string_view data,
                                        const Deadline& deadline,
                                        bool watchForAnswer) {
  const short events = watchForAnswer ? (POLLOUT | POLLIN) : POLLOUT;
  while (!data.empty()) {
    const int ready = PollFor(fd_.get(), events, deadline.Remaining());
    if (ready == 0) {
      return Failure(FailureKind::kTimeout,
                     "the deadline passed while sending to " + where_);
    }
    if (ready < 0) {
      return Failure(FailureKind::kUnreachable,
                     "cannot send to " + where_ + ": " + ErrnoText(errno));
    }
    if (watchForAnswer && (ready & (POLLIN | POLLHUP)) != 0) {
      return SendEnd::kPeerAnswered;
    }
    const ssize_t sent =
        ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      data.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    // The peer closed while we were still sending: what it said, if it
    // said anything, is the answer.
    if (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      return SendEnd::kPeerAnswered;
    }
    return Failure(FailureKind::kUnreachable,
                   "cannot send to " + where_ + ": " + ErrnoText(errno));
  }
  return SendEnd::kSent;
}

void EngineSocket::FinishSending() { ::shutdown(fd_.get(), SHUT_WR); }

EngineReply<std::string> EngineSocket::ReadReply(
    const Deadline& deadline, size_t limit, std::optional<char> terminator) {
  std::string reply;
  char buffer[4096];
  for (;;) {
    const int ready = PollFor(fd_.get(), POLLIN, deadline.Remaining());
    if (ready == 0) {
      return Failure(FailureKind::kTimeout,
                     "no reply from " + where_ + " before the deadline (" +
                         std::to_string(reply.size()) + " bytes came)");
    }
    if (ready < 0) {
      return Failure(FailureKind::kUnreachable,
                     "cannot read from " + where_ + ": " + ErrnoText(errno));
    }
    const ssize_t got = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (got == 0) return reply;
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      // A reset after a whole answer still leaves the answer.
      if (errno == ECONNRESET && !reply.empty()) return reply;
      return Failure(FailureKind::kUnreachable,
                     "cannot read from " + where_ + ": " + ErrnoText(errno));
    }
    const size_t before = reply.size();
    reply.append(buffer, static_cast<size_t>(got));
    if (terminator) {
      const size_t end = reply.find(*terminator, before);
      if (end != std::string::npos) {
        reply.resize(end + 1);
        return reply;
      }
    }
    if (reply.size() > limit) {
      return Failure(FailureKind::kProtocol,
                     "reply from " + where_ + " longer than " +
                         std::to_string(limit) + " bytes");
    }
  }
}

}  // namespace vt::scanner
