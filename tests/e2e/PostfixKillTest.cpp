// Mail the whole way round a real Postfix (its public smtpd, the content
// filter to `vtserver smtp`, the router, verdict M, delivery to the
// reinjection port, the Maildir) while the SMTP service and the router are
// killed with SIGKILL at random moments and started again. Afterwards every
// message is in the Maildir at least once; a second copy may come only from
// an SMTP hand-off a kill cut (the note saved but the 250 not yet heard, or
// the next hop's 250 heard but the note not yet deleted), so at most one per
// connection the killed service had. VT_SMTP_KILL_MESSAGES sets the number
// of messages (a long run), VT_KILL_SEED repeats a run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DataDirTest.h"
#include "PostfixInstance.h"
#include "SmtpTestClient.h"

namespace vt::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultMessages = 200;
constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";
constexpr char kSubjectPrefix[] = "Postfix kill ";
constexpr int kExitMillis = 30000;
// One connection from Postfix to the listener and one from delivery to
// Postfix: a kill cuts at most one hand-off on each.
constexpr int kFilterProcesses = 1;
constexpr int kMaxDeliveries = 1;

int MessagesWanted() {
  const char* count = std::getenv("VT_SMTP_KILL_MESSAGES");
  if (count == nullptr || count[0] == '\0') return kDefaultMessages;
  const int n = std::atoi(count);
  return n > 0 ? n : kDefaultMessages;
}

uint32_t SeedWanted() {
  const char* seed = std::getenv("VT_KILL_SEED");
  if (seed != nullptr && seed[0] != '\0') {
    return static_cast<uint32_t>(std::strtoul(seed, nullptr, 10));
  }
  return std::random_device{}();
}

// A loopback port the kernel hands out as free: the listener must come back
// on the port Postfix's content_filter names.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 &&
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

std::string Subject(int n) { return kSubjectPrefix + std::to_string(n); }

std::string Message(int n) {
  return "From: Sender <sender@example.org>\r\n"
         "To: Anna <anna@example.com>\r\n"
         "Subject: " +
         Subject(n) +
         "\r\n"
         "Date: Thu, 10 Dec 2026 10:00:00 +0000\r\n"
         "Message-ID: <kill-" +
         std::to_string(n) +
         "@example.org>\r\n"
         "\r\n"
         "Message " +
         std::to_string(n) + " of the kill loop.\r\n";
}

// The number in "Subject: Postfix kill N" of a delivered message, or -1.
int Identifier(const std::string& message) {
  const std::string mark = std::string("\nSubject: ") + kSubjectPrefix;
  const size_t at = message.find(mark);
  if (at == std::string::npos) return -1;
  return std::atoi(message.c_str() + at + mark.size());
}

void Sleep(int millis) {
  std::this_thread::sleep_for(std::chrono::milliseconds(millis));
}

class PostfixKillTest : public DataDirTest {
 protected:
  void SetUp() override {
    const std::string unavailable = PostfixInstance::Unavailable();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    DataDirTest::SetUp();
  }

  // Starts `vtserver smtp DIR` on the port, delivering to relayPort, and
  // waits until it listens; whether it does.
  bool StartListener(std::unique_ptr<BackgroundProcess>& listener, int port,
                     int relayPort) {
    listener = std::make_unique<BackgroundProcess>();
    const std::string out =
        (folder() / ("smtp" + std::to_string(++listenerStarts_) + ".out"))
            .string();
    const std::vector<std::string> arguments = {
        "smtp",
        dir(),
        "--listen",
        "127.0.0.1:" + std::to_string(port),
        "--relay",
        "127.0.0.1:" + std::to_string(relayPort),
        "--max-deliveries",
        std::to_string(kMaxDeliveries),
        "--retry-after",
        "1"};
    if (!listener->Start(VtServerPath(), arguments, out)) return false;
    bool listening = false;
    WaitUntil(
        [&] {
          std::ifstream in(out);
          std::stringstream text;
          text << in.rdbuf();
          listening = text.str().find("at 127.0.0.1:") != std::string::npos;
          return listening || !listener->Running();
        },
        20000);
    return listening;
  }

