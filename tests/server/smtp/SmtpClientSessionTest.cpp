// Delivery's side of the conversation: each recipient ends with the fate
// the next hop gave it, whichever command gave it, in pipelined SMTP, in
// plain SMTP and in LMTP against the listener's own session; what the next
// hop never answered is deferred; what it cannot take is refused before a
// byte is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SessionDriver.h"
#include "server/smtp/SmtpClientSession.h"

namespace vt::smtp {
namespace {

constexpr char kGreeting[] = "220 mx.example.org ESMTP\r\n";
constexpr char kFeatures[] =
    "250-mx.example.org\r\n250-PIPELINING\r\n250-SIZE 100000\r\n"
    "250-8BITMIME\r\n250-DSN\r\n250 ENHANCEDSTATUSCODES\r\n";

OutgoingMessage Message(std::vector<std::string> to) {
  OutgoingMessage m;
  m.reversePath = "sender@example.org";
  m.mail.size = 10;
  for (std::string& address : to) {
    m.recipients.push_back({std::move(address), RcptParams()});
  }
  m.data = "Subject: hi\r\n\r\n.a dot first\r\nbye\r\n";
  return m;
}

std::vector<Fate> Fates(const TransactionOutcome& outcome) {
  std::vector<Fate> fates;
  for (const RecipientOutcome& r : outcome.recipients) fates.push_back(r.fate);
  return fates;
}

// A session greeted by a server that says kFeatures (or features).
void Greet(SmtpClientSession& client, const std::string& features = kFeatures) {
  client.Feed(kGreeting);
  ASSERT_EQ(client.TakeOutput(), "EHLO relay.example.net\r\n");
  client.Feed(features);
  ASSERT_TRUE(client.idle());
  EXPECT_EQ(client.remoteName(), "mx.example.org");
}

TEST(SmtpClientSession, PipelinedRepliesSettleEachRecipientByItsOwnCommand) {
  SmtpClientSession client({"relay.example.net", false});
  Greet(client);
  const OutgoingMessage m = Message(
      {"a@example.com", "b@example.com", "c@example.com", "d@example.com"});
  client.Send(m);
  // The whole envelope goes in one write, SIZE as the data now is.
  EXPECT_EQ(
      client.TakeOutput(),
      "MAIL FROM:<sender@example.org> SIZE=" + std::to_string(m.data.size()) +
          "\r\nRCPT TO:<a@example.com>\r\nRCPT TO:<b@example.com>\r\n"
          "RCPT TO:<c@example.com>\r\nRCPT TO:<d@example.com>\r\n"
          "DATA\r\n");
  client.Feed("250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n450 4.2.1 Mailbox busy\r\n");
  client.Feed("550 5.1.1 No such user\r\n250 2.1.5 Ok\r\n354 Go on\r\n");
  EXPECT_EQ(client.TakeOutput(),
            "Subject: hi\r\n\r\n..a dot first\r\nbye\r\n.\r\n");
  EXPECT_TRUE(client.awaitingDot());
  EXPECT_FALSE(client.outcomeReady());
  client.Feed("250 2.0.0 Ok: queued as 4ZxY1a2B3c\r\n");
  ASSERT_TRUE(client.outcomeReady());
  const TransactionOutcome outcome = client.TakeOutcome();
  EXPECT_EQ(Fates(outcome),
            (std::vector<Fate>{Fate::kDelivered, Fate::kDeferred,
                               Fate::kRefused, Fate::kDelivered}));
  EXPECT_EQ(outcome.recipients[1].reply.enhanced, "4.2.1");
  EXPECT_EQ(outcome.recipients[2].reply.code, 550);
  EXPECT_EQ(outcome.remoteId, "4ZxY1a2B3c");
  // A transaction that went through needs no RSET.
  EXPECT_TRUE(client.idle());
  EXPECT_EQ(client.TakeOutput(), "");

  // MAIL refused: its reply is every recipient's, not the 503s after it,
  // and RSET is said before the next message.
  client.Send(m);
  client.TakeOutput();
  client.Feed("452 4.3.1 Insufficient system storage\r\n");
  client.Feed("503 5.5.1 Need MAIL\r\n503 5.5.1 Need MAIL\r\n");
  client.Feed("503 5.5.1 Need MAIL\r\n503 5.5.1 Need MAIL\r\n");
  client.Feed("503 5.5.1 Need RCPT\r\n");
  ASSERT_TRUE(client.outcomeReady());
  const TransactionOutcome refused = client.TakeOutcome();
  EXPECT_EQ(Fates(refused), std::vector<Fate>(4, Fate::kDeferred));
  EXPECT_EQ(refused.recipients[3].reply.code, 452);
  EXPECT_EQ(client.TakeOutput(), "RSET\r\n");
  EXPECT_FALSE(client.idle());
  client.Feed("250 2.0.0 Ok\r\n");
  EXPECT_TRUE(client.idle());

  // Every RCPT refused, yet 354 (a server that breaks RFC 2920): an empty
  // message ends the data at once, and nothing counts as delivered.
  client.Send(Message({"a@example.com"}));
  client.TakeOutput();
  client.Feed("250 Ok\r\n550 5.1.1 No\r\n354 Go on\r\n");
  EXPECT_EQ(client.TakeOutput(), ".\r\n");
  client.Feed("250 2.0.0 Ok: queued as EMPTY\r\n");
  ASSERT_TRUE(client.outcomeReady());
  EXPECT_EQ(Fates(client.TakeOutcome()), std::vector<Fate>{Fate::kRefused});
  EXPECT_EQ(client.TakeOutput(), "RSET\r\n");
}

TEST(SmtpClientSession, WithoutPipeliningEachCommandWaitsForItsReply) {
  SmtpClientSession client({"relay.example.net", false});
  // EHLO refused: HELO, and no extension is used.
  client.Feed(kGreeting);
  client.TakeOutput();
  client.Feed("502 5.5.2 What?\r\n");
  EXPECT_EQ(client.TakeOutput(), "HELO relay.example.net\r\n");
  client.Feed("250 mx.example.org\r\n");
  ASSERT_TRUE(client.idle());
  client.Send(Message({"a@example.com", "b@example.com"}));
  EXPECT_EQ(client.TakeOutput(), "MAIL FROM:<sender@example.org>\r\n");
  client.Feed("250 Ok\r\n");
  EXPECT_EQ(client.TakeOutput(), "RCPT TO:<a@example.com>\r\n");
  client.Feed("550 No\r\n");
  EXPECT_EQ(client.TakeOutput(), "RCPT TO:<b@example.com>\r\n");
  client.Feed("250 Ok\r\n");
  EXPECT_EQ(client.TakeOutput(), "DATA\r\n");
  client.Feed("354 Go on\r\n");
  client.TakeOutput();
  // The connection ends before the dot is answered: the next hop may or
  // may not have the message, and it is tried again (at least once).
  client.ConnectionLost(Reply(421, "4.4.2", "Connection lost"));
  ASSERT_TRUE(client.outcomeReady());
  const TransactionOutcome outcome = client.TakeOutcome();
  EXPECT_EQ(Fates(outcome),
            (std::vector<Fate>{Fate::kRefused, Fate::kDeferred}));
  EXPECT_TRUE(client.finished());
}

TEST(SmtpClientSession, WhatTheNextHopCannotTakeIsRefusedBeforeAByteIsSent) {
  SmtpClientSession client({"relay.example.net", false});
  Greet(client, "250-mx.example.org\r\n250-PIPELINING\r\n250 SIZE 20\r\n");
  OutgoingMessage big = Message({"a@example.com"});
  client.Send(big);
  ASSERT_TRUE(client.outcomeReady());
  EXPECT_EQ(client.TakeOutcome().recipients[0].reply.enhanced, "5.3.4");
  OutgoingMessage eightBit = Message({"a@example.com"});
  eightBit.data =
      "Subject: Gr\xC3\xBC\xC3\x9F"
      "e\r\n";
  client.Send(eightBit);
  ASSERT_TRUE(client.outcomeReady());
  const TransactionOutcome outcome = client.TakeOutcome();
  EXPECT_EQ(outcome.recipients[0].fate, Fate::kRefused);
  EXPECT_EQ(outcome.recipients[0].reply.enhanced, "5.6.3");
  EXPECT_EQ(client.TakeOutput(), "");
  EXPECT_TRUE(client.idle());

  // A greeting that refuses service ends the connection with its reply.
  SmtpClientSession refused({"relay.example.net", false});
  refused.Feed("554 5.3.2 Not now\r\n");
  EXPECT_TRUE(refused.finished());
  EXPECT_EQ(refused.failure().code, 554);
  EXPECT_EQ(refused.TakeOutput(), "QUIT\r\n");
}

// The client against the listener's own session in LMTP: the envelope with
// its DSN requests and XFORWARD, and the data arrive as sent, and each
// recipient gets the reply the server gave it.
TEST(SmtpClientSession, LmtpAgainstTheListenersSessionGetsAReplyPerRecipient) {
  SessionOptions serverOptions;
  serverOptions.lmtp = true;
  serverOptions.hostName = "mx.example.org";
  serverOptions.xforward = true;
  testing::SessionDriver server(serverOptions, std::nullopt);
  SmtpClientSession client({"relay.example.net", true});
  size_t seen = 0;
  auto exchange = [&] {
    for (int round = 0; round < 10; ++round) {
      server.Feed(client.TakeOutput());
      client.Feed(server.output().substr(seen));
      seen = server.output().size();
    }
  };
  exchange();
  ASSERT_TRUE(client.idle());
  EXPECT_TRUE(client.features().dsn);

  OutgoingMessage m =
      Message({"a@example.com", "b@example.com", "c@example.com"});
  m.mail.ret = Ret::kHdrs;
  m.mail.envid = "QQ+314";
  m.recipients[0].params.notify = kNotifyFailure | kNotifyDelay;
  m.recipients[0].params.orcpt = Orcpt{"rfc822", "A@example.com"};
  m.xforward[XforwardAttribute::kAddr] = "192.0.2.7";
  m.xforward[XforwardAttribute::kHelo] = "client.example.net";
  client.Send(m);
  exchange();
  ASSERT_EQ(server.messages().size(), 1u);
  const testing::Message& got = server.messages()[0];
  EXPECT_EQ(got.data, m.data);
  EXPECT_EQ(got.envelope.reversePath, m.reversePath);
  EXPECT_EQ(got.envelope.mail.envid, m.mail.envid);
  EXPECT_EQ(got.envelope.mail.ret, Ret::kHdrs);
  EXPECT_EQ(got.envelope.xforward, m.xforward);
  ASSERT_EQ(got.envelope.recipients.size(), 3u);
  EXPECT_EQ(got.envelope.recipients[0], m.recipients[0]);

  const std::vector<Reply> replies = {Reply(250, "2.1.5", "Delivered"),
                                      Reply(452, "4.2.2", "Over quota"),
                                      Reply(550, "5.1.1", "No such user")};
  server.AnswerEach(replies);
  exchange();
  ASSERT_TRUE(client.outcomeReady());
  const TransactionOutcome outcome = client.TakeOutcome();
  EXPECT_EQ(
      Fates(outcome),
      (std::vector<Fate>{Fate::kDelivered, Fate::kDeferred, Fate::kRefused}));
  EXPECT_EQ(outcome.recipients[1].reply.enhanced, "4.2.2");
  EXPECT_TRUE(client.idle());
  client.Quit();
  exchange();
  EXPECT_TRUE(client.finished());
}

}  // namespace
}  // namespace vt::smtp
