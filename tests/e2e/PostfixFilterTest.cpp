// `vtserver smtp` behind a real Postfix, as its after-queue content filter:
// what Postfix hands over becomes one note named by the ID Postfix logs,
// mail the listener defers stays in Postfix's queue until the mail boxes
// drain, and Postfix's reinjection port delivers what it is given unchanged;
// and, once the service delivers, mail the whole way round into a Maildir.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PostfixRoad.h"

namespace vt::e2e {
namespace {

TEST_F(PostfixFilterTest, MailPostfixFiltersBecomesOneNoteNamedAsPostfixLogs) {
  Init(UniqueServerName());
  BackgroundProcess listener;
  const int port = StartSmtpService(listener);
  ASSERT_GT(port, 0);
  PostfixInstance postfix;
  ASSERT_TRUE(postfix.Start(port)) << postfix.error();

  // "Grüße aus Köln" in an encoded word, as mail clients write it.
  const std::string message =
      Message("=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=", "first");
  const RunResult sent = postfix.Send(
      postfix.publicPort(), "sender@example.org", "anna@example.com", message);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;

  std::string id;
  ASSERT_TRUE(WaitUntil([&] { return !(id = QueuedAs(postfix.Log())).empty(); },
                        kPostfixMillis))
      << postfix.Log();
  // Through the filter transport, to our listener, once.
  const std::string log = postfix.Log();
  EXPECT_NE(log.find("relay=127.0.0.1[127.0.0.1]:" + std::to_string(port)),
            std::string::npos)
      << log;
  EXPECT_EQ(Occurrences(log, "status=sent"), 1) << log;
  EXPECT_TRUE(
      WaitUntil([&] { return postfix.Queue().empty(); }, kPostfixMillis));

  const std::vector<StoredMessage> stored = Messages("mail.box");
  ASSERT_EQ(stored.size(), 1u);
  const StoredMessage& note = stored[0];
  EXPECT_EQ(note.unid, id);
  EXPECT_EQ(note.Item("Subject"),
            "Gr\xC3\xBC\xC3\x9F"
            "e aus K\xC3\xB6ln");
  EXPECT_EQ(note.Item("VeltraneProcess"), "1");
  EXPECT_EQ(note.Item("SMTPOriginator"), "sender@example.org");
  EXPECT_EQ(note.Item("Recipients"), "anna@example.com");
  // Postfix says where the mail came from, and the body is unchanged.
  EXPECT_NE(note.Item("VTSmtpXforward").find("ADDR=127.0.0.1"),
            std::string::npos)
      << note.Item("VTSmtpXforward");
  const std::string raw = note.Item("VTSmtpMessage");
  EXPECT_EQ(raw.rfind("Received: from client.example.org", 0), 0u) << raw;
  EXPECT_EQ(WithLfLineEnds(MessageBody(raw)), MessageBody(message));
  EXPECT_TRUE(Logged("SMTP Server: Message " + id + " (<first@example.org>)"));
}

TEST_F(PostfixFilterTest, MailTheListenerDefersWaitsInPostfixsQueue) {
  Init(UniqueServerName());
  Send("waiting", 2);
  BackgroundProcess listener;
  const int port = StartSmtpService(listener, {"--max-backlog", "1"});
  ASSERT_GT(port, 0);
  PostfixInstance postfix;
  ASSERT_TRUE(postfix.Start(port)) << postfix.error();

  const RunResult sent =
      postfix.Send(postfix.publicPort(), "sender@example.org",
                   "anna@example.com", Message("deferred", "deferred"));
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;

  // Postfix took the message, heard 452 at MAIL and keeps it.
  std::vector<QueuedMessage> queue;
  ASSERT_TRUE(WaitUntil(
      [&] {
        queue = postfix.Queue();
        return queue.size() == 1 && queue[0].queueName == "deferred";
      },
      kPostfixMillis))
      << postfix.Log();
  ASSERT_EQ(queue[0].delayReasons.size(), 1u);
  EXPECT_NE(queue[0].delayReasons[0].find("452 4.3.1"), std::string::npos)
      << queue[0].delayReasons[0];
  EXPECT_NE(queue[0].delayReasons[0].find("MAIL FROM"), std::string::npos)
      << queue[0].delayReasons[0];
  EXPECT_EQ(Messages("mail.box").size(), 2u);
  EXPECT_EQ(Count("mail.box", "deferred"), 0);
  EXPECT_TRUE(Logged("new mail is deferred"));

  // The router and the scanner drain the mail box into the quarantine.
  {
    BackgroundProcess router;
    StartRouter(router);
    ASSERT_TRUE(WaitForCount(kScanBox, "waiting", 2)) << RouterOutput();
    ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
    ASSERT_TRUE(WaitForCount(kQuarantineC, "waiting", 2)) << RouterOutput();
    router.Signal(SIGTERM);
    ASSERT_TRUE(router.WaitForExit(30000));
  }
  ASSERT_TRUE(Messages("mail.box").empty());

  // Flushed, the message reaches the listener at last, once.
  const RunResult flushed = postfix.Flush();
  ASSERT_EQ(flushed.exitCode, 0) << flushed.err;
  std::string id;
  ASSERT_TRUE(WaitUntil([&] { return !(id = QueuedAs(postfix.Log())).empty(); },
                        kPostfixMillis))
      << postfix.Log();
  EXPECT_TRUE(
      WaitUntil([&] { return postfix.Queue().empty(); }, kPostfixMillis));
  const std::vector<StoredMessage> stored = Messages("mail.box");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].Item("Subject"), "deferred");
  EXPECT_EQ(stored[0].unid, id);
  EXPECT_EQ(Occurrences(postfix.Log(), "status=sent"), 1);
}

