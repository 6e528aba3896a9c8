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
#include <random>
#include <set>
#include <string>
#include <thread>

#include "DataDirTest.h"
#include "Databases.h"
#include "MailItems.h"

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
  void Send(int round, int count) {
    const RunResult r = Vt({"send", dir(), "--count", std::to_string(count),
                            "--subject", Subject(round)});
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
            tool::ItemValue(s.document, tool::kItemVeltraneVerified) != "1") {
          return false;
        }
      }
    }
    return true;
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

  // Every database must be readable now that no router runs.
  {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    ASSERT_TRUE(server.Start().ok());
    for (const tool::DatabaseSummary& db : tool::SummarizeDatabases(server)) {
      EXPECT_TRUE(db.problem.empty()) << db.path << ": " << db.problem;
    }
  }

  const tool::Sightings seen = Locate();
  std::map<std::string, int> found;     // by subject
  std::map<std::string, int> perPlace;  // by database
  int duplicated = 0;
  int misplaced = 0;
  for (const auto& [id, places] : seen) {
    const std::string subject =
        tool::ItemValue(places.front().document, tool::kItemSubject);
    if (subject.rfind(kSubjectPrefix, 0) != 0) continue;
    ++found[subject];
    for (const tool::Sighting& s : places) ++perPlace[s.path];
    if (places.size() > 1) {
      ++duplicated;
      std::string where;
      for (const tool::Sighting& s : places) where += " " + s.path;
      ADD_FAILURE() << "message " << id << " (" << subject << ") is in "
                    << places.size() << " databases:" << where;
    }
    for (const tool::Sighting& s : places) {
      const std::string v = tool::ItemValue(s.document, tool::kItemKestoRouter);
      const std::string verified =
          tool::ItemValue(s.document, tool::kItemVeltraneVerified);
      if (verified != "1" || !PlaceMatches(s.path, v)) {
        ++misplaced;
        ADD_FAILURE() << "message " << id << " (" << subject << ") is in "
                      << s.path << " with verdict '" << v << "', verified '"
                      << verified << "'";
      }
    }
  }
  int lost = 0;
  for (const auto& [subject, count] : sent_) {
    const int here = found.count(subject) ? found.at(subject) : 0;
    if (here < count) {
      lost += count - here;
      ADD_FAILURE() << subject << ": " << count << " sent, " << here
                    << " found";
    }
    EXPECT_LE(here, count) << subject << ": more messages than were sent";
  }

  std::printf(
      "[ KILL     ] sent %d, kills %d, lost %d, duplicated %d, "
      "misplaced %d\n",
      total_, kills, lost, duplicated, misplaced);
  for (const auto& [path, count] : perPlace) {
    std::printf("[ KILL     ]   %-32s %d\n", path.c_str(), count);
  }
  std::fflush(stdout);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(duplicated, 0);
  EXPECT_EQ(misplaced, 0);
  if (HasFailure()) {
    // The fixture removes its folder; a failure's data directory and log
    // are worth keeping.
    const std::filesystem::path kept = std::filesystem::temp_directory_path() /
                                       ("vtkill-" + std::to_string(seed));
    std::error_code ec;
    std::filesystem::remove_all(kept, ec);
    std::filesystem::copy(folder(), kept,
                          std::filesystem::copy_options::recursive, ec);
    std::printf("[ KILL     ] data directory kept in %s\n", kept.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(MailBoxes, RouterKill, ::testing::Values(1, 3),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? std::string("One")
                                                  : std::string("Three");
                         });

}  // namespace
}  // namespace vt::e2e
