// The whole road with real spam engines, against the two ways Postfix sites
// usually run the same engines, in one run and with the same letters:
//
// 1. amavisd-new with SpamAssassin in-process, as Postfix's after-queue
//    content filter: Postfix -> amavisd -> Postfix's reinjection smtpd ->
//    smtp-sink.
// 2. VTRouter with spamd (the same SpamAssassin rules): Postfix ->
//    `vtserver smtp` -> vtrouter -> scan box -> `vtserver scanner --spamd`
//    -> vtrouter -> mail.box -> delivery -> Postfix -> smtp-sink.
// 3. rspamd's proxy worker as Postfix's milter, relaying to smtp-sink.
// 4. VTRouter with rspamd: as 2, with `vtserver scanner --rspamd`.
//
// Each engine is a private instance in a temporary folder, offline (local
// tests only, no Bayes data to speak of; rspamd's DNS goes to a loopback
// port where nothing answers), on loopback ports of its own. SpamAssassin
// gets the same two processes on both roads (amavisd's children, spamd's);
// rspamd one scanning worker on both. Rates, latencies from MAIL FROM to
// smtp-sink (see SmtpRoad.h) and each road's count of delivered messages
// are printed; a road that loses or doubles a message fails the run.
//
//   bench_scan_road [MESSAGES] [SESSIONS] [BYTES]   (defaults 500, 10, 2000)
//
// Needs root (Postfix's master) and Debian's postfix, amavisd-new, spamd and
// rspamd packages.
#include <cstdio>

#include "bench/SmtpRoad.h"
#include "tests/scanner/PrivateEngines.h"

namespace {

using namespace vt::bench;
using vt::scanner::testing::PrivateEngine;
using vt::scanner::testing::PrivateRspamd;
using vt::scanner::testing::PrivateSpamd;

// SpamAssassin processes on either road.
constexpr int kSpamAssassinProcesses = 2;

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// Whether an SMTP server greets with 220 on port.
bool Greets(int port) {
  vt::UniqueFd fd = Connect(port);
  std::string pending;
  const bool greets = fd && ReadReply(fd.get(), &pending) == 220;
  if (greets && SendAll(fd.get(), "QUIT\r\n")) ReadReply(fd.get(), &pending);
  return greets;
}

std::string Started(PrivateEngine& engine) {
  const std::string error = engine.Launch();
  return error.empty() ? engine.WaitUntilAnswering() : error;
}

// amavisd-new in the foreground with a configuration of its own: SpamAssassin
// with local tests only and no Bayes, no virus scanning, no notifications, no
// database; it hands what it passes to 127.0.0.1:forwardPort. As root it runs
// as the package's user amavis.
class PrivateAmavisd : public PrivateEngine {
 public:
  explicit PrivateAmavisd(int forwardPort)
      : PrivateEngine("amavisd"), port_(FreePort()), forward_(forwardPort) {}
  int port() const { return port_; }

 protected:
  std::vector<std::string> Prepare() override {
    const char* program = "/usr/sbin/amavisd";
    if (::access(program, X_OK) != 0) return {};
    const fs::path home = folder() / "home";
    const fs::path site = folder() / "site";
    for (const char* dir : {"home/tmp", "home/db", "home/var", "site"}) {
      fs::create_directories(folder() / dir);
    }
    // The packages' SpamAssassin plugin list, with a local.cf of our own.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/etc/spamassassin", ec)) {
      if (entry.path().extension() == ".pre") {
        fs::create_symlink(entry.path(), site / entry.path().filename(), ec);
      }
    }
    WriteFile(site / "local.cf", "use_bayes 0\nbayes_auto_learn 0\n");
    const std::string forward = "smtp:[127.0.0.1]:" + std::to_string(forward_);
    WriteFile(folder() / "amavisd.conf", R"(use strict;
$MYHOME = ')" + home.string() + R"(';
$TEMPBASE = "$MYHOME/tmp";
$ENV{TMPDIR} = $TEMPBASE;
$db_home = "$MYHOME/db";
$helpers_home = "$MYHOME/var";
$pid_file = "$MYHOME/amavisd.pid";
$lock_file = "$MYHOME/amavisd.lock";
$daemon_user = 'amavis';
$daemon_group = 'amavis';
$myhostname = 'mx.example.org';
$mydomain = 'example.org';
@local_domains_maps = (['.example.com']);
@mynetworks = qw(127.0.0.0/8);
$DO_SYSLOG = 0;
$LOGFILE = "$MYHOME/amavisd.log";
$log_level = 0;
$enable_db = 0;
$enable_global_cache = 0;
$enable_dkim_verification = 0;
$enable_dkim_signing = 0;
$unix_socketname = undef;
$inet_socket_bind = '127.0.0.1';
$inet_socket_port = )" + std::to_string(port_) +
                                             R"(;
@inet_acl = qw(127.0.0.1);
$max_servers = )" + std::to_string(kSpamAssassinProcesses) +
                                             R"(;
$forward_method = ')" + forward + R"(';
$notify_method = $forward_method;
@bypass_virus_checks_maps = (1);
@av_scanners = ();
@av_scanners_backup = ();
@bypass_spam_checks_maps = (0);
$sa_local_tests_only = 1;
$sa_siteconfigpath = ')" + site.string() + R"(';
$sa_tag_level_deflt = -999;
$virus_admin = undef;
$spam_admin = undef;
$warnbadhsender = 0;
$warnbannedsender = 0;
$warnvirussender = 0;
$warnspamsender = 0;
1;
)");
    // Its home is the user's it becomes.
    if (const struct passwd* amavis = ::getpwnam("amavis")) {
      for (const char* dir : {"home", "home/tmp", "home/db", "home/var"}) {
        if (::chown((folder() / dir).c_str(), amavis->pw_uid, amavis->pw_gid) !=
            0) {
          return {};
        }
      }
    }
    return {program, "-c", (folder() / "amavisd.conf").string(), "foreground"};
  }
  bool Answers() override { return Greets(port_); }
  fs::path LogFile() const override {
    return folder() / "home" / "amavisd.log";
  }

 private:
  int port_;
  int forward_;
};