TEST_F(PostfixFilterTest, TheReinjectionPortDeliversOnceUnchanged) {
  PostfixInstance postfix;
  // Nothing listens at the filter's port: mail given to the reinjection
  // port must not go there.
  PostfixInstance unused;
  ASSERT_TRUE(postfix.Start(unused.publicPort())) << postfix.error();

  const std::string message = Message("reinjected", "reinjected");
  const RunResult sent =
      postfix.Send(postfix.reinjectionPort(), "sender@example.org",
                   "bob@example.com", message);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;

  ASSERT_TRUE(
      WaitUntil([&] { return postfix.Maildir().size() == 1; }, kPostfixMillis))
      << postfix.Log();
  ASSERT_TRUE(
      WaitUntil([&] { return postfix.Queue().empty(); }, kPostfixMillis));
  const std::vector<std::string> delivered = postfix.Maildir();
  ASSERT_EQ(delivered.size(), 1u);
  const std::string stored = postfix.ReadMaildir(delivered[0]);
  EXPECT_EQ(MessageBody(stored), MessageBody(message));
  EXPECT_NE(stored.find("Delivered-To: bob@example.com\n"), std::string::npos)
      << stored;
  EXPECT_NE(stored.find("Subject: reinjected\n"), std::string::npos);
  const std::string log = postfix.Log();
  EXPECT_EQ(Occurrences(log, "status=sent (delivered to maildir)"), 1) << log;
  EXPECT_EQ(log.find("relay=127.0.0.1"), std::string::npos) << log;
}

// With no scanner at all, mail waits in the scan box until the router's
// release time, then goes out unscanned: the fail-open.
TEST_F(PostfixRoadTest, WithoutAScannerMailIsReleasedAfterItsTimeAndDelivered) {
  Init(UniqueServerName());
  ASSERT_EQ(Vt({"config", dir(), "ReleaseMailMinutes=10"}).exitCode, 0);
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router));

  const std::string mail = Message("unscanned", "waited");
  const RunResult sent = postfix.Send(
      postfix.publicPort(), "sender@example.org", "anna@example.com", mail);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(WaitForCount(kScanBox, "unscanned", 1)) << Logs(postfix);
  // Not before its time: release is on, but the message is new.
  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "enablerelease"}).exitCode, 0);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Count(kScanBox, "unscanned"), 1);
  EXPECT_TRUE(postfix.Maildir().empty());

  // Eleven minutes later, as far as the router can tell.
  ASSERT_TRUE(BackdateCreation(dir(), kScanBox, 11).ok());
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 1; }, 60000))
      << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 1));
  EXPECT_EQ(MessageBody(postfix.ReadMaildir(postfix.Maildir()[0])),
            MessageBody(mail));
  EXPECT_TRUE(Logged("Releasing 1 unscanned messages from scan.box."));
}

