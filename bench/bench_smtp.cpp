// Mail over SMTP against Postfix on the same machine, in one run:
//
// 1. Intake: smtp-source (-d: several messages per connection, as an MTA's
//    content filter sends) straight to `vtserver smtp`, which answers 250
//    once the note is durable in mail.box; then the same to a private
//    Postfix's smtpd, whose every message is put on hold (an access HOLD
//    action), so that only the durable queue file is measured: smtpd and
//    cleanup, no queue manager and no delivery.
// 2. End to end: this process sends (one thread per session) to a private
//    Postfix that hands mail to `vtserver smtp` as its content filter; the
//    real vtrouter moves it to the scan box, a scanner loop in this process
//    gives verdict M, the router moves it back, the service delivers it to
//    Postfix's reinjection port, and Postfix relays it to smtp-sink. Against
//    that, the same Postfix set-up without the filter relays straight to
//    smtp-sink. Latency is measured as SmtpRoad.h says: from MAIL FROM to
//    smtp-sink's dump file. Ours is made mostly of polls: the router's
//    2-second one, twice (to the scan box and back), and delivery's 1-second
//    one; under load, of the queue that forms behind each router pass.
//
//   bench_smtp [MESSAGES] [SESSIONS] [BYTES]   (defaults 1000, 10, 2000)
//
// Needs root (Postfix's master) and Debian's postfix package; loopback only.
#include <signal.h>

#include "bench/SmtpRoad.h"
#include "standins/Verdicts.h"

namespace {

using namespace vt::bench;

constexpr char kSmtpSource[] = "/usr/sbin/smtp-source";

// The documents of a database of dir, read by a server of this process.
long CountDocuments(const fs::path& dir, const char* path) {
  vt::LocalNotesServices server(
      vt::LocalNotesServicesOptions{dir, nullptr, false});
  if (!server.Start().ok()) return -1;
  vt::DbHandle db;
  if (!server.OpenDatabase(path, &db).ok()) return -1;
  long count = 0;
  vt::LocalStoreAccess::Database(server, db)
      ->ForEachNote(vt::kNoteClassDocument,
                    [&](const vt::store::ScanEntry&) {
                      ++count;
                      return vt::Status();
                    })
      .IgnoreError();
  server.CloseDatabase(db).IgnoreError();
  return count;
}

// smtp-source -d -s S -m N -l B to 127.0.0.1:port; its seconds, or -1.
double SmtpSource(int port, int messages, int sessions, int bytes) {
  const auto start = SteadyClock::now();
  const RunResult r = RunProgram(
      kSmtpSource,
      {"-d", "-s", std::to_string(sessions), "-m", std::to_string(messages),
       "-l", std::to_string(bytes), "-M", "client.example.org", "-f", kFrom,
       "-t", kTo, "127.0.0.1:" + std::to_string(port)},
      600000);
  const double seconds = Seconds(start);
  if (r.exitCode != 0) {
    std::fprintf(stderr, "smtp-source: exit %d %s%s\n", r.exitCode,
                 r.out.c_str(), r.err.c_str());
    return -1;
  }
  return seconds;
}

// The scanner: verdict M for whatever reaches a scan box, round after round
// with a short pause, until stopped.
class ScannerLoop {
 public:
  explicit ScannerLoop(const fs::path& dir)
      : thread_([this, dir] { Run(dir); }) {}
  ~ScannerLoop() {
    running_ = false;
    thread_.join();
  }
  int given() const { return given_; }

