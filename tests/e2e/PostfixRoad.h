// The whole road with a real Postfix, for the tests that need it: Postfix's
// after-queue content filter hands mail to `vtserver smtp`, the router
// intercepts it, and delivery hands it back to Postfix's reinjection port,
// which puts it into a Maildir.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "DataDirTest.h"
#include "PostfixInstance.h"
#include "StoreAccess.h"

namespace vt::e2e {

inline constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";
inline constexpr char kQuarantineC[] = "Veltrane/QuarantineC_1.nsf";
// Postfix hands mail over within a second; generous for a loaded machine.
inline constexpr int kPostfixMillis = 30000;

// A message as a mail client writes it, every header present so that
// Postfix adds none but its own Received; the body has 8-bit text, a line
// that begins with a dot, trailing blanks and a long line.
inline std::string Message(const std::string& subject, const std::string& id) {
  return "From: Sender <sender@example.org>\n"
         "To: Anna <anna@example.com>\n"
         "Subject: " +
         subject +
         "\n"
         "Date: Wed, 09 Dec 2026 10:00:00 +0000\n"
         "Message-ID: <" +
         id +
         "@example.org>\n"
         "MIME-Version: 1.0\n"
         "Content-Type: text/plain; charset=utf-8\n"
         "Content-Transfer-Encoding: 8bit\n"
         "\n"
         "Gr\xC3\xBC\xC3\x9F"
         "e aus K\xC3\xB6ln.\n"
         ".a line that began with a dot\n"
         "trailing blanks   \n"
         "\n" +
         std::string(900, 'x') + "\n";
}

// "queued as ID" from Postfix's log line of a message handed to the
// listener; empty while there is none.
inline std::string QueuedAs(const std::string& log) {
  const std::string mark = "status=sent (250 2.0.0 Ok: queued as ";
  const size_t at = log.find(mark);
  if (at == std::string::npos) return {};
  const size_t start = at + mark.size();
  const size_t end = log.find(')', start);
  return end == std::string::npos ? std::string()
                                  : log.substr(start, end - start);
}

inline int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class PostfixFilterTest : public DataDirTest {
 protected:
  void SetUp() override {
    const std::string unavailable = PostfixInstance::Unavailable();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    DataDirTest::SetUp();
  }
};

// Mail the whole way round: Postfix, the listener, the router, the scanner's
// verdict, delivery back into Postfix and its Maildir.
class PostfixRoadTest : public PostfixFilterTest {
 protected:
  // The whole road: the listener on a free port behind Postfix's filter,
  // delivering to relayPort (Postfix's reinjection port unless given), and
  // the router. Whether it all started.
  ::testing::AssertionResult StartRoad(PostfixInstance& postfix,
                                       BackgroundProcess& listener,
                                       BackgroundProcess& router,
                                       const PostfixSettings& settings = {},
                                       int relayPort = 0) {
    const int port = StartSmtpService(
        listener,
        {"--relay",
         "127.0.0.1:" + std::to_string(relayPort != 0
                                           ? relayPort
                                           : postfix.reinjectionPort())});
    if (port == 0) return ::testing::AssertionFailure() << "no listener";
    if (!postfix.Start(port, settings)) {
      return ::testing::AssertionFailure() << postfix.error();
    }
    StartRouter(router);
    if (HasFatalFailure()) return ::testing::AssertionFailure() << "no router";
    return ::testing::AssertionSuccess();
  }

  // Gives verdict M to whatever reaches the scan box until the Maildir
  // holds count messages; whether it did.
  bool ScanUntilDelivered(const PostfixInstance& postfix, size_t count) {
    return WaitUntil(
        [&] {
          if (!Messages(kScanBox).empty()) {
            Vt({"scan", dir(), "--verdict", "M"});
          }
          return postfix.Maildir().size() >= count;
        },
        60000);
  }

  // What Postfix and the server logged, for a failure's message.
  std::string Logs(const PostfixInstance& postfix) const {
    return "Postfix's log:\n" + postfix.Log() + "server log:\n" + ServerLog();
  }

  // Lets a duplicate that is on its way arrive, then whether the Maildir
  // still holds exactly count messages and nothing waits anywhere.
  ::testing::AssertionResult SettledAt(const PostfixInstance& postfix,
                                       size_t count) {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const size_t delivered = postfix.Maildir().size();
    if (delivered != count) {
      return ::testing::AssertionFailure()
             << delivered << " messages delivered, not " << count << "\n"
             << Logs(postfix);
    }
    if (!Messages("mail.box").empty()) {
      return ::testing::AssertionFailure() << "mail.box is not empty\n"
                                           << Logs(postfix);
    }
    if (!postfix.Queue().empty()) {
      return ::testing::AssertionFailure() << "Postfix still queues mail\n"
                                           << Logs(postfix);
    }
    return ::testing::AssertionSuccess();
  }
};

}  // namespace vt::e2e
