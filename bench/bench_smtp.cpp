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
//    smtp-sink. A message's latency runs from the moment its MAIL FROM was
//    sent to the time smtp-sink last wrote its dump file (both the system's
//    real-time clock); each message is known by its Message-ID. This
//    process sends rather than smtp-source, which cannot say when each
//    message went. Our latency is made mostly of polls: the router's
//    2-second one, twice (to the scan box and back), and delivery's 1-second
//    one; under load, of the queue that forms behind each router pass.
//
//   bench_smtp [MESSAGES] [SESSIONS] [BYTES]   (defaults 1000, 10, 2000)
//
// Needs root (Postfix's master) and Debian's postfix package; loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <thread>

#include "base/UniqueFd.h"
#include "bench/BenchSupport.h"
#include "standins/Verdicts.h"
#include "tests/e2e/PostfixInstance.h"

namespace {

using namespace vt::bench;
using vt::e2e::BackgroundProcess;
using vt::e2e::PostfixInstance;
using vt::e2e::RunProgram;
using vt::e2e::RunResult;
using vt::e2e::WaitUntil;

constexpr char kPostconf[] = "/usr/sbin/postconf";
constexpr char kPostfix[] = "/usr/sbin/postfix";
constexpr char kSmtpSource[] = "/usr/sbin/smtp-source";
constexpr char kSmtpSink[] = "/usr/sbin/smtp-sink";
constexpr char kFrom[] = "sender@example.org";
constexpr char kTo[] = "anna@example.com";

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The built programs, beside this one's folder.
std::string Program(const char* relative) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / relative).string();
}

// The real-time clock, which file times also follow.
int64_t RealNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Whether the server log has the router's "VTRouter: Version ... started".
bool RouterStarted(const std::string& log) {
  for (size_t at = log.find("VTRouter: Version "); at != std::string::npos;
       at = log.find("VTRouter: Version ", at + 1)) {
    const std::string line = log.substr(at, log.find('\n', at) - at);
    if (line.ends_with(" started")) return true;
  }
  return false;
}

// A port the kernel hands out as free just now.
int FreePort() {
  vt::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length)) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// A blocking connection to 127.0.0.1:port whose reads and writes give up
// after a minute, so that no wait is endless.
vt::UniqueFd Connect(int port) {
  vt::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  if (!fd) return fd;
  timeval limit{60, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address),
                sizeof address) != 0) {
    return vt::UniqueFd();
  }
  return fd;
}

bool Connectable(int port) { return static_cast<bool>(Connect(port)); }

// `vtserver init DIR` with a server name no other router on this machine
// uses (the router's single-instance guard is machine-wide).
bool InitDataDir(const fs::path& dir, const std::string& tag) {
  const std::string name =
      "CN=BenchSmtp" + std::to_string(::getpid()) + tag + "/O=Example";
  const RunResult r =
      RunProgram(Program("apps/vtserver/vtserver"),
                 {"init", dir.string(), "--server", name, "--mailboxes", "1"});
  if (r.exitCode != 0) std::fprintf(stderr, "init: %s", r.err.c_str());
  return r.exitCode == 0;
}

// Starts `vtserver smtp DIR --listen 127.0.0.1:0 ...`; its port, or 0.
int StartListener(BackgroundProcess& listener, const fs::path& dir,
                  const std::vector<std::string>& more) {
  std::vector<std::string> arguments = {
      "smtp", dir.string(), "--listen", "127.0.0.1:0", "--max-backlog", "0"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  const fs::path out = dir.parent_path() / (dir.filename().string() + ".smtp");
  if (!listener.Start(Program("apps/vtserver/vtserver"), arguments,
                      out.string())) {
    return 0;
  }
  int port = 0;
  WaitUntil(
      [&] {
        const std::string text = ReadText(out);
        const size_t at = text.find("at 127.0.0.1:");
        if (at == std::string::npos) return !listener.Running();
        port = std::atoi(text.c_str() + at + 13);
        return true;
      },
      20000);
  if (port == 0) std::fprintf(stderr, "listener: %s", ReadText(out).c_str());
  return port;
}

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

// postconf -e settings (and master.cf entries with -M), then a reload, and
// the wait until the master says it reloaded: mail sent earlier would meet
// the old configuration.
bool Reconfigure(const PostfixInstance& postfix,
                 const std::vector<std::string>& settings,
                 const std::vector<std::string>& services) {
  const std::string conf = postfix.configDirectory();
  std::vector<std::string> arguments = {"-c", conf, "-e"};
  arguments.insert(arguments.end(), settings.begin(), settings.end());
  if (RunProgram(kPostconf, arguments).exitCode != 0) return false;
  for (const std::string& service : services) {
    if (RunProgram(kPostconf, {"-c", conf, "-M", service}).exitCode != 0) {
      return false;
    }
  }
  const int before = Occurrences(postfix.Log(), "reload -- version");
  if (RunProgram(kPostfix, {"-c", conf, "reload"}).exitCode != 0) return false;
  const bool reloaded = WaitUntil(
      [&] { return Occurrences(postfix.Log(), "reload -- version") > before; },
      20000);
  // The master starts the new services as it reloads; a moment for that.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return reloaded;
}

// Relays mail for example.com to smtp-sink at sinkPort instead of the
// Maildir.
std::vector<std::string> RelayToSink(int sinkPort) {
  return {"virtual_mailbox_domains =", "relay_domains = example.com",
          "relay_transport = smtp:[127.0.0.1]:" + std::to_string(sinkPort)};
}
const std::vector<std::string> kSmtpService = {
    "smtp/unix=smtp unix - - n - - smtp"};

// Regular files under folder.
long CountFiles(const fs::path& folder) {
  long count = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec)) ++count;
  }
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

