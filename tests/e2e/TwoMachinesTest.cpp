// Three machines, as network namespaces joined by veth pairs: the router
// runs on mail server A (this namespace, its mail box a local file); its
// scan boxes and quarantines are on the server Scan/Example, kept in
// PostgreSQL on machine D; the scanner stand-in runs on machine S and
// reaches the scan boxes over the network too. While mail flows, the router
// is killed, PostgreSQL is stopped as by a crash (pg_ctl stop -m immediate)
// and started again, and A's link to D goes down and comes up again.
// Afterwards every message is in exactly one place, the one its verdict
// names, and the day's totals count each once. Network namespaces need
// root; elsewhere the test is skipped.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "DataDirTest.h"
#include "datadir/Databases.h"
#include "datadir/MailItems.h"
#include "support/PrivatePostgres.h"

namespace vt::e2e {
namespace {

constexpr char kScanServer[] = "CN=Scan/O=Example";
constexpr char kScanEntry[] = "Scan/Example";
constexpr char kVerdicts[] = "MCBMD";

void Sleep(int millis) {
  std::this_thread::sleep_for(std::chrono::milliseconds(millis));
}

// The namespaces and links, removed again at the end.
class Network {
 public:
  Network() : id_(std::to_string(::getpid() % 100000)) {
    octet_ = std::to_string(::getpid() % 200 + 20);
  }
  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;
  ~Network() {
    for (const std::string& ns : {db(), scan()}) Ip({"netns", "del", ns});
    Ip({"link", "del", "vtA" + id_});
  }

  std::string db() const { return "vtdb" + id_; }
  std::string scan() const { return "vtscan" + id_; }
  // D's addresses as A and S see them.
  std::string dbFromA() const { return "10.99." + octet_ + ".2"; }
  std::string dbFromS() const { return "10.98." + octet_ + ".2"; }

  bool Make() {
    const std::string a = "vtA" + id_, d = "vtD" + id_;
    const std::string s = "vtS" + id_, e = "vtE" + id_;
    return Ip({"netns", "add", db()}) && Ip({"netns", "add", scan()}) &&
           Ip({"link", "add", a, "type", "veth", "peer", "name", d}) &&
           Ip({"link", "set", d, "netns", db()}) &&
           Ip({"addr", "add", "10.99." + octet_ + ".1/24", "dev", a}) &&
           Ip({"link", "set", a, "up"}) &&
           In(db(), {"addr", "add", dbFromA() + "/24", "dev", d}) &&
           In(db(), {"link", "set", d, "up"}) &&
           In(db(), {"link", "set", "lo", "up"}) &&
           Ip({"link", "add", s, "type", "veth", "peer", "name", e}) &&
           Ip({"link", "set", s, "netns", scan()}) &&
           Ip({"link", "set", e, "netns", db()}) &&
           In(scan(), {"addr", "add", "10.98." + octet_ + ".1/24", "dev", s}) &&
           In(scan(), {"link", "set", s, "up"}) &&
           In(scan(), {"link", "set", "lo", "up"}) &&
           In(db(), {"addr", "add", dbFromS() + "/24", "dev", e}) &&
           In(db(), {"link", "set", e, "up"});
  }

  // A's end of its link to D.
  bool SetLink(bool up) {
    return Ip({"link", "set", "vtA" + id_, up ? "up" : "down"});
  }

 private:
  static bool Ip(const std::vector<std::string>& arguments) {
    return RunProgram("/usr/sbin/ip", arguments, 30000).exitCode == 0;
  }
  static bool In(const std::string& ns, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"netns", "exec", ns, "ip"});
    return Ip(arguments);
  }

  std::string id_;
  std::string octet_;
};