  // Sends messages first .. first+count-1 to Postfix's public smtpd over one
  // connection; how many it took.
  int SendBatch(int port, int first, int count) {
    Client client(port);
    if (!client.connected() || client.Read().code != 220) return 0;
    client.Send("EHLO client.example.org\r\n");
    if (client.Read().code != 250) return 0;
    int taken = 0;
    for (int n = first; n < first + count; ++n) {
      client.Send("MAIL FROM:<sender@example.org>\r\n");
      if (client.Read().code != 250) break;
      client.Send("RCPT TO:<anna@example.com>\r\n");
      if (client.Read().code != 250) break;
      client.Send("DATA\r\n");
      if (client.Read().code != 354) break;
      client.Send(Message(n) + ".\r\n");
      if (client.Read().code != 250) break;
      ++taken;
    }
    client.Send("QUIT\r\n");
    client.Read();
    return taken;
  }

  // Whether nothing waits anywhere: not in Postfix's queue, not in the mail
  // box, not in the scan box.
  bool NothingWaits(const PostfixInstance& postfix) const {
    return postfix.Queue().empty() && Messages("mail.box").empty() &&
           Messages(kScanBox).empty();
  }

  int listenerStarts_ = 0;
};

TEST_F(PostfixKillTest, NoMessageLostDuplicatesOnlyFromCutHandOffs) {
  const int total = MessagesWanted();
  const uint32_t seed = SeedWanted();
  std::printf(
      "[ KILL     ] %d messages through Postfix, seed %u "
      "(VT_KILL_SEED=%u repeats)\n",
      total, seed, seed);
  std::fflush(stdout);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  const Clock::time_point start = Clock::now();

  Init(UniqueServerName());
  PostfixInstance postfix;
  const int port = FreePort();
  ASSERT_GT(port, 0);
  std::unique_ptr<BackgroundProcess> listener;
  ASSERT_TRUE(StartListener(listener, port, postfix.reinjectionPort()));
  // Postfix's filter transport keeps to one connection at once, so that a
  // kill of the listener cuts at most one hand-off in; and it tries
  // deferred mail again within a second, not minutes, once the listener is
  // back.
  PostfixSettings settings;
  settings.filterProcesses = kFilterProcesses;
  settings.retrySeconds = 1;
  ASSERT_TRUE(postfix.Start(port, settings)) << postfix.error();
  std::unique_ptr<BackgroundProcess> router =
      std::make_unique<BackgroundProcess>();
  StartRouter(*router);
  if (HasFatalFailure()) return;

  int sent = 0, smtpKills = 0, routerKills = 0, failedScans = 0;
  const auto scan = [&] {
    if (Vt({"scan", dir(), "--verdict", "M"}).exitCode != 0) ++failedScans;
  };
  // Kills go on while mail is sent and while most of it is still on its
  // way, but not past a limit that keeps the run short.
  const Clock::time_point killsEnd =
      start + std::chrono::milliseconds(20000 + 200 * total);
  Clock::time_point nextKill =
      Clock::now() + std::chrono::milliseconds(between(200, 1500));
  for (;;) {
    if (sent < total) {
      const int count = std::min(between(1, 6), total - sent);
      const int taken = SendBatch(postfix.publicPort(), sent, count);
      ASSERT_EQ(taken, count)
          << "Postfix did not take message " << sent + taken << "\n"
          << postfix.Log();
      sent += taken;
    } else if (Clock::now() >= killsEnd ||
               postfix.Maildir().size() >=
                   static_cast<size_t>(total) * 9 / 10) {
      break;
    }
    scan();
    if (Clock::now() >= nextKill) {
      const int which = between(0, 2);
      if (which != 1) {
        listener->Signal(SIGKILL);
        ASSERT_TRUE(listener->WaitForExit(kExitMillis));
        ASSERT_EQ(listener->termSignal(), SIGKILL);
        ++smtpKills;
      }
      if (which != 0) {
        router->Signal(SIGKILL);
        ASSERT_TRUE(router->WaitForExit(kExitMillis));
        ASSERT_EQ(router->termSignal(), SIGKILL) << RouterOutput();
        ++routerKills;
      }
      // A while down, so that Postfix finds no listener now and then.
      Sleep(between(0, 600));
      if (which != 1) {
        ASSERT_TRUE(StartListener(listener, port, postfix.reinjectionPort()))
            << ServerLog();
      }
      if (which != 0) {
        router = std::make_unique<BackgroundProcess>();
        StartRouter(*router);
        if (HasFatalFailure()) return;
      }
      postfix.Flush();
      nextKill = Clock::now() + std::chrono::milliseconds(between(200, 1500));
    }
    Sleep(between(0, 200));
  }
  const double killSeconds =
      std::chrono::duration<double>(Clock::now() - start).count();

  // The flow drains: nothing waits, and the Maildir no longer grows.
  size_t delivered = 0;
  Clock::time_point grewAt = Clock::now();
  const bool drained = WaitUntil(
      [&] {
        scan();
        postfix.Flush();
        const size_t now = postfix.Maildir().size();
        if (now != delivered) {
          delivered = now;
          grewAt = Clock::now();
        }
        return Clock::now() - grewAt > std::chrono::seconds(3) &&
               NothingWaits(postfix);
      },
      120000 + 100 * total);
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();

  std::map<int, int> copies;  // by identifier
  int strangers = 0;
  for (const std::string& name : postfix.Maildir()) {
    const int n = Identifier(postfix.ReadMaildir(name));
    if (n >= 0 && n < total) {
      ++copies[n];
    } else {
      ++strangers;
    }
  }
  int lost = 0, duplicates = 0;
  std::string lostList;
  for (int n = 0; n < total; ++n) {
    const int here = copies.count(n) ? copies.at(n) : 0;
    if (here == 0) {
      ++lost;
      if (lostList.size() < 200) lostList += " " + std::to_string(n);
    }
    if (here > 1) duplicates += here - 1;
  }
  std::printf(
      "[ KILL     ] sent %d, delivered %zu, smtp kills %d, router kills %d, "
      "lost %d, duplicates %d, others %d, failed scans %d; %.1f s with "
      "kills, %.1f s in all\n",
      total, postfix.Maildir().size(), smtpKills, routerKills, lost, duplicates,
      strangers, failedScans, killSeconds, seconds);
  std::fflush(stdout);

  EXPECT_TRUE(drained) << "mail still waits: Postfix's queue "
                       << postfix.Queue().size() << ", mail.box "
                       << Messages("mail.box").size() << ", scan box "
                       << Messages(kScanBox).size();
  EXPECT_EQ(lost, 0) << "lost:" << lostList;
  EXPECT_EQ(strangers, 0);
  // At most one hand-off in and one out per kill of the SMTP service.
  EXPECT_LE(duplicates, smtpKills * (kFilterProcesses + kMaxDeliveries));
  if (HasFailure()) {
    const std::string log = ServerLog();
    const std::string postfixLog = postfix.Log();
    std::printf(
        "the end of the server log:\n%s\nthe end of Postfix's log:\n%s\n",
        log.substr(log.size() - std::min<size_t>(log.size(), 20000)).c_str(),
        postfixLog
            .substr(postfixLog.size() -
                    std::min<size_t>(postfixLog.size(), 20000))
            .c_str());
  }

  const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
  EXPECT_EQ(quit.exitCode, 0) << quit.err;
  EXPECT_TRUE(router->WaitForExit(kExitMillis));
  listener->Signal(SIGTERM);
  EXPECT_TRUE(listener->WaitForExit(kExitMillis));
}

}  // namespace
}  // namespace vt::e2e