// smtp-sink on a free loopback port, each message dumped into a file of
// folder of its own; its port, or 0. It drops root for nobody, as it must.
int StartSink(BackgroundProcess& sink, const fs::path& folder) {
  const struct passwd* nobody = ::getpwnam("nobody");
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (nobody == nullptr || ec ||
      ::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
    return 0;
  }
  const int port = FreePort();
  if (port == 0 || !sink.Start(kSmtpSink,
                               {"-u", "nobody", "-d", (folder / "m.").string(),
                                "127.0.0.1:" + std::to_string(port), "256"},
                               (folder.parent_path() / "sink.out").string())) {
    return 0;
  }
  return WaitUntil([&] { return Connectable(port); }, 10000) ? port : 0;
}

// One SMTP reply (the last line of a multi-line one decides); its code, or
// 0 when the connection failed.
int ReadReply(int fd, std::string* pending) {
  for (int reads = 0; reads < 10000; ++reads) {
    for (size_t end = pending->find("\r\n"); end != std::string::npos;
         end = pending->find("\r\n")) {
      const std::string line = pending->substr(0, end);
      pending->erase(0, end + 2);
      if (line.size() >= 4 && line[3] == '-') continue;
      return std::atoi(line.c_str());
    }
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return 0;
    pending->append(buffer, static_cast<size_t>(n));
  }
  return 0;
}

bool SendAll(int fd, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    const ssize_t n =
        ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Message number n with a body of about bytes in lines of 76 characters.
std::string MessageText(int n, int bytes) {
  std::string text = "From: <" + std::string(kFrom) + ">\r\nTo: <" + kTo +
                     ">\r\nSubject: bench " + std::to_string(n) +
                     "\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000"
                     "\r\nMessage-ID: <bench-" +
                     std::to_string(n) + "@example.org>\r\n\r\n";
  const std::string body = Body(n, static_cast<size_t>(bytes));
  for (size_t at = 0; at < body.size(); at += 76) {
    text += body.substr(at, 76) + "\r\n";
  }
  return text + ".\r\n";
}

// Sends messages over sessions connections to port at once, each taking
// the next number; *sentNanos[n] is when MAIL FROM of n went. Whether all
// were taken.
bool SendMessages(int port, int messages, int sessions, int bytes,
                  std::vector<int64_t>* sentNanos) {
  sentNanos->assign(static_cast<size_t>(messages), 0);
  std::atomic<int> next = 0;
  std::atomic<bool> failed = false;
  std::vector<std::thread> threads;
  for (int s = 0; s < sessions; ++s) {
    threads.emplace_back([&] {
      vt::UniqueFd fd = Connect(port);
      std::string pending;
      if (!fd || ReadReply(fd.get(), &pending) != 220 ||
          !SendAll(fd.get(), "EHLO client.example.org\r\n") ||
          ReadReply(fd.get(), &pending) != 250) {
        failed = true;
        return;
      }
      for (int n = next++; n < messages && !failed; n = next++) {
        (*sentNanos)[static_cast<size_t>(n)] = RealNanos();
        const bool ok =
            SendAll(fd.get(), "MAIL FROM:<" + std::string(kFrom) + ">\r\n") &&
            ReadReply(fd.get(), &pending) == 250 &&
            SendAll(fd.get(), "RCPT TO:<" + std::string(kTo) + ">\r\n") &&
            ReadReply(fd.get(), &pending) == 250 &&
            SendAll(fd.get(), "DATA\r\n") &&
            ReadReply(fd.get(), &pending) == 354 &&
            SendAll(fd.get(), MessageText(n, bytes)) &&
            ReadReply(fd.get(), &pending) == 250;
        if (!ok) failed = true;
      }
      if (SendAll(fd.get(), "QUIT\r\n")) ReadReply(fd.get(), &pending);
    });
  }
  for (std::thread& t : threads) t.join();
  return !failed;
}

struct Delivered {
  long files = 0;
  long duplicates = 0;
  std::map<int, int64_t> nanos;  // message number: when it was written
};

// What smtp-sink wrote into folder, by Message-ID.
Delivered ReadSink(const fs::path& folder) {
  Delivered delivered;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    ++delivered.files;
    const std::string text = ReadText(it->path());
    const size_t at = text.find("Message-ID: <bench-");
    struct stat st {};
    if (at == std::string::npos || ::stat(it->path().c_str(), &st) != 0) {
      continue;
    }
    const int n = std::atoi(text.c_str() + at + 19);
    const int64_t when = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                         st.st_mtim.tv_nsec;
    if (!delivered.nanos.emplace(n, when).second) ++delivered.duplicates;
  }
  return delivered;
}

