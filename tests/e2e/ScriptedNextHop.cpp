// One thread accepts, one thread serves each connection; every read gives
// up after 20 s so that a stuck delivery cannot stop the test's end. Its
// sockets are not inherited by the programs the test starts: a listening
// socket a child held would go on taking connections after Close().
#include "ScriptedNextHop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace vt::e2e {
namespace {

bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n =
        ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// "<a@b> NOTIFY=..." -> "a@b".
std::string PathOf(const std::string& argument) {
  const size_t open = argument.find('<');
  const size_t close = argument.find('>', open);
  if (open == std::string::npos || close == std::string::npos) return "";
  return argument.substr(open + 1, close - open - 1);
}

bool StartsWithIgnoreCase(const std::string& line, const std::string& verb) {
  if (line.size() < verb.size()) return false;
  for (size_t i = 0; i < verb.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(line[i])) != verb[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

ScriptedNextHop::ScriptedNextHop() {
  Listen();
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

ScriptedNextHop::~ScriptedNextHop() {
  stop_ = true;
  acceptor_.join();
  Close();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& t : connections) t.join();
}

bool ScriptedNextHop::Listen() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port_));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    return false;
  }
  socklen_t length = sizeof at;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
  port_ = ntohs(at.sin_port);
  listenFd_ = fd;
  return true;
}

void ScriptedNextHop::Close() {
  const int fd = listenFd_.exchange(-1);
  if (fd >= 0) ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const int client : open_) ::shutdown(client, SHUT_RDWR);
}

void ScriptedNextHop::AcceptLoop() {
  while (!stop_) {
    const int fd = listenFd_;
    if (fd < 0) {
      ::usleep(20000);
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    open_.push_back(client);
    connections_.emplace_back([this, client] { Serve(client); });
  }
}

std::string ScriptedNextHop::Judge(const std::string& recipient) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int times = ++named_[recipient];
  if (recipient.rfind("refuse", 0) == 0) {
    return "550 5.1.1 <" + recipient + ">: Recipient address rejected\r\n";
  }
  if (recipient.rfind("defer-", 0) == 0 &&
      times <= std::atoi(recipient.c_str() + 6)) {
    return "450 4.2.1 <" + recipient + ">: Mailbox busy, try later\r\n";
  }
  return "250 2.1.5 Ok\r\n";
}

void ScriptedNextHop::Serve(int fd) {
  timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SendAll(fd, "220 hop.example.net ESMTP\r\n");
  std::string in;
  Received message;
  bool inData = false;
  for (;;) {
    char buffer[8192];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    in.append(buffer, static_cast<size_t>(n));
    std::string out;
    size_t end;
    bool quit = false;
    while ((end = in.find("\r\n")) != std::string::npos) {
      std::string line = in.substr(0, end);
      in.erase(0, end + 2);
      if (inData) {
        if (line == ".") {
          inData = false;
          std::lock_guard<std::mutex> lock(mutex_);
          out +=
              "250 2.0.0 Ok: queued as HOP" + std::to_string(++taken_) + "\r\n";
          received_.push_back(message);
          message = Received();
          continue;
        }
        if (!line.empty() && line[0] == '.') line.erase(0, 1);
        message.data += line + "\r\n";
        continue;
      }
      if (StartsWithIgnoreCase(line, "EHLO")) {
        out +=
            "250-hop.example.net\r\n250-PIPELINING\r\n250-SIZE 100000000\r\n"
            "250-8BITMIME\r\n250-DSN\r\n250 ENHANCEDSTATUSCODES\r\n";
      } else if (StartsWithIgnoreCase(line, "MAIL FROM:")) {
        message = Received();
        message.reversePath = PathOf(line);
        out += "250 2.1.0 Ok\r\n";
      } else if (StartsWithIgnoreCase(line, "RCPT TO:")) {
        const std::string recipient = PathOf(line);
        const std::string reply = Judge(recipient);
        if (reply[0] == '2') message.recipients.push_back(recipient);
        out += reply;
      } else if (StartsWithIgnoreCase(line, "DATA")) {
        if (message.recipients.empty()) {
          out += "554 5.5.1 Error: no valid recipients\r\n";
        } else {
          inData = true;
          out += "354 End data with <CR><LF>.<CR><LF>\r\n";
        }
      } else if (StartsWithIgnoreCase(line, "QUIT")) {
        out += "221 2.0.0 Bye\r\n";
        quit = true;
        break;
      } else {
        out += "250 2.0.0 Ok\r\n";  // RSET, NOOP
      }
    }
    if (!out.empty() && !SendAll(fd, out)) break;
    if (quit) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(std::find(open_.begin(), open_.end(), fd));
  }
  ::close(fd);
}

std::vector<ScriptedNextHop::Received> ScriptedNextHop::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int ScriptedNextHop::CountFor(const std::string& recipient) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const Received& r : received_) {
    for (const std::string& to : r.recipients) count += to == recipient;
  }
  return count;
}

}  // namespace vt::e2e