TEST_F(PostfixRoadTest, HamAndReleasedSpamReachTheMaildirOnceUnchanged) {
  Init(UniqueServerName());
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router));

  // Ham: through the filter, scanned as ordinary mail, delivered.
  const std::string ham = Message("ham", "ham");
  RunResult sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                                "anna@example.com", ham);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(ScanUntilDelivered(postfix, 1)) << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 1));
  const std::string delivered = postfix.ReadMaildir(postfix.Maildir()[0]);
  EXPECT_EQ(MessageBody(delivered), MessageBody(ham));
  EXPECT_NE(delivered.find("Subject: ham\n"), std::string::npos) << delivered;
  EXPECT_NE(delivered.find("Delivered-To: anna@example.com\n"),
            std::string::npos);

  // Spam: quarantined, delivered only once released, and only once.
  const std::string spam = Message("spam", "spam");
  sent = postfix.Send(postfix.publicPort(), "sender@example.org",
                      "anna@example.com", spam);
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  ASSERT_TRUE(WaitForCount(kScanBox, "spam", 1)) << Logs(postfix);
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(kQuarantineC, "spam", 1)) << RouterOutput();
  ASSERT_TRUE(SettledAt(postfix, 1));

  const std::vector<StoredMessage> quarantined = Messages(kQuarantineC);
  ASSERT_EQ(quarantined.size(), 1u);
  const RunResult released =
      Vt({"quarantine", dir(), "release", quarantined[0].unid});
  ASSERT_EQ(released.exitCode, 0) << released.err;
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 2; }, 60000))
      << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 2));
  EXPECT_EQ(Vt({"quarantine", dir(), "release", quarantined[0].unid}).exitCode,
            1);
  ASSERT_TRUE(SettledAt(postfix, 2));
  const std::string second = postfix.ReadMaildir(postfix.Maildir()[1]);
  EXPECT_EQ(MessageBody(second), MessageBody(spam));
  EXPECT_NE(second.find("Subject: spam\n"), std::string::npos) << second;
}

// A message of 20 MB, above Postfix's default limit (raised here): it goes
// the whole way and arrives once, its body byte for byte.
TEST_F(PostfixRoadTest, ABigMessageArrivesOnceByteForByte) {
  Init(UniqueServerName());
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  PostfixSettings settings;
  settings.messageSizeLimit = 40L * 1024 * 1024;
  ASSERT_TRUE(StartRoad(postfix, listener, router, settings));

  // Numbered lines, so that a lost, doubled or moved piece shows.
  std::string message = Message("big", "big");
  const size_t bodyBytes = 20u * 1024 * 1024;
  message.reserve(message.size() + bodyBytes + 128);
  char line[128];
  for (int n = 0; message.size() < bodyBytes; ++n) {
    std::snprintf(line, sizeof line, "%08d %s\n", n,
                  n % 2 == 0 ? "abcdefghijklmnopqrstuvwxyz0123456789"
                             : "ABCDEFGHIJKLMNOPQRSTUVWXYZ.,;:-_+=");
    message += line;
  }
  const RunResult sent = postfix.Send(
      postfix.publicPort(), "sender@example.org", "anna@example.com", message);
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  ASSERT_TRUE(ScanUntilDelivered(postfix, 1)) << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 1));
  const std::string delivered = postfix.ReadMaildir(postfix.Maildir()[0]);
  EXPECT_GT(delivered.size(), bodyBytes);
  EXPECT_TRUE(MessageBody(delivered) == MessageBody(message))
      << "the body differs: " << MessageBody(delivered).size() << " bytes, not "
      << MessageBody(message).size();
  EXPECT_NE(delivered.find("Subject: big\n"), std::string::npos);
}