// rspamd with its proxy worker in milter mode besides: it scans by itself,
// as one process, as the normal worker does for `vtserver scanner`.
class MilterRspamd : public PrivateRspamd {
 public:
  int milterPort() const { return milterPort_; }

 protected:
  std::vector<std::string> Prepare() override {
    std::vector<std::string> command = PrivateRspamd::Prepare();
    std::ofstream(folder() / "conf" / "rspamd.conf", std::ios::app)
        << "worker \"rspamd_proxy\" {\n  bind_socket = \"127.0.0.1:"
        << milterPort_
        << "\";\n  count = 1;\n  milter = yes;\n  timeout = 120s;\n"
           "  upstream \"local\" { default = yes; self_scan = yes; }\n}\n";
    return command;
  }
  bool Answers() override {
    return PrivateRspamd::Answers() && Connectable(milterPort_);
  }

 private:
  int milterPort_ = FreePort();
};

// Postfix with amavisd as its content filter, at as many processes as
// amavisd has children.
EndToEnd AmavisdRoad(const fs::path& folder, int messages, int sessions,
                     int bytes) {
  BackgroundProcess sink;
  const int sinkPort = StartSink(sink, folder / "sink");
  PostfixInstance postfix;
  PrivateAmavisd amavisd(postfix.reinjectionPort());
  vt::e2e::PostfixSettings settings;
  settings.filterProcesses = kSpamAssassinProcesses;
  const std::string error = Started(amavisd);
  if (sinkPort == 0 || !error.empty() ||
      !postfix.Start(amavisd.port(), settings) ||
      !Reconfigure(postfix, RelayToSink(sinkPort), kSmtpService)) {
    std::fprintf(stderr, "amavisd set-up failed: %s %s\n", error.c_str(),
                 postfix.error().c_str());
    return {};
  }
  const EndToEnd result =
      Measure(postfix.publicPort(), folder / "sink", messages, sessions, bytes);
  if (!result.ok) {
    std::fprintf(stderr, "amavisd log (tail):\n%s\nPostfix log (tail):\n%s\n",
                 Tail(ReadText(amavisd.folder() / "home/amavisd.log")).c_str(),
                 Tail(postfix.Log()).c_str());
  }
  return result;
}

// Postfix with rspamd as the milter of its public smtpd.
EndToEnd MilterRoad(const MilterRspamd& rspamd, const fs::path& folder,
                    int messages, int sessions, int bytes) {
  BackgroundProcess sink;
  const int sinkPort = StartSink(sink, folder / "sink");
  PostfixInstance postfix;
  std::vector<std::string> settings = RelayToSink(sinkPort);
  settings.insert(settings.end(), {"content_filter =",
                                   "smtpd_milters = inet:127.0.0.1:" +
                                       std::to_string(rspamd.milterPort()),
                                   "milter_default_action = accept"});
  if (sinkPort == 0 || !postfix.Start(FreePort()) ||
      !Reconfigure(postfix, settings, kSmtpService)) {
    std::fprintf(stderr, "milter set-up failed: %s\n", postfix.error().c_str());
    return {};
  }
  const EndToEnd result =
      Measure(postfix.publicPort(), folder / "sink", messages, sessions, bytes);
  if (!result.ok) {
    std::fprintf(stderr, "Postfix log (tail):\n%s\n",
                 Tail(postfix.Log()).c_str());
  }
  return result;
}

