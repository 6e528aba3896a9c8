// The router killed with SIGKILL at random moments while mail flows through
// it, and started again, many times: afterwards every message sent must be
// in exactly one database, the one its verdict names. It runs with one mail
// box and with three, among which the router draws at random (a message
// whose move a kill interrupted must still end in one of them only).
// VT_KILL_ROUNDS sets the number of rounds (a long run), VT_KILL_SEED repeats
// a run.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "DataDirTest.h"
#include "datadir/Databases.h"
#include "datadir/MailItems.h"

namespace vt::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortRounds = 8;
constexpr int kDrainMillis = 120000;
constexpr int kExitMillis = 30000;
constexpr char kVerdicts[] = "MBCD";
constexpr char kSubjectPrefix[] = "Kill round ";

int RoundsWanted() {
  const char* rounds = std::getenv("VT_KILL_ROUNDS");
  if (rounds == nullptr || rounds[0] == '\0') return kShortRounds;
  const int n = std::atoi(rounds);
  return n > 0 ? n : kShortRounds;
}

uint32_t SeedWanted() {
  const char* seed = std::getenv("VT_KILL_SEED");
  if (seed != nullptr && seed[0] != '\0') {
    return static_cast<uint32_t>(std::strtoul(seed, nullptr, 10));
  }
  return std::random_device{}();
}

bool IsMailBox(const std::string& path) {
  return path == "mail.box" || path == "mail2.box" || path == "mail3.box";
}

// The database a verdict sends a message to; quarantines may have rolled
// over to a later number.
bool PlaceMatches(const std::string& path, const std::string& verdict) {
  if (verdict == "M") return IsMailBox(path);
  if (verdict.size() != 1) return false;
  const std::string quarantine = "Veltrane/Quarantine" + verdict + "_";
  return path.rfind(quarantine, 0) == 0;
}

bool IsScanBox(const std::string& path) {
  return path.rfind("Veltrane/Scan/", 0) == 0;
}

void Sleep(int millis) {
  std::this_thread::sleep_for(std::chrono::milliseconds(millis));
}

