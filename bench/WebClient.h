// The web benchmarks' client: one GET per connection over a plain socket,
// as a scraper asks, from a loopback address of the caller's choice (a
// client address may hold only so many connections).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "base/UniqueFd.h"

namespace vt::bench {

inline UniqueFd ConnectFrom(int port, const char* from) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) !=
          0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address),
                sizeof address) != 0) {
    return UniqueFd();
  }
  return fd;
}

struct WebAnswer {
  int status = 0;
  std::string body;
};

// GET path from 127.0.0.1; nullopt without a whole answer within 30 s.
inline std::optional<WebAnswer> WebGet(int port, const std::string& path) {
  const UniqueFd fd = ConnectFrom(port, "127.0.0.1");
  if (!fd) return std::nullopt;
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\n\r\n";
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return std::nullopt;
  }
  std::string answer;
  char buffer[16384];
  for (;;) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) return std::nullopt;
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  // The console closes after each answer: its end is the body's.
  const size_t end = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) {
    return std::nullopt;
  }
  return WebAnswer{std::atoi(answer.c_str() + 9), answer.substr(end + 4)};
}

}  // namespace vt::bench
