// The web console's answers per second for GET /metrics, first alone, then
// while 200 slow clients each trickle a request's header a byte every
// 200 ms (as an attack that holds connections open would), and the ratio
// of the two. The console runs in this process on a loopback port over a
// small data directory; a few clients on 127.0.0.1 ask one request after
// another, each on a connection of its own, as a scraper does.
//
//   bench_web_slow_clients [SECONDS] [CLIENTS]   (defaults 3 and 4)
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "bench/QuarantineWorld.h"
#include "bench/WebClient.h"
#include "web/WebApi.h"
#include "web/WebConsole.h"

namespace {

using namespace vt::bench;
using vt::UniqueFd;

constexpr int kSlowClients = 200;

// One GET /metrics; whether it was answered 200.
bool Metrics(int port) {
  const auto answer = WebGet(port, "/metrics");
  return answer && answer->status == 200;
}

// Answers per second over seconds, from clients asking in parallel.
double Rate(int port, int clients, double seconds, bool* failed) {
  std::atomic<long> answered = 0;
  std::atomic<bool> bad = false;
  const auto start = SteadyClock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      while (Seconds(start) < seconds) {
        if (Metrics(port)) {
          ++answered;
        } else {
          bad = true;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  if (bad) *failed = true;
  return static_cast<double>(answered) / Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 3.0;
  const int clients = argc > 2 ? std::max(1, std::atoi(argv[2])) : 4;
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "data";
  if (!MakeWorld(dir, 1000)) return 1;
  const auto reader = ReadingServer(dir);
  if (!reader) return 1;
  vt::tool::WebApi api(dir.string(), *reader);
  vt::tool::WebConsoleOptions options;
  options.listen.host = "127.0.0.1";
  options.listen.loopback = true;
  vt::tool::WebConsole console(api, options);
  if (!console.Bind().ok()) return 1;
  std::thread serving([&] { console.Serve(); });
  const int port = console.port();

  bool failed = false;
  const double alone = Rate(port, clients, seconds, &failed);
  std::printf("GET /metrics alone: %.0f answers/s\n", alone);

  // The slow clients come from addresses of their own (a client address
  // may hold only so many connections), and stay within the deadline.
  std::vector<UniqueFd> slow;
  for (int i = 0; i < kSlowClients; ++i) {
    const std::string from = "127.0.3." + std::to_string(1 + i % 10);
    slow.push_back(ConnectFrom(port, from.c_str()));
    if (!slow.back()) failed = true;
  }
  std::atomic<bool> measuring = true;
  std::thread trickle([&] {
    const std::string header = "GET /metrics HTTP/1.1\r\nX-Slow: ";
    for (size_t at = 0; measuring; ++at) {
      for (const UniqueFd& fd : slow) {
        ::send(fd.get(), header.data() + at % header.size(), 1, MSG_NOSIGNAL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  const double besieged = Rate(port, clients, seconds, &failed);
  measuring = false;
  trickle.join();
  std::printf("GET /metrics with %d slow clients: %.0f answers/s\n",
              kSlowClients, besieged);
  std::printf("ratio (with / alone): %.2f\n", alone > 0 ? besieged / alone : 0);
  slow.clear();
  console.Stop();
  serving.join();
  if (failed) std::fprintf(stderr, "some requests failed\n");
  return failed ? 1 : 0;
}