// A message for 500 recipients: Postfix hands it to the listener in parts of
// at most 50 recipients (its default destination recipient limit), and the
// virtual delivery agent writes one copy per recipient into the one Maildir
// its static map names; every recipient gets exactly one.
TEST_F(PostfixRoadTest, AMessageForFiveHundredRecipientsReachesEachOnce) {
  Init(UniqueServerName());
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router));

  constexpr int kRecipients = 500;
  std::string to;
  for (int n = 0; n < kRecipients; ++n) {
    to += (n == 0 ? "" : ",") + ("r" + std::to_string(n) + "@example.com");
  }
  const std::string message = Message("many", "many");
  const RunResult sent =
      postfix.Send(postfix.publicPort(), "sender@example.org", to, message);
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  ASSERT_TRUE(ScanUntilDelivered(postfix, kRecipients)) << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, kRecipients));

  std::map<std::string, int> perRecipient;
  for (const std::string& name : postfix.Maildir()) {
    const std::string delivered = postfix.ReadMaildir(name);
    EXPECT_EQ(MessageBody(delivered), MessageBody(message));
    const std::string mark = "Delivered-To: ";
    const size_t at = delivered.find(mark);
    ASSERT_NE(at, std::string::npos) << delivered;
    const size_t end = delivered.find('\n', at);
    ++perRecipient[delivered.substr(at + mark.size(), end - at - mark.size())];
  }
  EXPECT_EQ(perRecipient.size(), static_cast<size_t>(kRecipients));
  for (int n = 0; n < kRecipients; ++n) {
    const std::string address = "r" + std::to_string(n) + "@example.com";
    EXPECT_EQ(perRecipient[address], 1) << address;
  }
  // The parts the listener took, one note each, all delivered.
  EXPECT_GE(Occurrences(postfix.Log(), "relay=127.0.0.1[127.0.0.1]:"),
            kRecipients / 50);
}

// While nothing answers at the relay's port, verified mail waits in the
// mail box; once the service delivers to the reinjection port, it goes, once.
TEST_F(PostfixRoadTest, MailWaitsWhileTheRelayIsDownThenGoes) {
  Init(UniqueServerName());
  PostfixInstance postfix;
  // Its ports are free, and nothing listens at them.
  PostfixInstance nowhere;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router, PostfixSettings(),
                        nowhere.reinjectionPort()));

  const std::string message = Message("waits", "waits");
  const RunResult sent = postfix.Send(
      postfix.publicPort(), "sender@example.org", "anna@example.com", message);
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  ASSERT_TRUE(WaitForCount(kScanBox, "waits", 1)) << Logs(postfix);
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "M"}).exitCode, 0);
  // Verified, back in the mail box, and kept there.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<StoredMessage> box = Messages("mail.box");
        return box.size() == 1 && box[0].Item("VeltraneVerified") == "1";
      },
      60000))
      << Logs(postfix);
  ASSERT_TRUE(
      WaitUntil([&] { return Logged("SMTP Delivery: Cannot deliver"); }, 30000))
      << ServerLog();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_TRUE(postfix.Maildir().empty());
  EXPECT_EQ(Count("mail.box", "waits"), 1);

  // The service again, now with the reinjection port.
  listener.Signal(SIGTERM);
  ASSERT_TRUE(listener.WaitForExit(30000));
  BackgroundProcess again;
  ASSERT_GT(
      StartSmtpService(
          again, {"--relay",
                  "127.0.0.1:" + std::to_string(postfix.reinjectionPort())}),
      0);
  ASSERT_TRUE(WaitUntil([&] { return postfix.Maildir().size() == 1; }, 60000))
      << Logs(postfix);
  ASSERT_TRUE(SettledAt(postfix, 1));
  const std::string delivered = postfix.ReadMaildir(postfix.Maildir()[0]);
  EXPECT_EQ(MessageBody(delivered), MessageBody(message));
}

// A subject in an encoded word reads as the text it encodes in the
// administrator's list of the quarantine.
TEST_F(PostfixRoadTest, AnEncodedSubjectReadsRightInTheQuarantineList) {
  Init(UniqueServerName());
  PostfixInstance postfix;
  BackgroundProcess listener;
  BackgroundProcess router;
  ASSERT_TRUE(StartRoad(postfix, listener, router));

  // "Grüße aus Köln"
  const std::string subject =
      "Gr\xC3\xBC\xC3\x9F"
      "e aus K\xC3\xB6ln";
  const RunResult sent = postfix.Send(
      postfix.publicPort(), "sender@example.org", "anna@example.com",
      Message("=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=", "encoded"));
  ASSERT_EQ(sent.exitCode, 0) << sent.err;
  ASSERT_TRUE(WaitForCount(kScanBox, subject, 1)) << Logs(postfix);
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(kQuarantineC, subject, 1)) << RouterOutput();
  const RunResult listed = Vt({"quarantine", dir(), "list"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_NE(listed.out.find(subject), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("=?UTF-8?"), std::string::npos) << listed.out;
  ASSERT_TRUE(SettledAt(postfix, 0));
}

}  // namespace
}  // namespace vt::e2e