struct EndToEnd {
  bool ok = false;
  double perSecond = 0;
  double p50 = 0;  // seconds
  double p99 = 0;
  double longest = 0;
};

// Sends to port, waits until smtp-sink holds every message (bounded), and
// sums up rate and latencies.
EndToEnd Measure(int port, const fs::path& sinkFolder, int messages,
                 int sessions, int bytes) {
  EndToEnd result;
  std::vector<int64_t> sent;
  if (!SendMessages(port, messages, sessions, bytes, &sent)) {
    std::fprintf(stderr, "sending failed\n");
    return result;
  }
  const int limitMillis = 120000 + messages * 20;
  if (!WaitUntil([&] { return CountFiles(sinkFolder) >= messages; },
                 limitMillis)) {
    std::fprintf(stderr, "only %ld of %d messages delivered\n",
                 CountFiles(sinkFolder), messages);
    return result;
  }
  const Delivered delivered = ReadSink(sinkFolder);
  if (delivered.duplicates > 0) {
    std::fprintf(stderr, "%ld messages delivered twice\n",
                 delivered.duplicates);
  }
  std::vector<double> latencies;
  int64_t first = *std::min_element(sent.begin(), sent.end());
  int64_t last = first;
  for (const auto& [n, when] : delivered.nanos) {
    if (n < 0 || n >= messages) continue;
    latencies.push_back(static_cast<double>(when - sent[n]) / 1e9);
    last = std::max(last, when);
  }
  if (latencies.size() != static_cast<size_t>(messages)) {
    std::fprintf(stderr, "%zu of %d messages recognised\n", latencies.size(),
                 messages);
    return result;
  }
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) {
    const size_t i = static_cast<size_t>(
        std::ceil(q * static_cast<double>(latencies.size())));
    return latencies[std::min(latencies.size() - 1, i == 0 ? 0 : i - 1)];
  };
  result.ok = true;
  result.perSecond = messages / (static_cast<double>(last - first) / 1e9);
  result.p50 = at(0.50);
  result.p99 = at(0.99);
  result.longest = latencies.back();
  return result;
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

void PrintEndToEnd(const char* what, const EndToEnd& e) {
  std::printf(
      "  %s: %.1f msg/s, latency p50 %.2f s, p99 %.2f s, longest %.2f s\n",
      what, e.perSecond, e.p50, e.p99, e.longest);
}

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
    const fs::path dir = scratch.path() / "road";
    BackgroundProcess sink;
    const int sinkPort = StartSink(sink, scratch.path() / "road-sink");
    PostfixInstance postfix;
    BackgroundProcess listener;
    const int port =
        sinkPort > 0 && InitDataDir(dir, "r")
            ? StartListener(
                  listener, dir,
                  {"--relay",
                   "127.0.0.1:" + std::to_string(postfix.reinjectionPort())})
            : 0;
    if (port == 0 || !postfix.Start(port) ||
        !Reconfigure(postfix, RelayToSink(sinkPort), kSmtpService)) {
      std::fprintf(stderr, "set-up failed: %s\n", postfix.error().c_str());
      return 1;
    }
    BackgroundProcess router;
    const fs::path routerOut = scratch.path() / "router.out";
    if (!router.Start(Program("apps/vtrouter/vtrouter"),
                      {"--data", dir.string()}, routerOut.string()) ||
        !WaitUntil(
            [&] {
              return RouterStarted(ReadText(dir / ".vtserver" / "server.log"));
            },
            30000)) {
      std::fprintf(stderr, "the router did not start: %s\n",
                   ReadText(routerOut).c_str());
      return 1;
    }
    ScannerLoop scanner(dir);
    const int before = Occurrences(postfix.Log(), "]: connect from ");
    road = Measure(postfix.publicPort(), scratch.path() / "road-sink", messages,
                   sessions, bytes);
    // What is not the senders' is delivery's, to the reinjection port.
    reinjectionConnections =
        Occurrences(postfix.Log(), "]: connect from ") - before - sessions;
    if (!road.ok) {
      std::fprintf(
          stderr, "server log:\n%s\nPostfix log (tail):\n%s\n",
          ReadText(dir / ".vtserver" / "server.log").c_str(),
          postfix.Log()
              .substr(postfix.Log().size() > 4000 ? postfix.Log().size() - 4000
                                                  : 0)
              .c_str());
      return 1;
    }
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
