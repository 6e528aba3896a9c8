// `vtserver smtp` as the MTA's content filter meets it, over real sockets:
// pipelined transactions each answered 250 with the universal ID of the
// note that holds the message, a hundred silent clients and one stalled in
// the middle of its data that hold up no one else, back-pressure once the
// mail boxes are full, and 421 to every client when the service stops.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "DataDirTest.h"
#include "server/smtp/SmtpReply.h"

namespace vt::e2e {
namespace {

// A blocking client; every read gives up after 30 s so that a hung service
// fails the test instead of stopping it.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
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

std::string Message(const std::string& subject) {
  return "From: sender@example.org\r\nTo: anna@example.com\r\nSubject: " +
         subject + "\r\n\r\nHello.\r\n..a line that began with a dot\r\n";
}

class SmtpServiceTest : public DataDirTest {
 protected:
  // Starts the service on a free port; the port, or 0.
  int StartService(BackgroundProcess& service,
                   const std::vector<std::string>& more = {}) {
    std::vector<std::string> arguments = {"smtp", dir(), "--listen",
                                          "127.0.0.1:0"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    const std::string out = (folder() / "smtp.out").string();
    if (!service.Start(VtServerPath(), arguments, out)) return 0;
    int port = 0;
    WaitUntil(
        [&] {
          std::ifstream in(out);
          std::stringstream text;
          text << in.rdbuf();
          const size_t at = text.str().find("at 127.0.0.1:");
          if (at == std::string::npos) return !service.Running();
          port = std::atoi(text.str().c_str() + at + 13);
          return true;
        },
        20000);
    return port;
  }
};

TEST_F(SmtpServiceTest, PipelinedMailIsStoredAndTheReplyNamesEachNote) {
  Init(UniqueServerName());
  BackgroundProcess service;
  const int port = StartService(service);
  ASSERT_GT(port, 0);

  Client client(port);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.Read().code, 220);
  client.Send("EHLO mta.example.org\r\n");
  EXPECT_EQ(client.Read().code, 250);
  // Two transactions in one write, as a pipelining MTA sends them.
  std::string batch;
  for (const char* subject : {"first", "second"}) {
    batch +=
        "MAIL FROM:<sender@example.org>\r\nRCPT TO:<anna@example.com>\r\n"
        "DATA\r\n" +
        Message(subject) + ".\r\n";
  }
  client.Send(batch);
  std::vector<std::string> queued;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(client.Read().code, 250);  // MAIL
    EXPECT_EQ(client.Read().code, 250);  // RCPT
    EXPECT_EQ(client.Read().code, 354);
    const smtp::Reply done = client.Read();
    ASSERT_EQ(done.code, 250) << done.text();
    const std::string text = done.text();
    ASSERT_NE(text.find("queued as "), std::string::npos) << text;
    queued.push_back(text.substr(text.find("queued as ") + 10));
  }
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.Read().code, 221);

  const std::vector<StoredMessage> stored = Messages("mail.box");
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].Item("Subject"), "first");
  EXPECT_EQ(stored[1].Item("Subject"), "second");
  EXPECT_EQ(stored[0].Item("VeltraneProcess"), "1");
  EXPECT_EQ(stored[1].Item("VTSmtpMessage"),
            Message("second").replace(Message("second").find(".."), 2, "."));
  EXPECT_TRUE(Logged("SMTP Server: Message " + queued[0]));
  EXPECT_TRUE(Logged("SMTP Server: Message " + queued[1]));
  EXPECT_NE(queued[0], queued[1]);
}

TEST_F(SmtpServiceTest, InTheAlternativeModeMailIsHeldForTheRouter) {
  Init(UniqueServerName());
  ASSERT_EQ(Vt({"config", dir(), "AlternateInterceptor=1"}).exitCode, 0);
  BackgroundProcess service;
  const int port = StartService(service);
  ASSERT_GT(port, 0);
  Client client(port);
  EXPECT_EQ(client.Read().code, 220);
  client.Send(
      "HELO a\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.com>\r\n"
      "DATA\r\n" +
      Message("held") + ".\r\n");
  for (const int code : {250, 250, 250, 354, 250}) {
    EXPECT_EQ(client.Read().code, code);
  }
  const std::vector<StoredMessage> stored = Messages("mail.box");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].Item("RoutingState"), "HOLD");
  EXPECT_FALSE(stored[0].Has("VeltraneProcess"));
  EXPECT_TRUE(Logged("into 1 mail boxes, held for the router."));
}

TEST_F(SmtpServiceTest, AStalledClientHoldsUpNoOneAndFullMailBoxesDefer) {
  Init(UniqueServerName());
  BackgroundProcess service;
  const int port =
      StartService(service, {"--max-backlog", "2", "--max-connections", "110"});
  ASSERT_GT(port, 0);

  // A hundred clients connect and say nothing.
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 100; ++i) {
    silent.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(silent.back()->connected());
  }
  // One client stops in the middle of its message.
  Client stalled(port);
  EXPECT_EQ(stalled.Read().code, 220);
  stalled.Send(
      "HELO a\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.com>\r\n"
      "DATA\r\nSubject: half\r\n\r\nthe first half");
  for (const int code : {250, 250, 250, 354}) {
    EXPECT_EQ(stalled.Read().code, code);
  }

  // The others go on: two messages fill the mail box to its limit, and
  // the third is deferred at MAIL, before any data is sent.
  Client other(port);
  EXPECT_EQ(other.Read().code, 220);
  other.Send("HELO b\r\n");
  EXPECT_EQ(other.Read().code, 250);
  for (const char* subject : {"one", "two"}) {
    other.Send(
        "MAIL FROM:<c@example.org>\r\nRCPT TO:<d@example.com>\r\nDATA\r\n");
    EXPECT_EQ(other.Read().code, 250);
    EXPECT_EQ(other.Read().code, 250);
    EXPECT_EQ(other.Read().code, 354);
    other.Send(Message(subject) + ".\r\n");
    EXPECT_EQ(other.Read().code, 250);
  }
  other.Send("MAIL FROM:<c@example.org>\r\n");
  const smtp::Reply deferred = other.Read();
  EXPECT_EQ(deferred.code, 452) << deferred.text();
  EXPECT_EQ(deferred.enhanced, "4.3.1");
  EXPECT_EQ(Messages("mail.box").size(), 2u);
  EXPECT_TRUE(Logged("new mail is deferred"));

  // Stopping the service: the idle and the stalled client hear 421, and
  // the half message is not stored.
  service.Signal(SIGTERM);
  EXPECT_EQ(other.Read().code, 421);
  EXPECT_EQ(stalled.Read().code, 421);
  for (const auto& client : silent) {
    EXPECT_EQ(client->Read().code, 220);
    EXPECT_EQ(client->Read().code, 421);
  }
  ASSERT_TRUE(service.WaitForExit(20000));
  EXPECT_EQ(service.exitCode(), 0);
  EXPECT_EQ(Messages("mail.box").size(), 2u);
  EXPECT_TRUE(
      Logged("SMTP Server: Stopped after 102 connections: 2 messages "
             "taken, 0 refused."));
}

}  // namespace
}  // namespace vt::e2e
