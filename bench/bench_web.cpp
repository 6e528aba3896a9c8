// The web console over a large data directory: 100,000 quarantined
// messages (as bench_quarantine makes them) and a server log of a busy day
// (the router's "Moved" lines every two seconds). The console runs in this
// process on a loopback port, one reader as `vtserver web` has, and each
// figure is the median of requests through real HTTP:
//   (a) GET /api/overview (stats and three hours of the chart), the
//       overview page's refresh (aim: under 200 ms);
//   (b) GET /api/overview?hours=24, the longest chart;
//   (c) GET /api/quarantine, a page of 50 of the newest;
//   (d) GET /metrics.
//
//   bench_web [MESSAGES] [ROUNDS]     (defaults 100000 and 20)
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <thread>

#include "bench/QuarantineWorld.h"
#include "bench/WebClient.h"
#include "web/WebApi.h"
#include "web/WebConsole.h"

namespace {

using namespace vt::bench;

// A day of the router's lines, newest last, as the log stamps them.
bool WriteLog(const fs::path& dir, int64_t nowSeconds) {
  fs::create_directories(dir / ".vtserver");
  std::ofstream log(dir / ".vtserver" / "server.log");
  const char* routes[] = {"mail.box", "Quarantine B", "Quarantine C",
                          "Quarantine D", "Scan box"};
  long lines = 0;
  for (int64_t t = nowSeconds - 86400; t <= nowSeconds; t += 2) {
    const time_t when = static_cast<time_t>(t);
    tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const int route = static_cast<int>((t / 2) % 5);
    log << stamp << "  VTRouter: Moved " << (t % 7) + 1 << " messages to "
        << routes[route] << "\n";
    ++lines;
  }
  std::printf("server log: %ld lines over 24 hours\n", lines);
  return static_cast<bool>(log);
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "data";
  const auto made = SteadyClock::now();
  if (!MakeWorld(dir, messages)) return 1;
  if (!WriteLog(dir, static_cast<int64_t>(std::time(nullptr)))) return 1;
  std::printf("made %d quarantined messages in %.1f s\n", messages,
              Seconds(made));

  const auto reader = ReadingServer(dir);
  if (!reader) return 1;
  vt::tool::WebApi api(dir.string(), *reader);
  vt::tool::WebConsoleOptions options;
  options.listen.host = "127.0.0.1";
  options.listen.loopback = true;
  vt::tool::WebConsole console(api, options);
  if (!console.Bind().ok()) return 1;
  std::thread serving([&] { console.Serve(); });

  bool failed = false;
  auto get = [&](const std::string& path, size_t minimumBytes) {
    return [&, path, minimumBytes] {
      const auto r = WebGet(console.port(), path);
      if (!r || r->status != 200 || r->body.size() < minimumBytes) {
        std::fprintf(stderr, "GET %s failed\n", path.c_str());
        failed = true;
      }
    };
  };
  Report("(a) GET /api/overview (3 hours)",
         Timed(rounds, get("/api/overview", 1000)), 200);
  Report("(b) GET /api/overview?hours=24",
         Timed(rounds, get("/api/overview?hours=24", 1000)), 200);
  Report("(c) GET /api/quarantine (a page of 50)",
         Timed(rounds, get("/api/quarantine", 1000)), 1000);
  Report("(d) GET /metrics", Timed(rounds, get("/metrics", 1000)), 200);
  console.Stop();
  serving.join();
  std::printf("peak resident memory: %.1f MiB\n", PeakRssMib());
  return failed ? 1 : 0;
}
