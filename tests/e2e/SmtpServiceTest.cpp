// `vtserver smtp` as the MTA's content filter meets it, over real sockets:
// pipelined transactions each answered 250 with the universal ID of the
// note that holds the message, a hundred silent clients and one stalled in
// the middle of its data that hold up no one else, back-pressure once the
// mail boxes are full, and 421 to every client when the service stops. And
// delivery, with the router between: verified mail relayed to a next hop
// byte for byte under our trace field, each recipient settled by what the
// next hop said (delivered, tried again, refused with a report, dead), and
// mail that waits while the next hop is down.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "DataDirTest.h"
#include "ScriptedNextHop.h"
#include "SmtpTestClient.h"
#include "server/smtp/SmtpReply.h"

namespace vt::e2e {
namespace {

std::string Message(const std::string& subject) {
  return "From: sender@example.org\r\nTo: anna@example.com\r\nSubject: " +
         subject + "\r\n\r\nHello.\r\n..a line that began with a dot\r\n";
}

using SmtpServiceTest = DataDirTest;

TEST_F(SmtpServiceTest, PipelinedMailIsStoredAndTheReplyNamesEachNote) {
  Init(UniqueServerName());
  BackgroundProcess service;
  const int port = StartSmtpService(service);
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
  const int port = StartSmtpService(service);
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
  const int port = StartSmtpService(
      service, {"--max-backlog", "2", "--max-connections", "110"});
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

// What the listener's client sends for one message.
std::string Transaction(const std::string& from,
                        const std::vector<std::string>& rcpts,
                        const std::string& message) {
  std::string t = "MAIL FROM:<" + from + ">\r\n";
  for (const std::string& rcpt : rcpts) t += "RCPT TO:" + rcpt + "\r\n";
  return t + "DATA\r\n" + message + ".\r\n";
}

TEST_F(SmtpServiceTest, VerifiedMailGoesOutAndEachRecipientGetsWhatTheHopSays) {
  Init(UniqueServerName());
  ScriptedNextHop hop;
  BackgroundProcess service;
  const int port = StartSmtpService(
      service, {"--relay", "127.0.0.1:" + std::to_string(hop.port()),
                "--retry-after", "1"});
  ASSERT_GT(port, 0);
  BackgroundProcess router;
  StartRouter(router);

  // One message taken, tried again and refused in part; one refused for
  // good whose sender asked for no report; one from the null sender.
  Client client(port);
  EXPECT_EQ(client.Read().code, 220);
  client.Send("EHLO mta.example.org\r\n");
  EXPECT_EQ(client.Read().code, 250);
  const std::string first = Message("mixed");
  client.Send(
      Transaction(
          "sender@example.org",
          {"<ok@example.com>", "<defer-2@example.com>", "<refuse@example.com>"},
          first) +
      Transaction("quiet@example.org",
                  {"<refuse-quiet@example.com> NOTIFY=NEVER"},
                  Message("quiet")) +
      Transaction("", {"<refuse-bounce@example.com>"}, Message("bounce")));
  std::vector<std::string> queued;
  for (const size_t rcpts : {3, 1, 1}) {
    EXPECT_EQ(client.Read().code, 250);  // MAIL
    for (size_t i = 0; i < rcpts; ++i) EXPECT_EQ(client.Read().code, 250);
    EXPECT_EQ(client.Read().code, 354);
    const smtp::Reply done = client.Read();
    ASSERT_EQ(done.code, 250) << done.text();
    queued.push_back(done.text().substr(done.text().find("queued as ") + 10));
  }

  // Nothing leaves before its verdict; with it, everything is settled.
  const bool settled = WaitUntil(
      [&] {
        Vt({"scan", dir(), "--verdict", "M"});
        return hop.CountFor("ok@example.com") == 1 &&
               hop.CountFor("defer-2@example.com") == 1 &&
               hop.CountFor("sender@example.org") == 1 &&
               Logged("SMTP Delivery: Message " + queued[2] + " is dead mail");
      },
      60000);
  ASSERT_TRUE(settled) << ServerLog();

  const std::vector<ScriptedNextHop::Received> got = hop.received();
  ASSERT_EQ(got.size(), 3u) << ServerLog();
  auto find = [&](const std::string& recipient) {
    for (const ScriptedNextHop::Received& r : got) {
      if (r.recipients == std::vector<std::string>{recipient}) return r;
    }
    ADD_FAILURE() << "nothing for " << recipient;
    return ScriptedNextHop::Received();
  };
  // The message as it came, under one trace field of ours.
  const ScriptedNextHop::Received taken = find("ok@example.com");
  ASSERT_TRUE(taken.data.starts_with("Received: from mta.example.org\r\n"));
  EXPECT_NE(taken.data.find("(VTRouter) with ESMTP id " + queued[0]),
            std::string::npos);
  const std::string original =
      Message("mixed").replace(first.find(".."), 2, ".");
  EXPECT_TRUE(taken.data.ends_with("\r\n" + original));
  EXPECT_TRUE(find("defer-2@example.com").data.ends_with(original));
  // One report, to the sender who asked for one, naming the refused one.
  const ScriptedNextHop::Received report = find("sender@example.org");
  EXPECT_EQ(report.reversePath, "");
  EXPECT_NE(report.data.find("multipart/report"), std::string::npos);
  EXPECT_NE(report.data.find("Final-Recipient: rfc822; refuse@example.com"),
            std::string::npos)
      << report.data;
  EXPECT_NE(report.data.find("Action: failed"), std::string::npos);

  // The two refused for good stay as dead mail with the hop's reply.
  const std::vector<StoredMessage> dead = Messages("mail.box");
  ASSERT_EQ(dead.size(), 2u);
  for (const StoredMessage& m : dead) {
    EXPECT_EQ(m.Item("RoutingState"), "DEAD");
    EXPECT_TRUE(m.Item("DeadFailureReason").starts_with("550 5.1.1"))
        << m.Item("DeadFailureReason");
  }
  EXPECT_TRUE(Logged("SMTP Delivery: Message " + queued[0] +
                     " deferred for 1 recipient"));
  EXPECT_TRUE(Logged("SMTP Delivery: Message " + queued[0] +
                     " refused for 1 recipient: refuse@example.com: 550"));
  EXPECT_TRUE(Logged("SMTP Delivery: Message " + queued[0] +
                     " delivered to 127.0.0.1:" + std::to_string(hop.port()) +
                     " as HOP"));

  // The next hop goes down: mail waits, and goes once it is back.
  hop.Close();
  client.Send(Transaction("sender@example.org", {"<later@example.com>"},
                          Message("later")));
  for (const int code : {250, 250, 354, 250}) {
    EXPECT_EQ(client.Read().code, code);
  }
  ASSERT_TRUE(WaitUntil(
      [&] {
        Vt({"scan", dir(), "--verdict", "M"});
        return Logged("SMTP Delivery: Cannot deliver to 127.0.0.1:" +
                      std::to_string(hop.port()));
      },
      30000))
      << ServerLog();
  EXPECT_EQ(hop.CountFor("later@example.com"), 0);
  ASSERT_TRUE(hop.Listen());
  ASSERT_TRUE(
      WaitUntil([&] { return hop.CountFor("later@example.com") == 1; }, 30000))
      << ServerLog();
  EXPECT_TRUE(Logged("takes mail again."));
  // The service's status line counts all of it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Vt({"show", dir(), "tasks"})
                   .out.find(
                       "Taken 4  refused 0  delivered 3  deferred 2  "
                       "dead 2  reports 1") != std::string::npos;
      },
      10000))
      << Vt({"show", dir(), "tasks"}).out;
  // And stats: the dead mail in the mail boxes, the service's counts.
  const nlohmann::json stats =
      nlohmann::json::parse(Vt({"stats", dir(), "--json"}).out);
  EXPECT_EQ(stats["delivery"]["dead"], 2);
  EXPECT_EQ(stats["delivery"]["waiting"], 0);
  EXPECT_EQ(stats["smtp"]["running"], true);
  EXPECT_EQ(stats["smtp"]["reports"], 1);
  const std::string metrics = Vt({"stats", dir(), "--prometheus"}).out;
  EXPECT_NE(metrics.find("\nvtrouter_smtp_up 1\n"), std::string::npos);
  EXPECT_NE(
      metrics.find("\nvtrouter_smtp_messages_total{outcome=\"delivered\"} 3\n"),
      std::string::npos)
      << metrics;

  service.Signal(SIGTERM);
  ASSERT_TRUE(service.WaitForExit(20000));
  EXPECT_EQ(service.exitCode(), 0);
  EXPECT_TRUE(Logged("SMTP Delivery: Stopped: 3 messages delivered"));
  EXPECT_EQ(hop.received().size(), 4u);
}

}  // namespace
}  // namespace vt::e2e
