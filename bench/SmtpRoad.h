// What the benchmarks of mail over SMTP share: private Postfix instances
// reconfigured for the road at hand, smtp-sink as the last hop, senders that
// note when each message went, the reading of what smtp-sink got, and the
// road through `vtserver smtp` and the real vtrouter.
//
// A message's latency runs from the moment its MAIL FROM was sent to the
// time smtp-sink last wrote its dump file (both the system's real-time
// clock); each message is known by its Message-ID. The senders are this
// process's threads rather than smtp-source, which cannot say when each
// message went.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <thread>

#include "base/UniqueFd.h"
#include "bench/BenchSupport.h"
#include "tests/e2e/PostfixInstance.h"

namespace vt::bench {

using vt::e2e::BackgroundProcess;
using vt::e2e::PostfixInstance;
using vt::e2e::RunProgram;
using vt::e2e::RunResult;
using vt::e2e::WaitUntil;

inline constexpr char kPostconf[] = "/usr/sbin/postconf";
inline constexpr char kPostfix[] = "/usr/sbin/postfix";
inline constexpr char kSmtpSink[] = "/usr/sbin/smtp-sink";
inline constexpr char kFrom[] = "sender@example.org";
inline constexpr char kTo[] = "anna@example.com";

inline std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string Tail(const std::string& text, size_t bytes = 4000) {
  return text.substr(text.size() > bytes ? text.size() - bytes : 0);
}

inline int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The built programs, beside this one's folder.
inline std::string Program(const char* relative) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return (self.parent_path().parent_path() / relative).string();
}

// The real-time clock, which file times also follow.
inline int64_t RealNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Whether the server log has the router's "VTRouter: Version ... started".
inline bool RouterStarted(const std::string& log) {
  for (size_t at = log.find("VTRouter: Version "); at != std::string::npos;
       at = log.find("VTRouter: Version ", at + 1)) {
    const std::string line = log.substr(at, log.find('\n', at) - at);
    if (line.ends_with(" started")) return true;
  }
  return false;
}

