// A blocking SMTP client for the tests of the SMTP service, over loopback.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "server/smtp/SmtpReply.h"

namespace vt::e2e {

// A blocking client; every read gives up after 30 s so that a hung service
// fails the test instead of stopping it.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{30, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ =
        ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void Send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // The next whole reply; code 0 when the connection ended first.
  smtp::Reply Read() {
    for (;;) {
      const size_t taken = parser_.Feed(rest_);
      rest_.erase(0, taken);
      if (parser_.ready()) return parser_.Take();
      if (parser_.failed()) return {};
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return {};
      rest_.append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  smtp::ReplyParser parser_;
  std::string rest_;
};

}  // namespace vt::e2e
