// `vtserver stats`: what a monitoring system sees of a live router whose
// scanner has stopped, and the three outputs over boxes of every kind.
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "DataDirTest.h"
#include "StoreAccess.h"
#include "server/LocalNotesServices.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kRouterMillis = 30000;  // the router works every 2 s
constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";

class StatsCommand : public DataDirTest {
 protected:
  json Stats() const {
    const RunResult r = Vt({"stats", dir(), "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    json parsed = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << r.out;
    return parsed;
  }

  // Polls stats until done holds; the last figures. done gets a copy, whose
  // operator[] is defined for keys that are missing.
  json WaitForStats(const std::function<bool(json)>& done) const {
    json last;
    WaitUntil(
        [&] {
          last = Stats();
          return !last.is_discarded() && done(last);
        },
        kRouterMillis);
    return last;
  }

  static std::string ReadFile(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static void ExpectPromtoolPasses(const fs::path& file) {
    if (RunProgram("/bin/sh", {"-c", "command -v promtool"}).exitCode != 0) {
      return;  // scripts/setup installs it; without it the format is unchecked
    }
    const RunResult check = RunProgram(
        "/bin/sh",
        {"-c", "promtool check metrics < \"$0\" 2>&1", file.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_EQ(check.out, "");
  }

  // The entry of path in stats' list of databases; empty when none.
  static json Database(const json& stats, const std::string& path) {
    for (const json& d : stats.value("databases", json::array())) {
      if (d.value("path", "") == path) return d;
    }
    return json::object();
  }
};

TEST_F(StatsCommand, AStoppedScannersBacklogGrowsUntilItScans) {
  Init(UniqueServerName());
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;

  // Written ten minutes ago, intercepted now: they have waited for the
  // scanner only since they entered the scan box (a copy keeps the creation
  // time, which would raise a false alarm).
  ASSERT_EQ(Vt({"send", dir(), "--count", "3", "--age", "10"}).exitCode, 0);
  json stats = WaitForStats([](json s) {
    return s["waiting"]["scanner"] == 3 && !s["router"]["today"].is_null();
  });
  ASSERT_EQ(stats["waiting"]["scanner"], 3) << stats.dump(2);
  EXPECT_EQ(stats["router"]["state"], "running");
  EXPECT_EQ(stats["router"]["today"],
            json({{"mail", 0}, {"spamB", 0}, {"spamC", 0}, {"spamD", 0}}));
  EXPECT_EQ(stats["waiting"]["interception"], 0);
  EXPECT_EQ(Database(stats, "mail.box")["documents"], 0);
  EXPECT_EQ(Database(stats, kScanBox)["documents"], 3);
  const int64_t age = stats["waiting"]["scannerOldestAgeSeconds"];
  EXPECT_LT(age, 120);
  // The oldest one's time, from which an alert computes the age.
  const std::string metrics = Vt({"stats", dir(), "--prometheus"}).out;
  const std::string stamp =
      "\nvtrouter_waiting_scanner_oldest_timestamp_seconds ";
  const size_t at = metrics.find(stamp);
  ASSERT_NE(at, std::string::npos) << metrics;
  const double written = std::stod(metrics.substr(at + stamp.size()));
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_LT(now - written, 120);

  ASSERT_EQ(Vt({"send", dir(), "--count", "2"}).exitCode, 0);
  stats = WaitForStats([](json s) { return s["waiting"]["scanner"] == 5; });
  ASSERT_EQ(stats["waiting"]["scanner"], 5) << stats.dump(2);
  EXPECT_GE(stats["waiting"]["scannerOldestAgeSeconds"], age);

  // The scanner comes back: the backlog drains into quarantine C.
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  stats = WaitForStats([](json s) {
    return s["waiting"]["scanner"] == 0 && s["router"]["today"].is_object() &&
           s["router"]["today"]["spamC"] == 5;
  });
  ASSERT_EQ(stats["router"]["today"]["spamC"], 5) << stats.dump(2);
  EXPECT_TRUE(stats["waiting"]["scannerOldest"].is_null());
  const json& c = stats["quarantines"][1];
  EXPECT_EQ(c["perimeter"], "C");
  EXPECT_EQ(c["exists"], true);
  EXPECT_EQ(c["messages"], 5);
  EXPECT_GT(c["usedBytes"], 0);
  EXPECT_DOUBLE_EQ(
      c["fillRatio"].get<double>(),
      c["usedBytes"].get<double>() / c["limitBytes"].get<double>());

  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "pause"}).exitCode, 0);
  stats = WaitForStats([](json s) { return s["router"]["state"] == "paused"; });
  EXPECT_EQ(stats["router"]["state"], "paused");
  EXPECT_TRUE(stats["router"]["today"].is_null());
  // The counters stay while the day's totals are hidden.
  EXPECT_EQ(stats["router"]["movedSinceStart"],
            json({{"mail", 0}, {"spamB", 0}, {"spamC", 5}, {"spamD", 0}}));
  const std::string paused = Vt({"stats", dir(), "--prometheus"}).out;
  for (const char* line : {
           "# TYPE vtrouter_messages_moved_total counter\n",
           "vtrouter_messages_moved_total{route=\"C\"} 5\n",
           "vtrouter_messages_moved_total{route=\"mail\"} 0\n",
       }) {
    EXPECT_NE(paused.find(line), std::string::npos) << line << paused;
  }
  EXPECT_EQ(paused.find("vtrouter_messages_today"), std::string::npos);
  std::ofstream(folder() / "paused.prom") << paused;
  ExpectPromtoolPasses(folder() / "paused.prom");
  const std::string plain = Vt({"stats", dir()}).out;
  EXPECT_NE(plain.find("paused"), std::string::npos) << plain;
  EXPECT_NE(plain.find("unknown: the router's status line shows no totals"),
            std::string::npos)
      << plain;

  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "quit"}).exitCode, 0);
  ASSERT_TRUE(router.WaitForExit(kRouterMillis));
  EXPECT_EQ(Stats()["router"]["state"], "stopped");
}

