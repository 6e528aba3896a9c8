// The web console under clients that are slow or hostile, through raw
// sockets against the real `vtserver web`: slow clients cannot starve the
// others and are closed by the request deadline, no body or header grows
// the process however it is framed, and a Host naming the default port is
// the console's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "DataDirTest.h"
#include "WebProcess.h"
#include "base/UniqueFd.h"

namespace vt::e2e {
namespace {

// A connection to 127.0.0.1:port from the loopback address from, so that
// one test can be many clients.
UniqueFd Connect(int port, const std::string& from = "127.0.0.1") {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &source.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sizeof source) !=
          0 ||
      ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address),
                sizeof address) != 0) {
    ADD_FAILURE() << "cannot connect from " << from << ": "
                  << std::strerror(errno);
    return UniqueFd();
  }
  return fd;
}

// Sends what it can (false once the server closed or reset).
bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// What the server sends until it closes; an answer not complete within
// waitSeconds counts as none (the server is meant to answer far sooner).
std::string ReadToEnd(int fd, int waitSeconds) {
  std::string got;
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitSeconds * 1000) <= 0) return got + "<no end>";
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return got;
    got.append(buffer, static_cast<size_t>(n));
  }
}

std::string Get(int port, const std::string& path, const std::string& host) {
  const UniqueFd fd = Connect(port);
  if (!fd) return "";
  SendAll(fd.get(), "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
  return ReadToEnd(fd.get(), 5);
}

// The resident memory of a process, in KiB.
long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

class WebLimitsTest : public DataDirTest {
 protected:
  void StartConsole() {
    Init(UniqueServerName());
    ASSERT_TRUE(web_.Start(dir(), (folder() / "web.out").string()));
    host_ = "127.0.0.1:" + std::to_string(web_.port());
  }

  WebProcess web_;
  std::string host_;
};

TEST_F(WebLimitsTest, SlowClientsNeitherStarveOthersNorStay) {
  StartConsole();
  // 200 clients from 8 addresses, each sending its header a byte a second.
  std::vector<UniqueFd> slow;
  for (int i = 0; i < 200; ++i) {
    slow.push_back(
        Connect(web_.port(), "127.0.1." + std::to_string(1 + i % 8)));
    ASSERT_TRUE(slow.back());
  }
  const std::string header = "GET /metrics HTTP/1.1\r\nHost: " + host_ +
                             "\r\nX-Slow: " + std::string(100, 'x');
  std::atomic<bool> done = false;
  std::atomic<int> open = static_cast<int>(slow.size());
  std::thread trickle([&] {
    // Up to a minute: far past the deadline, short of hanging the run.
    for (size_t at = 0; at < 60 && open > 0; ++at) {
      int still = 0;
      for (UniqueFd& fd : slow) {
        if (!fd) continue;
        pollfd p{fd.get(), POLLIN, 0};
        char c;
        if (::poll(&p, 1, 0) == 1 && ::recv(fd.get(), &c, 1, 0) <= 0) {
          fd.Reset();  // closed by the server
          continue;
        }
        ++still;
        SendAll(fd.get(), header.substr(at % header.size(), 1));
      }
      open = still;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    done = true;
  });

  // Meanwhile the others are answered.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string metrics = Get(web_.port(), "/metrics", host_);
  EXPECT_EQ(metrics.rfind("HTTP/1.1 200", 0), 0u) << metrics;
  EXPECT_NE(metrics.find("vtrouter_"), std::string::npos);
  const std::string page = Get(web_.port(), "/", host_);
  EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page.substr(0, 200);

  // One address may hold only so many connections: the one past them is
  // closed unanswered, while the rest of the world is still served.
  std::vector<UniqueFd> greedy;
  for (int i = 0; i < 32; ++i)
    greedy.push_back(Connect(web_.port(), "127.0.2.1"));
  const UniqueFd oneTooMany = Connect(web_.port(), "127.0.2.1");
  ASSERT_TRUE(oneTooMany);
  SendAll(oneTooMany.get(),
          "GET /metrics HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  EXPECT_EQ(ReadToEnd(oneTooMany.get(), 5), "");
  greedy.clear();

  trickle.join();
  EXPECT_EQ(open, 0) << "slow clients still open after a minute";
  EXPECT_TRUE(web_.process().Running());
}

TEST_F(WebLimitsTest, NoBodyOrHeaderGrowsTheProcess) {
  StartConsole();
  const std::string quarantine = Get(web_.port(), "/quarantine", host_);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      quarantine, match,
      std::regex("name=\"vt-csrf\" content=\"([0-9a-f]+)\"")));
  const std::string csrf = match[1].str();
  const long before = ResidentKib(web_.process().pid());
  ASSERT_GT(before, 0);

  // 50 MiB of chunked body: refused past the console's limit, unread.
  {
    const UniqueFd fd = Connect(web_.port());
    std::string answer;
    SendAll(fd.get(), "POST /api/quarantine/delete HTTP/1.1\r\nHost: " + host_ +
                          "\r\nX-VT-CSRF: " + csrf +
                          "\r\nContent-Type: application/json\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n");
    const std::string chunk =
        "100000\r\n" + std::string(0x100000, 'a') + "\r\n";
    for (int i = 0; i < 50 && SendAll(fd.get(), chunk); ++i) {
    }
    answer = ReadToEnd(fd.get(), 10);
    EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 413", 0) == 0)
        << answer.substr(0, 200);
  }
  // 50 MiB of header, before any token could be checked.
  {
    const UniqueFd fd = Connect(web_.port());
    SendAll(fd.get(), "GET / HTTP/1.1\r\nHost: " + host_ + "\r\n");
    const std::string field = "X-Flood: " + std::string(1000, 'f') + "\r\n";
    std::string block;
    while (block.size() < 0x100000) block += field;
    for (int i = 0; i < 50 && SendAll(fd.get(), block); ++i) {
    }
    const std::string answer = ReadToEnd(fd.get(), 10);
    EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 431", 0) == 0)
        << answer.substr(0, 200);
  }
  const long after = ResidentKib(web_.process().pid());
  EXPECT_LT(after - before, 16 * 1024) << before << " KiB, then " << after;
  // And the console goes on.
  EXPECT_EQ(Get(web_.port(), "/metrics", host_).rfind("HTTP/1.1 200", 0), 0u);
}

TEST_F(WebLimitsTest, AHostWithTheDefaultPortIsTheConsolesOwn) {
  Init(UniqueServerName());
  BackgroundProcess web;
  const std::string out = (folder() / "web80.out").string();
  ASSERT_TRUE(web.Start(VtServerPath(),
                        {"web", dir(), "--listen", "127.0.0.1:80"}, out));
  std::string said;
  WaitUntil(
      [&] {
        std::ifstream in(out);
        said.assign(std::istreambuf_iterator<char>(in), {});
        return said.find("http://") != std::string::npos || !web.Running();
      },
      20000);
  if (!web.Running()) GTEST_SKIP() << "port 80 is not free here: " << said;
  // As Prometheus sends it, as a browser sends it, and another site's.
  EXPECT_EQ(Get(80, "/metrics", "127.0.0.1:80").rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(Get(80, "/metrics", "localhost").rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_EQ(Get(80, "/metrics", "127.0.0.1:8080").rfind("HTTP/1.1 403", 0), 0u);
  EXPECT_EQ(Get(80, "/metrics", "attacker.example:80").rfind("HTTP/1.1 403", 0),
            0u);
}

TEST_F(WebLimitsTest, AMalformedListenAddressIsABadCommandLine) {
  Init(UniqueServerName());
  const RunResult run = Vt({"web", dir(), "--listen", "localhost"});
  EXPECT_EQ(run.exitCode, 2) << run.err;
  EXPECT_NE(run.err.find("not ADDRESS:PORT"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace vt::e2e