// The parameter is the number of mail boxes.
class RouterKill : public DataDirTest,
                   public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Kill" + std::to_string(::getpid()) + "-" +
             std::to_string(GetParam()) + "/O=Example",
         GetParam());
  }

  // Where each message is now, read in-process from the store.
  tool::Sightings Locate() const {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    if (!server.Start().ok()) return {};
    return tool::LocateMessages(server);
  }

  // Deposits count messages for this round; they are counted as sent only
  // when vtserver says so.
  void Send(int round, int count, int bodyBytes = 0) {
    const RunResult r =
        Vt({"send", dir(), "--count", std::to_string(count), "--subject",
            Subject(round), "--body-bytes", std::to_string(bodyBytes)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    sent_[Subject(round)] += count;
    total_ += count;
  }

  void Scan(char verdict) {
    const RunResult r =
        Vt({"scan", dir(), "--verdict", std::string(1, verdict)});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  static std::string Subject(int round) {
    return kSubjectPrefix + std::to_string(round);
  }

  // True once no message waits for the router or the scanner.
  bool Drained() const {
    for (const auto& [id, seen] : Locate()) {
      for (const tool::Sighting& s : seen) {
        if (IsScanBox(s.path)) return false;
        if (IsMailBox(s.path) &&
            tool::ItemValue(s.document, vt::kItemVeltraneVerified) != "1") {
          return false;
        }
      }
    }
    return true;
  }

  // What the checks at the end found.
  struct Outcome {
    int lost = 0, duplicated = 0, misplaced = 0;
    std::map<std::string, int> perPlace;  // by database
    bool clean = false;
  };

  // Every message sent is in exactly one database, the one its verdict (or
  // a release) names; a failure for each that is not.
  Outcome CheckEveryMessageOnce() {
    Outcome outcome;
    std::map<std::string, int> found;  // by subject
    for (const auto& [id, places] : Locate()) {
      const std::string subject =
          tool::ItemValue(places.front().document, tool::kItemSubject);
      if (subject.rfind(kSubjectPrefix, 0) != 0) continue;
      ++found[subject];
      for (const tool::Sighting& s : places) ++outcome.perPlace[s.path];
      if (places.size() > 1) {
        ++outcome.duplicated;
        std::string where;
        for (const tool::Sighting& s : places) where += " " + s.path;
        ADD_FAILURE() << "message " << id << " (" << subject << ") is in "
                      << places.size() << " databases:" << where;
      }
      for (const tool::Sighting& s : places) {
        const std::string v = tool::ItemValue(s.document, vt::kItemKestoRouter);
        const std::string verified =
            tool::ItemValue(s.document, vt::kItemVeltraneVerified);
        if (verified != "1" || !PlaceMatches(s.path, v)) {
          ++outcome.misplaced;
          ADD_FAILURE() << "message " << id << " (" << subject << ") is in "
                        << s.path << " with verdict '" << v << "', verified '"
                        << verified << "'";
        }
      }
    }
    for (const auto& [subject, count] : sent_) {
      const int here = found.count(subject) ? found.at(subject) : 0;
      if (here < count) {
        outcome.lost += count - here;
        ADD_FAILURE() << subject << ": " << count << " sent, " << here
                      << " found";
      }
      EXPECT_LE(here, count) << subject << ": more messages than were sent";
    }
    // Every database must be readable now that no router runs.
    {
      LocalNotesServicesOptions options;
      options.dataDirectory = dir();
      options.echoToStdout = false;
      LocalNotesServices server(options);
      EXPECT_TRUE(server.Start().ok());
      for (const tool::DatabaseSummary& db : tool::SummarizeDatabases(server)) {
        EXPECT_TRUE(db.problem.empty()) << db.path << ": " << db.problem;
      }
    }
    outcome.clean =
        outcome.lost == 0 && outcome.duplicated == 0 && outcome.misplaced == 0;
    return outcome;
  }

  // The fixture removes its folder; a failure's data directory and log are
  // worth keeping.
  void KeepOnFailure(uint32_t seed) {
    if (!HasFailure()) return;
    const std::filesystem::path kept = std::filesystem::temp_directory_path() /
                                       ("vtkill-" + std::to_string(seed));
    std::error_code ec;
    std::filesystem::remove_all(kept, ec);
    std::filesystem::copy(folder(), kept,
                          std::filesystem::copy_options::recursive, ec);
    std::printf("[ KILL     ] data directory kept in %s\n", kept.c_str());
  }

  std::map<std::string, int> sent_;  // by subject (one per round)
  int total_ = 0;
};

TEST_P(RouterKill, EveryMessageEndsInExactlyOnePlace) {
  const int rounds = RoundsWanted();
  const uint32_t seed = SeedWanted();
  std::printf(
      "[ KILL     ] %d mail boxes, seed %u, %d rounds (VT_KILL_SEED=%u "
      "repeats)\n",
      GetParam(), seed, rounds, seed);
  std::fflush(stdout);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };

  int kills = 0;
  for (int round = 0; round < rounds; ++round) {
    const char verdict = kVerdicts[round % 4];
    // Work waiting for the router's first pass: new mail to intercept and
    // the previous round's intercepted mail, now verified, to deliver.
    Send(round, between(3, 7));
    if (HasFatalFailure()) return;
    Scan(verdict);
    if (HasFatalFailure()) return;

    BackgroundProcess router;
    StartRouter(router);
    if (HasFatalFailure()) return;
    // Mostly around the first pass (two seconds after the start), sometimes
    // while it starts or waits.
    const int delay =
        between(0, 3) == 0 ? between(0, 1800) : between(1800, 2300);
    const Clock::time_point killAt =
        Clock::now() + std::chrono::milliseconds(delay);
    Send(round, between(2, 5));
    if (HasFatalFailure()) return;
    if (killAt - Clock::now() > std::chrono::milliseconds(400)) {
      Scan(verdict);
      if (HasFatalFailure()) return;
    }
    std::this_thread::sleep_until(killAt);
    router.Signal(SIGKILL);
    ASSERT_TRUE(router.WaitForExit(kExitMillis));
    ASSERT_EQ(router.termSignal(), SIGKILL)
        << "round " << round << " ended by itself; its output:\n"
        << RouterOutput();
    ++kills;
  }

  // The last router runs until the flow has drained.
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  int scans = 0;
  const bool drained = WaitUntil(
      [&] {
        Scan(kVerdicts[scans++ % 4]);
        Sleep(400);
        return Drained();
      },
      kDrainMillis);
  const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
  EXPECT_EQ(quit.exitCode, 0) << quit.err;
  ASSERT_TRUE(router.WaitForExit(kExitMillis)) << RouterOutput();
  EXPECT_EQ(router.exitCode(), 0);
  ASSERT_TRUE(drained) << "the flow did not drain; the log:\n" << ServerLog();

  const Outcome outcome = CheckEveryMessageOnce();
  std::printf(
      "[ KILL     ] sent %d, kills %d, lost %d, duplicated %d, "
      "misplaced %d\n",
      total_, kills, outcome.lost, outcome.duplicated, outcome.misplaced);
  for (const auto& [path, count] : outcome.perPlace) {
    std::printf("[ KILL     ]   %-32s %d\n", path.c_str(), count);
  }
  std::fflush(stdout);
  EXPECT_TRUE(outcome.clean);
  KeepOnFailure(seed);
}

// Three mail boxes and quarantines small enough to roll over every hundred
// messages or so, with an administrator releasing quarantined messages at
// random; both the router and the releasing vtserver are killed at random.
// Afterwards every message is in exactly one place: a released one in a
// mail box, the others where their verdict sends them.
class RouterAndReleaseKill : public RouterKill {
 protected:
  // The quarantined messages as `quarantine list --json` names them.
  nlohmann::json Quarantined() const {
    const RunResult r = Vt({"quarantine", dir(), "list", "--json"});
    if (r.exitCode != 0) return nlohmann::json::array();
    return nlohmann::json::parse(r.out, nullptr, false);
  }
};

TEST_P(RouterAndReleaseKill, EveryMessageEndsInExactlyOnePlace) {
  const int rounds = RoundsWanted();
  const uint32_t seed = SeedWanted();
  std::printf("[ KILL     ] releases and roll-overs, seed %u, %d rounds\n",
              seed, rounds);
  std::fflush(stdout);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  const RunResult config = Vt({"config", dir(), "MaxQuarantineSize=10"});
  ASSERT_EQ(config.exitCode, 0) << config.err;

  int routerKills = 0, releaseKills = 0, releases = 0;
  for (int round = 0; round < rounds; ++round) {
    // Mostly spam, so that the quarantines fill; 64 KiB a message.
    const char verdict = "CCCBDM"[between(0, 5)];
    Send(round, between(10, 20), 65536);
    if (HasFatalFailure()) return;
    Scan(verdict);
    if (HasFatalFailure()) return;

    BackgroundProcess router;
    StartRouter(router);
    if (HasFatalFailure()) return;
    // Roll-overs on request as well, so that a short run has some.
    if (round % 3 == 1) {
      const char* command = between(0, 1) == 0 ? "newqc" : "newbq";
      Vt({"tell", dir(), "vtrouter", command});
    }
    // A release of a few quarantined messages, started and perhaps killed
    // at a random moment of the router's pass.
    std::vector<std::string> ids;
    const nlohmann::json listed = Quarantined();
    for (const nlohmann::json& m : listed) {
      if (ids.size() < 3 && between(0, 3) == 0) ids.push_back(m["unid"]);
    }
    BackgroundProcess release;
    const int releaseAt = between(0, 2500);
    const int killAt = between(1500, 2600);
    Sleep(std::min(releaseAt, killAt));
    if (!ids.empty()) {
      std::vector<std::string> arguments = {"quarantine", dir(), "release"};
      arguments.insert(arguments.end(), ids.begin(), ids.end());
      ASSERT_TRUE(release.Start(VtServerPath(), arguments,
                                (folder() / "release.out").string()));
      releases += static_cast<int>(ids.size());
      if (between(0, 1) == 0) {
        Sleep(between(0, 60));
        release.Signal(SIGKILL);
        ++releaseKills;
      }
    }
    if (killAt > releaseAt) Sleep(killAt - releaseAt);
    router.Signal(SIGKILL);
    ASSERT_TRUE(router.WaitForExit(kExitMillis));
    ASSERT_EQ(router.termSignal(), SIGKILL) << RouterOutput();
    ++routerKills;
    ASSERT_TRUE(release.WaitForExit(kExitMillis));
  }

  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  int scans = 0;
  const bool drained = WaitUntil(
      [&] {
        Scan(kVerdicts[scans++ % 4]);
        Sleep(400);
        return Drained();
      },
      kDrainMillis);
  // A release cut short is finished by running it again, as the README
  // tells the administrator: the messages marked released but still in a
  // quarantine.
  std::vector<std::string> unfinished;
  const tool::Sightings marked = Locate();
  for (const nlohmann::json& m : Quarantined()) {
    for (const auto& [id, places] : marked) {
      for (const tool::Sighting& s : places) {
        if (s.path == m["database"] && s.document.noteId == m["noteId"] &&
            tool::ItemValue(s.document, tool::kItemAdminReleased) == "1") {
          unfinished.push_back(m["unid"]);
        }
      }
    }
  }
  if (!unfinished.empty()) {
    std::vector<std::string> arguments = {"quarantine", dir(), "release"};
    arguments.insert(arguments.end(), unfinished.begin(), unfinished.end());
    const RunResult again = Vt(arguments);
    EXPECT_EQ(again.exitCode, 0) << again.err;
  }
  const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
  EXPECT_EQ(quit.exitCode, 0) << quit.err;
  ASSERT_TRUE(router.WaitForExit(kExitMillis)) << RouterOutput();
  ASSERT_TRUE(drained) << "the flow did not drain; the log:\n" << ServerLog();

  int rollOvers = 0;
  {
    std::istringstream log(ServerLog());
    for (std::string line; std::getline(log, line);) {
      if (line.find("VTRouter: Created new database ") != std::string::npos) {
        ++rollOvers;
      }
    }
  }
  const Outcome outcome = CheckEveryMessageOnce();
  std::printf(
      "[ KILL     ] sent %d, router kills %d, release kills %d, releases "
      "asked %d, finished again %zu, roll-overs %d; lost %d, twice %d, "
      "misplaced %d\n",
      total_, routerKills, releaseKills, releases, unfinished.size(), rollOvers,
      outcome.lost, outcome.duplicated, outcome.misplaced);
  std::fflush(stdout);
  EXPECT_TRUE(outcome.clean);
  KeepOnFailure(seed);
}

INSTANTIATE_TEST_SUITE_P(MailBoxes, RouterAndReleaseKill, ::testing::Values(3),
                         [](const ::testing::TestParamInfo<int>&) {
                           return std::string("Three");
                         });

INSTANTIATE_TEST_SUITE_P(MailBoxes, RouterKill, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? std::string("One")
                                                  : std::string("Three");
                         });

}  // namespace
}  // namespace vt::e2e