// A port the kernel hands out as free just now.
inline int FreePort() {
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
inline vt::UniqueFd Connect(int port) {
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

inline bool Connectable(int port) { return static_cast<bool>(Connect(port)); }

// `vtserver init DIR` with a server name no other router on this machine
// uses (the router's single-instance guard is machine-wide).
inline bool InitDataDir(const fs::path& dir, const std::string& tag) {
  const std::string name =
      "CN=BenchSmtp" + std::to_string(::getpid()) + tag + "/O=Example";
  const RunResult r =
      RunProgram(Program("apps/vtserver/vtserver"),
                 {"init", dir.string(), "--server", name, "--mailboxes", "1"});
  if (r.exitCode != 0) std::fprintf(stderr, "init: %s", r.err.c_str());
  return r.exitCode == 0;
}

// Starts `vtserver smtp DIR --listen 127.0.0.1:0 ...`; its port, or 0.
inline int StartListener(BackgroundProcess& listener, const fs::path& dir,
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

// postconf -e settings (and master.cf entries with -M), then a reload, and
// the wait until the master says it reloaded: mail sent earlier would meet
// the old configuration.
inline bool Reconfigure(const PostfixInstance& postfix,
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
inline std::vector<std::string> RelayToSink(int sinkPort) {
  return {"virtual_mailbox_domains =", "relay_domains = example.com",
          "relay_transport = smtp:[127.0.0.1]:" + std::to_string(sinkPort)};
}
inline const std::vector<std::string> kSmtpService = {
    "smtp/unix=smtp unix - - n - - smtp"};

// Regular files under folder.
inline long CountFiles(const fs::path& folder) {
  long count = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec)) ++count;
  }
  return count;
}

// smtp-sink on a free loopback port, each message dumped into a file of
// folder of its own; its port, or 0. It drops root for nobody, as it must.
inline int StartSink(BackgroundProcess& sink, const fs::path& folder) {
  const struct passwd* nobody = ::getpwnam("nobody");
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (nobody == nullptr || ec ||
      ::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
    return 0;
  }
  const int port = FreePort();
  if (port == 0 ||
      !sink.Start(kSmtpSink,
                  {"-u", "nobody", "-d", (folder / "m.").string(),
                   "127.0.0.1:" + std::to_string(port), "256"},
                  (folder.parent_path() / (folder.filename().string() + ".out"))
                      .string())) {
    return 0;
  }
  return WaitUntil([&] { return Connectable(port); }, 10000) ? port : 0;
}

// One SMTP reply (the last line of a multi-line one decides); its code, or
// 0 when the connection failed.
inline int ReadReply(int fd, std::string* pending) {
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

inline bool SendAll(int fd, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    const ssize_t n =
        ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// Message number n, a plain letter dated now with a body of about bytes in
// lines of 76 characters. (Spam filters score a date far off.)
inline std::string MessageText(int n, int bytes) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char date[64];
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  std::string text = "From: <" + std::string(kFrom) + ">\r\nTo: <" + kTo +
                     ">\r\nSubject: bench " + std::to_string(n) +
                     "\r\nDate: " + date + "\r\nMessage-ID: <bench-" +
                     std::to_string(n) +
                     "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: "
                     "text/plain; charset=us-ascii\r\n\r\n";
  const std::string body = Body(n, static_cast<size_t>(bytes));
  for (size_t at = 0; at < body.size(); at += 76) {
    text += body.substr(at, 76) + "\r\n";
  }
  return text + ".\r\n";
}

// Sends messages over sessions connections to port at once, each taking
// the next number; *sentNanos[n] is when MAIL FROM of n went. Whether all
// were taken.
inline bool SendMessages(int port, int messages, int sessions, int bytes,
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
inline Delivered ReadSink(const fs::path& folder) {
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
  long delivered = 0;  // distinct messages smtp-sink got
  long duplicates = 0;
  double perSecond = 0;
  double p50 = 0;  // seconds
  double p99 = 0;
  double longest = 0;
};

// Sends to port, waits until smtp-sink holds every message (while it gets
// more) and a moment more for any copy, and sums up rate and latencies. A
// message lost or delivered twice fails the measurement.
inline EndToEnd Measure(int port, const fs::path& sinkFolder, int messages,
                        int sessions, int bytes) {
  EndToEnd result;
  std::vector<int64_t> sent;
  if (!SendMessages(port, messages, sessions, bytes, &sent)) {
    std::fprintf(stderr, "sending failed\n");
    return result;
  }
  // Slow roads take long; a road that stopped delivering is given up on.
  long seen = 0;
  for (auto progress = SteadyClock::now(); Seconds(progress) < 120;) {
    const long now = CountFiles(sinkFolder);
    if (now >= messages) break;
    if (now > seen) progress = SteadyClock::now();
    seen = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const Delivered delivered = ReadSink(sinkFolder);
  std::vector<double> latencies;
  int64_t first = *std::min_element(sent.begin(), sent.end());
  int64_t last = first;
  for (const auto& [n, when] : delivered.nanos) {
    if (n < 0 || n >= messages) continue;
    latencies.push_back(static_cast<double>(when - sent[n]) / 1e9);
    last = std::max(last, when);
  }
  result.delivered = static_cast<long>(latencies.size());
  result.duplicates = delivered.duplicates;
  if (result.delivered != messages || result.duplicates > 0) {
    std::fprintf(
        stderr, "%ld of %d messages delivered, %ld twice (%ld files)\n",
        result.delivered, messages, result.duplicates, delivered.files);
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

// The road through VTRouter, but for the scanner the caller brings: a
// private Postfix hands mail to `vtserver smtp` as its content filter, the
// real vtrouter moves it to a scan box and, after the verdict, back to
// mail.box; delivery hands it to Postfix's reinjection port, and Postfix
// relays it to smtp-sink. Everything under folder; what runs ends with the
// road, the router first.
class RouterRoad {
 public:
  explicit RouterRoad(const fs::path& folder) : folder_(folder) {}

  // Starts all but the scanner; tag tells the router apart from others.
  bool Start(const std::string& tag) {
    const int sinkPort = StartSink(sink_, sinkFolder());
    const int port =
        sinkPort > 0 && InitDataDir(dataDir(), tag)
            ? StartListener(
                  listener_, dataDir(),
                  {"--relay",
                   "127.0.0.1:" + std::to_string(postfix_.reinjectionPort())})
            : 0;
    if (port == 0 || !postfix_.Start(port) ||
        !Reconfigure(postfix_, RelayToSink(sinkPort), kSmtpService)) {
      std::fprintf(stderr, "set-up failed: %s\n", postfix_.error().c_str());
      return false;
    }
    const fs::path out = folder_ / "router.out";
    if (!router_.Start(Program("apps/vtrouter/vtrouter"),
                       {"--data", dataDir().string()}, out.string()) ||
        !WaitUntil([&] { return RouterStarted(ReadText(ServerLog())); },
                   30000)) {
      std::fprintf(stderr, "the router did not start: %s\n",
                   ReadText(out).c_str());
      return false;
    }
    return true;
  }

  EndToEnd Measure(int messages, int sessions, int bytes) {
    const EndToEnd result = bench::Measure(postfix_.publicPort(), sinkFolder(),
                                           messages, sessions, bytes);
    if (!result.ok) {
      std::fprintf(stderr, "server log (tail):\n%s\nPostfix log (tail):\n%s\n",
                   Tail(ReadText(ServerLog())).c_str(),
                   Tail(postfix_.Log()).c_str());
    }
    return result;
  }

  fs::path dataDir() const { return folder_ / "data"; }
  fs::path sinkFolder() const { return folder_ / "sink"; }
  fs::path ServerLog() const { return dataDir() / ".vtserver" / "server.log"; }
  const PostfixInstance& postfix() const { return postfix_; }

 private:
  fs::path folder_;
  BackgroundProcess sink_;
  PostfixInstance postfix_;
  BackgroundProcess listener_;
  BackgroundProcess router_;
};

inline void PrintEndToEnd(const char* what, const EndToEnd& e) {
  std::printf(
      "  %s: %.1f msg/s, latency p50 %.2f s, p99 %.2f s, longest %.2f s\n",
      what, e.perSecond, e.p50, e.p99, e.longest);
}

}  // namespace vt::bench