// VTRouter's road with `vtserver scanner DIR --ENGINE ADDRESS` as its
// scanner, as many requests at once as there are sessions. Every message
// must have had its verdict M from the engine's answer, none for want of one.
EndToEnd VtRouterRoad(const fs::path& folder, const std::string& engine,
                      const std::string& address, int messages, int sessions,
                      int bytes) {
  RouterRoad road(folder);
  if (!road.Start(engine)) return {};
  const std::vector<std::string> arguments = {
      "scanner", road.dataDir().string(), "--" + engine,
      address,   "--concurrency",         std::to_string(sessions)};
  BackgroundProcess scanner;
  const fs::path out = folder / "scanner.out";
  if (!scanner.Start(Program("apps/vtserver/vtserver"), arguments,
                     out.string()) ||
      !WaitUntil(
          [&] {
            return ReadText(road.ServerLog()).find("Scanner: Scanning with") !=
                       std::string::npos ||
                   !scanner.Running();
          },
          20000) ||
      !scanner.Running()) {
    std::fprintf(stderr, "vtserver scanner did not start: %s\n",
                 ReadText(out).c_str());
    return {};
  }
  EndToEnd result = road.Measure(messages, sessions, bytes);
  const std::string log = ReadText(road.ServerLog());
  const int answered = Occurrences(log, ": M, " + engine + ": ");
  if (answered != messages || log.find("without a verdict") != log.npos) {
    std::fprintf(stderr, "%d of %d verdicts from %s; server log (tail):\n%s\n",
                 answered, messages, engine.c_str(), Tail(log).c_str());
    result.ok = false;
  }
  if (!result.ok) {
    std::fprintf(stderr, "vtserver scanner's output (tail):\n%s\n",
                 Tail(ReadText(out)).c_str());
  }
  return result;
}

void PrintRow(const char* road, const EndToEnd& e, int messages) {
  std::printf("  %-44s %7.1f %7.2f %7.2f %5ld/%d%s\n", road, e.perSecond, e.p50,
              e.p99, e.delivered, messages,
              e.duplicates > 0 ? " (doubled)" : (e.ok ? "" : " FAILED"));
}

void PrintRatio(const char* what, const EndToEnd& ours,
                const EndToEnd& theirs) {
  if (!ours.ok || !theirs.ok) return;
  std::printf("  ratio %s: %.2f msg/s; latency p50 %.1fx, p99 %.1fx\n", what,
              ours.perSecond / theirs.perSecond, ours.p50 / theirs.p50,
              ours.p99 / theirs.p99);
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const int sessions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  const int bytes = argc > 3 ? std::max(1, std::atoi(argv[3])) : 2000;
  const std::string unavailable = PostfixInstance::Unavailable();
  if (!unavailable.empty() || ::access(kSmtpSink, X_OK) != 0) {
    std::fprintf(
        stderr, "cannot run: %s\n",
        unavailable.empty() ? "smtp-sink missing" : unavailable.c_str());
    return 1;
  }
  // rspamd keeps its compiled patterns in the build tree between runs.
  ::setenv("VT_BUILD_DIR", Program(".").c_str(), 0);
  ScratchDir scratch;
  // Everything below is read by nobody too (smtp-sink's dump folders).
  fs::permissions(scratch.path(), fs::perms::owner_all |
                                      fs::perms::others_exec |
                                      fs::perms::group_exec);
  std::printf(
      "%d plain letters of %d bytes over %d sessions, delivered to "
      "smtp-sink\n",
      messages, bytes, sessions);
  std::fflush(stdout);

  const EndToEnd amavisd =
      AmavisdRoad(scratch.path() / "amavisd", messages, sessions, bytes);
  EndToEnd withSpamd;
  {
    PrivateSpamd spamd;
    if (const std::string error = Started(spamd); !error.empty()) {
      std::fprintf(stderr, "%s\n", error.c_str());
    } else {
      withSpamd = VtRouterRoad(scratch.path() / "spamd", "spamd",
                               spamd.tcp().Text(), messages, sessions, bytes);
    }
  }
  EndToEnd milter;
  EndToEnd withRspamd;
  {
    MilterRspamd rspamd;
    if (const std::string error = Started(rspamd); !error.empty()) {
      std::fprintf(stderr, "%s\n", error.c_str());
    } else {
      milter = MilterRoad(rspamd, scratch.path() / "milter", messages, sessions,
                          bytes);
      withRspamd = VtRouterRoad(scratch.path() / "rspamd", "rspamd",
                                rspamd.url(), messages, sessions, bytes);
    }
  }

  std::printf("  %-44s %7s %7s %7s %9s\n", "road", "msg/s", "p50 s", "p99 s",
              "delivered");
  PrintRow("Postfix + amavisd-new (SpamAssassin)", amavisd, messages);
  PrintRow("Postfix + VTRouter + spamd", withSpamd, messages);
  PrintRow("Postfix + rspamd milter", milter, messages);
  PrintRow("Postfix + VTRouter + rspamd", withRspamd, messages);
  PrintRatio("VTRouter+spamd/amavisd", withSpamd, amavisd);
  PrintRatio("VTRouter+rspamd/rspamd milter", withRspamd, milter);
  return amavisd.ok && withSpamd.ok && milter.ok && withRspamd.ok ? 0 : 1;
}