class TwoMachines : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    if (::geteuid() != 0) {
      GTEST_SKIP() << "network namespaces need root";
    }
    ASSERT_TRUE(network_.Make()) << "cannot make the namespaces";
    postgres_.ListenIn(network_.db(),
                       network_.dbFromA() + "," + network_.dbFromS());
    std::string problem;
    ASSERT_TRUE(postgres_.Start(&problem)) << problem;
    ASSERT_TRUE(postgres_.CreateDatabase("vtscan"));

    // Mail server A.
    Init(UniqueServerName());
    AddServerEntry(dir(), network_.dbFromA());
    const RunResult config =
        Vt({"config", dir(), std::string("ScanningServer=") + kScanServer,
            std::string("CatBQServer=") + kScanServer,
            std::string("CatCQServer=") + kScanServer,
            std::string("CatDQServer=") + kScanServer});
    ASSERT_EQ(config.exitCode, 0) << config.err;
    // Machine S: a data directory of its own, for the scanner stand-in.
    scannerDir_ = (folder() / "scanner").string();
    const RunResult init =
        Vt({"init", scannerDir_, "--server", UniqueServerName()});
    ASSERT_EQ(init.exitCode, 0) << init.err;
    AddServerEntry(scannerDir_, network_.dbFromS());
  }

  void AddServerEntry(const std::string& dataDir, const std::string& host) {
    std::FILE* ini = std::fopen(
        (std::filesystem::path(dataDir) / "server.ini").c_str(), "a");
    ASSERT_NE(ini, nullptr);
    const std::string entry = std::string("\n[Servers]\n") + kScanEntry +
                              "=postgresql://vtrouter@" + host + "/vtscan\n";
    std::fputs(entry.c_str(), ini);
    std::fclose(ini);
  }

  void Send(int count) {
    const RunResult r = Vt({"send", dir(), "--count", std::to_string(count),
                            "--subject", "Across machines"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    sent_ += count;
  }

  // The scanner stand-in on S gives what waits in both scan boxes a
  // verdict; it may fail while D is out of reach.
  void Scan(char verdict) {
    for (const char* box : {"Scan_1.box", "Scan_2.box"}) {
      RunProgram("/usr/sbin/ip",
                 {"netns", "exec", network_.scan(), VtServerPath(), "scan",
                  scannerDir_, "--db",
                  std::string(kScanEntry) + "!!Veltrane\\Scan\\" + box,
                  "--verdict", std::string(1, verdict)},
                 60000);
    }
  }

  tool::Sightings Locate() const {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    if (!server.Start().ok()) return {};
    return tool::LocateMessages(server);
  }

  // No message waits for the router or the scanner any more.
  bool Drained() const {
    int placed = 0;
    for (const auto& [id, seen] : Locate()) {
      for (const tool::Sighting& s : seen) {
        if (s.path.find("Veltrane/Scan/") != std::string::npos) return false;
        if (tool::ItemValue(s.document, kItemVeltraneVerified) != "1") {
          return false;
        }
      }
      ++placed;
    }
    return placed >= sent_;
  }

  // Mail flows for a while: a few messages, a verdict, a pause.
  void Flow(int rounds) {
    for (int i = 0; i < rounds; ++i) {
      Send(3);
      if (HasFatalFailure()) return;
      Scan(kVerdicts[verdicts_++ % 5]);
      Sleep(700);
    }
  }

  Network network_;
  testing::PrivatePostgres postgres_;
  std::string scannerDir_;
  int sent_ = 0;
  int verdicts_ = 0;
};

TEST_F(TwoMachines, EveryMessageEndsInExactlyOnePlaceWhateverFails) {
  auto router = std::make_unique<BackgroundProcess>();
  StartRouter(*router);
  if (HasFatalFailure()) return;
  Flow(4);

  // The router killed in the middle of the flow, and started again.
  router->Signal(SIGKILL);
  ASSERT_TRUE(router->WaitForExit(30000));
  // The day's totals start at zero with each router: what the killed one
  // delivered is counted by nobody from now on.
  std::map<std::string, int> deliveredBefore;
  for (const auto& [id, places] : Locate()) {
    // A move cut short (the message in two places) is finished, and
    // counted, by the next router.
    if (places.size() != 1) continue;
    for (const tool::Sighting& s : places) {
      const size_t at = s.path.find("Quarantine");
      if (at != std::string::npos) ++deliveredBefore[s.path.substr(at + 10, 1)];
      if (s.path == "mail.box" &&
          tool::ItemValue(s.document, kItemVeltraneVerified) == "1") {
        ++deliveredBefore["M"];
      }
    }
  }
  Send(3);
  router = std::make_unique<BackgroundProcess>();
  StartRouter(*router);
  if (HasFatalFailure()) return;
  Flow(3);

  // PostgreSQL stops as by a crash, and is started again.
  ASSERT_TRUE(postgres_.Stop("immediate"));
  Flow(3);
  ASSERT_TRUE(postgres_.Restart());
  Flow(3);

  // A's link to D goes down, and comes up again. Meanwhile the
  // administrator sees the databases on D unreadable, in stats (which the
  // web console shows) and in /metrics' exposition.
  ASSERT_TRUE(network_.SetLink(false));
  Flow(3);
  const RunResult cut = Vt({"stats", dir(), "--json"});
  const nlohmann::json cutStats =
      nlohmann::json::parse(cut.out, nullptr, false);
  int unreadable = 0;
  for (const nlohmann::json& d : cutStats["databases"]) {
    const std::string path = d["path"];
    if (path.rfind(kScanServer, 0) != 0) continue;
    EXPECT_NE(d.value("error", "").find("Server not responding"),
              std::string::npos)
        << d.dump();
    ++unreadable;
  }
  EXPECT_EQ(unreadable, 5) << cut.out;  // two scan boxes, three quarantines
  const RunResult metrics = Vt({"stats", dir(), "--prometheus"});
  EXPECT_NE(
      metrics.out.find(std::string("vtrouter_database_readable{database=\"") +
                       kScanServer + "!!Veltrane/Scan/Scan_1.box\"} 0"),
      std::string::npos)
      << metrics.out;
  // Longer than the connection's own limits (10 s for a peer gone silent),
  // so that the router's operations fail rather than wait.
  Flow(10);
  ASSERT_TRUE(network_.SetLink(true));
  Flow(3);

  int scans = 0;
  const bool drained = WaitUntil(
      [&] {
        Scan(kVerdicts[scans++ % 5]);
        Sleep(500);
        return Drained();
      },
      120000);
  ASSERT_TRUE(drained) << "the flow did not drain; the log:\n" << ServerLog();
  const RunResult stats = Vt({"stats", dir(), "--json"});
  ASSERT_EQ(stats.exitCode, 0) << stats.err;
  const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
  EXPECT_EQ(quit.exitCode, 0) << quit.err;
  ASSERT_TRUE(router->WaitForExit(30000)) << RouterOutput();

  // Each message once, where its verdict sends it.
  std::map<std::string, int> perPlace;
  int found = 0;
  for (const auto& [id, places] : Locate()) {
    ++found;
    for (const tool::Sighting& s : places) ++perPlace[s.path];
    EXPECT_EQ(places.size(), 1u)
        << id << " is in " << places.size() << " databases";
    const tool::Sighting& s = places.front();
    const std::string verdict = tool::ItemValue(s.document, kItemKestoRouter);
    const bool right =
        verdict == "M" ? s.path == "mail.box"
                       : s.path.find("!!Veltrane/Quarantine" + verdict + "_") !=
                             std::string::npos;
    EXPECT_TRUE(right) << id << " with verdict " << verdict << " is in "
                       << s.path;
  }
  EXPECT_EQ(found, sent_);

  // The day's totals count each delivered message once.
  const nlohmann::json today =
      nlohmann::json::parse(stats.out, nullptr, false)["router"]["today"];
  ASSERT_TRUE(today.is_object()) << stats.out;
  std::map<std::string, int> byVerdict;
  for (const auto& [path, count] : perPlace) {
    const size_t at = path.find("Quarantine");
    byVerdict[at == std::string::npos ? "M" : path.substr(at + 10, 1)] += count;
  }
  EXPECT_EQ(today["mail"], byVerdict["M"] - deliveredBefore["M"])
      << today.dump();
  EXPECT_EQ(today["spamB"], byVerdict["B"] - deliveredBefore["B"])
      << today.dump();
  EXPECT_EQ(today["spamC"], byVerdict["C"] - deliveredBefore["C"])
      << today.dump();
  EXPECT_EQ(today["spamD"], byVerdict["D"] - deliveredBefore["D"])
      << today.dump();

  // The quarantines on D, as stats lists them from A.
  const nlohmann::json all = nlohmann::json::parse(stats.out, nullptr, false);
  for (const nlohmann::json& q : all["quarantines"]) {
    if (!q["path"].is_string()) continue;
    // Named by the configuration's server name, found under the entry's.
    const std::string path = q["path"];
    const std::string prefix = std::string(kScanServer) + "!!";
    ASSERT_EQ(path.rfind(prefix, 0), 0u) << path;
    const std::string found =
        std::string(kScanEntry) + "!!" + path.substr(prefix.size());
    EXPECT_EQ(q["messages"], perPlace.count(found) ? perPlace.at(found) : 0)
        << path;
  }

  std::printf("[ MACHINES ] sent %d, found %d\n", sent_, found);
  for (const auto& [path, count] : perPlace) {
    std::printf("[ MACHINES ]   %-48s %d\n", path.c_str(), count);
  }
  std::printf(
      "[ MACHINES ] today %s; delivered before the kill: M %d, B %d, "
      "C %d, D %d\n",
      today.dump().c_str(), deliveredBefore["M"], deliveredBefore["B"],
      deliveredBefore["C"], deliveredBefore["D"]);
  // The faults as the log told them: once per outage.
  std::istringstream log(ServerLog());
  int notResponding = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find("Server not responding") == std::string::npos &&
        line.find("further messages") == std::string::npos) {
      continue;
    }
    notResponding += line.find("Server not responding") != std::string::npos;
    std::printf("[ MACHINES ] %s\n", line.c_str());
  }
  EXPECT_GE(notResponding, 2) << "a fault did not reach the router";
}

}  // namespace
}  // namespace vt::e2e