TEST_F(StatsCommand, BoxesOfEveryKindInPlainJsonAndPrometheus) {
  Init("CN=Mail1/O=Example");
  ASSERT_EQ(MakeDatabase(dir(), kScanBox), Status());
  ASSERT_EQ(MakeDatabase(dir(), "say \"hi\".nsf"), Status());
  ASSERT_EQ(MakeDatabase(dir(), "copy.nsf"), Status());
  // Odd names still make valid labels; a file that is no database is
  // reported, not fatal.
  fs::copy_file(fs::path(dir()) / "say \"hi\".nsf",
                fs::path(dir()) / "two\nlines.nsf");
  std::ofstream(fs::path(dir()) / "back\\slash.nsf") << "not a database";

  // Interception takes processed mail without a verdict, held and dead
  // mail included; unprocessed mail stays.
  ASSERT_EQ(Vt({"send", dir(), "--count", "3"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--count", "2", "--hold"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--dead"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--no-process"}).exitCode, 0);
  // Two scanned messages waiting for delivery, one waiting for the scanner.
  ASSERT_EQ(Vt({"send", dir(), "--db", kScanBox, "--count", "2"}).exitCode, 0);
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "M"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--db", kScanBox, "--age", "5"}).exitCode, 0);
  // It has waited there for five minutes.
  ASSERT_EQ(BackdateEntries(dir(), kScanBox, 5), Status());
  // A message left in a second database, as a move cut short leaves it.
  ASSERT_EQ(Vt({"send", dir(), "--no-process", "--subject", "Twice"}).exitCode,
            0);
  ASSERT_EQ(CopyMessage(dir(), "mail.box", "Twice", "copy.nsf"), Status());

  json stats = Stats();
  EXPECT_EQ(stats["router"]["state"], "stopped");
  EXPECT_TRUE(stats["router"]["today"].is_null());
  EXPECT_EQ(stats["waiting"]["interception"], 6) << stats.dump(2);
  EXPECT_EQ(stats["waiting"]["held"], 2);
  EXPECT_EQ(stats["waiting"]["scanner"], 1);
  EXPECT_GE(stats["waiting"]["scannerOldestAgeSeconds"], 300);
  EXPECT_EQ(Database(stats, "mail.box")["documents"], 8);
  EXPECT_EQ(stats["messagesInTwoPlaces"], 1);
  EXPECT_EQ(Database(stats, kScanBox)["documents"], 3);
  json odd = Database(stats, "back\\slash.nsf");
  EXPECT_TRUE(odd["documents"].is_null()) << stats.dump(2);
  EXPECT_TRUE(odd.contains("error"));

  const RunResult plain = Vt({"stats", dir()});
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  for (const char* line : {
           "Router                    stopped\n",
           "Today                     unknown: the router is not running\n",
           "Waiting for interception  6 in the mail boxes\n",
           "Held                      2 in the mail boxes\n",
           "Waiting for the scanner   1 in the scan boxes, the longest "
           "waiting 5m",
           "In two places             1 message held by more than one "
           "database (vtserver check names them)\n",
       }) {
    EXPECT_NE(plain.out.find(line), std::string::npos)
        << "missing: " << line << "\n"
        << plain.out;
  }

  const RunResult metrics = Vt({"stats", dir(), "--prometheus"});
  ASSERT_EQ(metrics.exitCode, 0) << metrics.err;
  for (const char* sample : {
           "vtrouter_router_state{state=\"stopped\"} 1\n",
           "vtrouter_waiting_interception_messages 6\n",
           "vtrouter_held_messages 2\n",
           "vtrouter_waiting_scanner_messages 1\n",
           "vtrouter_database_documents{database=\"mail.box\"} 8\n",
           "vtrouter_messages_in_two_places 1\n",
           "vtrouter_database_documents{database=\"say \\\"hi\\\".nsf\"} 0\n",
           "vtrouter_database_documents{database=\"two\\nlines.nsf\"} 0\n",
           "vtrouter_database_readable{database=\"back\\\\slash.nsf\"} 0\n",
           "vtrouter_quarantine_limit_bytes{perimeter=\"C\"} 2147483648\n",
       }) {
    EXPECT_NE(metrics.out.find(sample), std::string::npos)
        << "missing: " << sample << "\n"
        << metrics.out;
  }
  // The day's totals are unknown while the router is stopped: no samples
  // rather than zeros.
  EXPECT_EQ(metrics.out.find("vtrouter_messages_today"), std::string::npos);

  if (RunProgram("/bin/sh", {"-c", "command -v promtool"}).exitCode != 0) {
    GTEST_SKIP() << "promtool is not installed";
  }
  const fs::path file = folder() / "metrics.prom";
  std::ofstream(file) << metrics.out;
  ExpectPromtoolPasses(file);
}

// The textfile of node_exporter's collector: replaced whole, and when the
// figures cannot be had it says the state is unknown rather than keep
// saying "running".
// Boxes and quarantines configured on this server's own name, in either
// spelling, are this server's: counted and listed as its files.
TEST_F(StatsCommand, BoxesNamedOnThisServersOwnNameAreThisServers) {
  Init("CN=Mail1/O=Example");
  const RunResult config =
      Vt({"config", dir(), "MailboxServer=CN=Mail1/O=Example",
          "ScanningServer=Mail1/Example", "CatCQServer=CN=Mail1/O=Example"});
  ASSERT_EQ(config.exitCode, 0) << config.err;
  ASSERT_EQ(MakeDatabase(dir(), kScanBox), Status());
  ASSERT_EQ(Vt({"send", dir(), "--count", "3"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--db", kScanBox}).exitCode, 0);

  const json stats = Stats();
  EXPECT_EQ(stats["waiting"]["interception"], 3) << stats.dump(2);
  EXPECT_EQ(stats["waiting"]["scanner"], 1) << stats.dump(2);
  EXPECT_EQ(Database(stats, "mail.box")["documents"], 3) << stats.dump(2);
  for (const json& q : stats["quarantines"]) {
    if (q["perimeter"] == "C") {
      EXPECT_EQ(q["path"], "Veltrane/QuarantineC_1.nsf") << stats.dump(2);
    }
  }
}

TEST_F(StatsCommand, TheTextfileIsReplacedWholeOrSaysTheStateIsUnknown) {
  Init("CN=Mail1/O=Example");
  const fs::path file = folder() / "vtrouter.prom";
  const fs::path temp = folder() / "vtrouter.prom.tmp";
  std::ofstream(file) << "vtrouter_router_state{state=\"running\"} 1\n";

  const RunResult written =
      Vt({"stats", dir(), "--prometheus", "--output", file.string()});
  ASSERT_EQ(written.exitCode, 0) << written.err;
  EXPECT_EQ(written.out, "");
  EXPECT_NE(ReadFile(file).find("vtrouter_router_state{state=\"stopped\"} 1\n"),
            std::string::npos)
      << ReadFile(file);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_NE(fs::status(file).permissions() & fs::perms::others_read,
            fs::perms::none);

  // The data directory is gone (a mount lost): stats fails, and the file
  // says so.
  std::ofstream(file) << "vtrouter_router_state{state=\"running\"} 1\n";
  const RunResult lost = Vt({"stats", (folder() / "gone").string(),
                             "--prometheus", "--output", file.string()});
  EXPECT_TRUE(IsOneLineError(lost));
  const std::string unknown = ReadFile(file);
  EXPECT_NE(unknown.find("vtrouter_router_state{state=\"unknown\"} 1\n"),
            std::string::npos)
      << unknown;
  EXPECT_NE(unknown.find("vtrouter_router_state{state=\"running\"} 0\n"),
            std::string::npos)
      << unknown;
  EXPECT_FALSE(fs::exists(temp));
  ExpectPromtoolPasses(file);

  // The rename cannot be made (a folder in the file's place): the command
  // fails with nothing half written left beside it.
  fs::remove(file);
  fs::create_directories(file / "in the way");
  const RunResult blocked =
      Vt({"stats", dir(), "--prometheus", "--output", file.string()});
  EXPECT_TRUE(IsOneLineError(blocked));
  EXPECT_NE(blocked.err.find("cannot write the metrics"), std::string::npos)
      << blocked.err;
  EXPECT_FALSE(fs::exists(temp));
}

}  // namespace
}  // namespace vt::e2e