 private:
  void Run(const fs::path& dir) {
    vt::LocalNotesServices server(
        vt::LocalNotesServicesOptions{dir, nullptr, false});
    if (!server.Start().ok()) return;
    while (running_) {
      std::error_code ec;
      for (fs::directory_iterator it(dir / "Veltrane" / "Scan", ec), end;
           !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".box") continue;
        const std::string box =
            "Veltrane/Scan/" + it->path().filename().string();
        vt::DbHandle db;
        if (!server.OpenDatabase(box.c_str(), &db).ok()) continue;
        vt::tool::VerdictCounts counts;
        const bool ok = vt::tool::GiveVerdicts(
                            server, db, box,
                            [](const std::string&) { return 'M'; }, &counts)
                            .ok();
        if (ok) given_ += counts.given;
        server.CloseDatabase(db).IgnoreError();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::atomic<bool> running_ = true;
  std::atomic<int> given_ = 0;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  const int sessions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  const int bytes = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2000;
  const std::string unavailable = PostfixInstance::Unavailable();
  if (!unavailable.empty() || ::access(kSmtpSource, X_OK) != 0 ||
      ::access(kSmtpSink, X_OK) != 0) {
    std::fprintf(stderr, "cannot run: %s\n",
                 unavailable.empty() ? "smtp-source or smtp-sink missing"
                                     : unavailable.c_str());
    return 1;
  }
  ScratchDir scratch;
  // Everything below is read by nobody too (smtp-sink's dump folders).
  fs::permissions(scratch.path(), fs::perms::owner_all |
                                      fs::perms::others_exec |
                                      fs::perms::group_exec);

  // 1. Intake.
  std::printf(
      "intake: %d messages of %d bytes over %d sessions "
      "(smtp-source -d)\n",
      messages, bytes, sessions);
  double ours = 0;
  {
    const fs::path dir = scratch.path() / "intake";
    BackgroundProcess listener;
    const int port =
        InitDataDir(dir, "i") ? StartListener(listener, dir, {}) : 0;
    if (port == 0) return 1;
    const double seconds = SmtpSource(port, messages, sessions, bytes);
    // Its end lets this process open mail.box to count what it took.
    listener.Signal(SIGTERM);
    listener.WaitForExit(30000);
    const long taken = CountDocuments(dir, "mail.box");
    if (seconds <= 0 || taken != messages) {
      std::fprintf(stderr, "mail.box holds %ld of %d\n", taken, messages);
      return 1;
    }
    ours = messages / seconds;
    std::printf("  vtserver smtp into mail.box: %.0f msg/s (%.2f s)\n", ours,
                seconds);
  }
  double theirs = 0;
  {
    PostfixInstance postfix;
    if (!postfix.Start(FreePort()) ||
        !Reconfigure(postfix,
                     {"content_filter =",
                      "smtpd_end_of_data_restrictions = check_client_access "
                      "static:HOLD"},
                     {})) {
      std::fprintf(stderr, "Postfix: %s\n%s", postfix.error().c_str(),
                   postfix.Log().c_str());
      return 1;
    }
    const double seconds =
        SmtpSource(postfix.publicPort(), messages, sessions, bytes);
    const fs::path hold =
        fs::path(postfix.configDirectory()).parent_path() / "queue" / "hold";
    const long held = CountFiles(hold);
    if (seconds <= 0 || held != messages) {
      std::fprintf(stderr, "Postfix holds %ld of %d\n", held, messages);
      return 1;
    }
    theirs = messages / seconds;
    std::printf("  Postfix smtpd into its hold queue: %.0f msg/s (%.2f s)\n",
                theirs, seconds);
  }
  std::printf("  ratio ours/Postfix: %.2f\n", ours / theirs);

  // 2. End to end.
  std::printf(
      "end to end: %d messages of %d bytes over %d sessions, "
      "delivered to smtp-sink\n",
      messages, bytes, sessions);
  EndToEnd road;
  int reinjectionConnections = 0;
  {
    RouterRoad route(scratch.path() / "road");
    if (!route.Start("r")) return 1;
    ScannerLoop scanner(route.dataDir());
    const int before = Occurrences(route.postfix().Log(), "]: connect from ");
    road = route.Measure(messages, sessions, bytes);
    // What is not the senders' is delivery's, to the reinjection port.
    reinjectionConnections =
        Occurrences(route.postfix().Log(), "]: connect from ") - before -
        sessions;
    if (!road.ok) return 1;
  }
  EndToEnd direct;
  {
    BackgroundProcess sink;
    const int sinkPort = StartSink(sink, scratch.path() / "direct-sink");
    PostfixInstance postfix;
    std::vector<std::string> settings = RelayToSink(sinkPort);
    settings.push_back("content_filter =");
    if (sinkPort == 0 || !postfix.Start(FreePort()) ||
        !Reconfigure(postfix, settings, kSmtpService)) {
      std::fprintf(stderr, "set-up failed: %s\n", postfix.error().c_str());
      return 1;
    }
    direct = Measure(postfix.publicPort(), scratch.path() / "direct-sink",
                     messages, sessions, bytes);
    if (!direct.ok) return 1;
  }
  PrintEndToEnd(
      "Postfix -> vtserver smtp -> vtrouter -> verdict M -> "
      "delivery -> Postfix -> smtp-sink",
      road);
  PrintEndToEnd("Postfix -> smtp-sink", direct);
  std::printf("  delivery opened %d connections to the reinjection port\n",
              reinjectionConnections);
  std::printf(
      "  ratio ours/Postfix: %.2f msg/s; latency p50 %.1fx, p99 %.1fx\n",
      road.perSecond / direct.perSecond, road.p50 / direct.p50,
      road.p99 / direct.p99);
  return 0;
}
