// The power-loss sweep: the router starts on the sweep's world (messages in
// every state over three mail boxes, two scan boxes and three quarantines,
// one of them missing with its folders, so that the router creates them,
// the database from its template, and one full, so that the first pass
// rolls it over and writes the new name back into the configuration),
// passes run, the scanner gives its verdicts, an administrator releases a
// quarantined message, and the power is cut at I/O operation 1, then 2,
// 3 ... of that scenario (the store's own links, removals, new folders and
// folder syncs included). The disk then keeps only what was synced (and, by
// a seeded draw, some of what was not, whole or torn).
// After the "reboot" a new server and router start on what is left and run
// until nothing changes, and the administrator repeats a release the cut
// interrupted. Then every message must be in exactly one database, the one
// its verdict (or the release) names; no database may be damaged; and the
// configuration document must be as it was, but for the rolled-over name.
//
// scripts/test runs a short sweep (about 40 cut points spread evenly, and
// at and after every change of a name); VT_POWER_SWEEP=full
// cuts at every point with four seeds, in both interception modes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/RouterEngine.h"
#include "server/store/FileNames.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"
#include "support/PowerLossVfs.h"
#include "support/SweepWorld.h"
#include "support/TempDir.h"

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::PowerLossVfs;
using testing::SweepMessage;

constexpr int64_t kMinute = 60 * 100;  // in centiseconds
constexpr int kMaxSettlingPasses = 8;
constexpr int kShortSweepCuts = 40;
// The least MaxQuarantineSize (MiB), and the size quarantine C reports: full.
constexpr int kQuarantineLimitMb = 10;
constexpr uint32_t kQuarantineLimit = kQuarantineLimitMb << 20;
constexpr char kFullQuarantine[] = "QuarantineC_1.nsf";
constexpr char kReleased[] = "rel";

// The numbered quarantines C a run may make: the roll-over's, and one more
// when a cut lost the write-back of the first.
std::vector<std::string> LaterQuarantinesC() {
  return {"Veltrane\\QuarantineC_2.nsf", "Veltrane\\QuarantineC_3.nsf",
          "Veltrane\\QuarantineC_4.nsf"};
}

// Quarantine D lives two folders down, which the scenario's router makes
// with it: the inner folder's name is durable only through the sync of the
// outer one, which no database's own syncs make.
constexpr char kQuarantineD[] = "Quarantines\\D\\QuarantineD_1.nsf";
constexpr char kQuarantineDFolder[] = "Quarantines";

std::vector<std::string> Databases() {
  std::vector<std::string> all = testing::SweepDatabases();
  std::replace(all.begin(), all.end(), std::string(testing::kQuarantineD),
               std::string(kQuarantineD));
  for (const std::string& db : LaterQuarantinesC()) {
    if (std::find(all.begin(), all.end(), db) == all.end()) all.push_back(db);
  }
  return all;
}

// One boot of the machine: a server over the data directory and a router
// engine on it, torn down in reverse so that every connection is closed.
struct Boot {
  // names: the store's name changes (null: the POSIX calls).
  Boot(const fs::path& dir, int64_t now, store::FileNames* names) : clock(now) {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir;
    options.clock = &clock;
    options.echoToStdout = false;
    options.fileNames = names;
    server = std::make_unique<LocalNotesServices>(options);
    started = server->Start().ok();
    notes = std::make_unique<testing::EngineNotes>(*server);
    notes->reportedSizes[kFullQuarantine] = kQuarantineLimit;
    engine = std::make_unique<RouterEngine>(*notes, system);
  }
  ~Boot() {
    engine.reset();
    notes.reset();
    server.reset();
  }
  void Pass() { RunProcessingPass(*engine, &totals); }

  FakeClock clock;
  std::unique_ptr<LocalNotesServices> server;
  bool started = false;
  testing::FakeMachine machine;
  testing::CountingSystem system{machine};
  std::unique_ptr<testing::EngineNotes> notes;
  std::unique_ptr<RouterEngine> engine;
  MessageCounts totals;
};

// "ok", or what SQLite's full check of the file says.
std::string IntegrityOf(const fs::path& file) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, "unix") ==
      SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return result;
}

fs::path FileOf(const fs::path& dir, std::string path) {
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return dir / path;
}

class PowerLossSweep : public ::testing::TestWithParam<bool> {
 protected:
  // The world as a clean shutdown leaves it: every database made (the scan
  // boxes and quarantines by the router from their templates), every
  // message deposited. Each run starts from a copy of it.
  void SetUp() override {
    alternate_ = GetParam();
    world_ = testing::MakeSweepWorld(alternate_);
    for (SweepMessage& m : world_) {
      if (m.end == testing::kQuarantineD) m.end = kQuarantineD;
    }
    // Quarantined by mistake; released during the scenario.
    world_.push_back({kReleased,
                      testing::kQuarantineB,
                      {{"VeltraneVerified", "1"}, {"Kesto_Router", "B"}},
                      0,
                      "",
                      testing::kMailBox,
                      "M",
                      ""});
    testing::Items config = testing::SweepConfig(alternate_);
    config.insert_or_assign("MaxQuarantineSize", kQuarantineLimitMb);
    // Named, so that the roll-over's write-back of all three changes only C.
    config.insert_or_assign("CatBQNsfD", testing::kQuarantineB);
    config.insert_or_assign("CatCQNsfD", testing::kQuarantineC);
    config.insert_or_assign("CatDQNsfD", kQuarantineD);
    testing::EngineRig rig(config, testing::kSweepIni);
    testing::CreateDatabaseAt(rig.server(), testing::kMailBox2);
    testing::CreateDatabaseAt(rig.server(), testing::kMailBox3);
    ASSERT_EQ(rig.Start(), 0);
    now_ = rig.world.clock().NowUnixCentis();
    for (const SweepMessage& m : world_) {
      testing::DepositMessage(
          rig.server(), m.start, m.id, m.extra,
          m.ageMinutes == 0 ? 0 : now_ - m.ageMinutes * kMinute);
    }
    for (const char* item : {"MailboxNsf", "CatBQNsfD", "CatDQNsfD"}) {
      config_[item] =
          testing::ItemValues(rig.server(), testing::kAdminPath, item);
    }
    ShutdownEngine(rig.engine);
    // SQLite's shared memory is rebuilt by the first opener; the rest,
    // write-ahead logs included, is the data directory.
    fs::copy(rig.world.dir().path(), original_.path() / "data",
             fs::copy_options::recursive);
    for (const auto& entry :
         fs::recursive_directory_iterator(original_.path() / "data")) {
      if (entry.path().string().ends_with("-shm")) fs::remove(entry.path());
    }
    // Quarantine D is gone with its folder: the router makes both again,
    // the database from its template.
    ASSERT_TRUE(fs::exists(FileOf(original_.path() / "data", kQuarantineD)));
    ASSERT_GT(fs::remove_all(original_.path() / "data" / kQuarantineDFolder),
              0u);
  }

  fs::path FreshCopy(const std::string& name) {
    const fs::path dir = scratch_.path() / name;
    fs::copy(original_.path() / "data", dir, fs::copy_options::recursive);
    return dir;
  }

  // The scenario, on the machine as it is: the router starts, passes run,
  // the scanner gives every verdict due, more passes run. After a cut every
  // I/O fails, so each step fails quietly from there on.
  void RunScenario(const fs::path& dir, PowerLossVfs& vfs) {
    Boot boot(dir, now_, &vfs.fileNames());
    if (!boot.started || StartEngine(*boot.engine) != 0) return;
    boot.engine->releaseEnabled = 1;
    boot.Pass();
    // The scanner stands still once the power is gone (the test's own
    // readers would only report that they cannot read).
    const std::vector<testing::MessageCopy> survey =
        vfs.PowerIsCut()
            ? std::vector<testing::MessageCopy>()
            : testing::Survey(*boot.server, Databases(), testing::SweepItems());
    for (const testing::MessageCopy& copy : survey) {
      if (copy.db != testing::kScanBox1 && copy.db != testing::kScanBox2) {
        continue;
      }
      for (const SweepMessage& m : world_) {
        if (m.id == copy.id && !m.verdict.empty() &&
            copy.items.at("VeltraneVerified") != "1" && !vfs.PowerIsCut()) {
          // Fails when the power goes; the next boot's scanner retries.
          static_cast<void>(
              testing::GiveVerdict(*boot.server, copy.db, copy.id, m.verdict));
        }
      }
    }
    const std::string released =
        vfs.PowerIsCut() ? ""
                         : testing::ReleaseFromQuarantine(
                               *boot.server, *boot.server, 'B', kReleased);
    // Only the cut may stop it; the administrator then runs it again.
    EXPECT_TRUE(released.empty() || vfs.PowerIsCut()) << released;
    boot.Pass();
    boot.Pass();
    ShutdownEngine(*boot.engine);
  }

  // After the reboot: the router runs until nothing changes, then every
  // promise is checked.
  void CheckAfterReboot(const fs::path& dir, const std::string& context) {
    // Those the cut left unmade are made (or found missing) below.
    for (const std::string& db : Databases()) {
      if (!fs::exists(FileOf(dir, db))) continue;
      EXPECT_EQ(IntegrityOf(FileOf(dir, db)), "ok") << context << ": " << db;
    }
    EXPECT_EQ(IntegrityOf(FileOf(dir, testing::kAdminPath)), "ok") << context;
    Boot boot(dir, now_, nullptr);
    ASSERT_TRUE(boot.started) << context;
    ASSERT_EQ(StartEngine(*boot.engine), 0) << context << ": no restart";
    boot.engine->releaseEnabled = 1;
    std::vector<testing::MessageCopy> survey =
        testing::Survey(*boot.server, Databases(), testing::SweepItems());
    for (const testing::MessageCopy& copy : survey) {
      if (copy.id == kReleased && copy.db == testing::kQuarantineB) {
        EXPECT_EQ(testing::ReleaseFromQuarantine(*boot.server, *boot.server,
                                                 'B', kReleased),
                  "")
            << context << ": released again";
        survey =
            testing::Survey(*boot.server, Databases(), testing::SweepItems());
        break;
      }
    }
    for (int passes = 0;; ++passes) {
      ASSERT_LT(passes, kMaxSettlingPasses) << context << ": no rest";
      const int verdicts = testing::ScanWhatWaits(*boot.server, world_, survey);
      if (verdicts > 0) {
        survey =
            testing::Survey(*boot.server, Databases(), testing::SweepItems());
      }
      const std::string before = testing::Fingerprint(survey);
      boot.Pass();
      survey =
          testing::Survey(*boot.server, Databases(), testing::SweepItems());
      // A copy made durable whose deletion was lost is in two places until
      // the first pass after the reboot finishes its move.
      const std::string misplaced = testing::Misplaced(
          world_, testing::CensusOf(survey), /*deletionMayLag=*/false);
      EXPECT_EQ(misplaced, "")
          << context << ", pass " << passes + 1 << " after the reboot:\n"
          << misplaced;
      if (verdicts == 0 && testing::Fingerprint(survey) == before) break;
    }
    // Quarantine C rolled over once (twice when a cut lost the first
    // write-back), and its messages went to the one the configuration names.
    const std::vector<std::string> quarantineC =
        testing::ItemValues(*boot.server, testing::kAdminPath, "CatCQNsfD");
    ASSERT_EQ(quarantineC.size(), 1u) << context;
    const std::vector<std::string> later = LaterQuarantinesC();
    EXPECT_NE(std::find(later.begin(), later.end(), quarantineC[0]),
              later.end())
        << context << ": quarantine C is " << quarantineC[0];
    std::vector<SweepMessage> expected = world_;
    for (SweepMessage& m : expected) {
      if (m.end == testing::kQuarantineC) m.end = quarantineC[0];
    }
    testing::ExpectEveryMessageWhereItsVerdictSendsIt(expected, survey,
                                                      context);
    for (const auto& [item, values] : config_) {
      EXPECT_EQ(
          testing::ItemValues(*boot.server, testing::kAdminPath, item.c_str()),
          values)
          << context << ": the configuration's " << item << " changed";
    }
    ShutdownEngine(*boot.engine);
  }

  bool alternate_ = false;
  std::vector<SweepMessage> world_;
  int64_t now_ = 0;
  std::map<std::string, std::vector<std::string>> config_;
  testing::TempDir original_;
  testing::TempDir scratch_;
};

TEST_P(PowerLossSweep, EveryMessageSurvivesInExactlyOnePlace) {
  const bool full = std::getenv("VT_POWER_SWEEP") != nullptr &&
                    std::string(std::getenv("VT_POWER_SWEEP")) == "full";
  if (alternate_ && !full) GTEST_SKIP() << "VT_POWER_SWEEP=full runs it";
  const auto started = std::chrono::steady_clock::now();

  // A run without a cut counts the scenario's I/O points.
  uint64_t points = 0;
  std::set<uint64_t> cutPoints;
  {
    const fs::path dir = FreshCopy("count");
    {
      testing::PowerLossOptions options;
      options.makeDefault = true;
      PowerLossVfs vfs(options);
      RunScenario(dir, vfs);
      points = vfs.Operations();
      // The short sweep also cuts at every change of a name and right
      // after it, before a folder sync can make it durable: rare points
      // that an even spread would mostly miss.
      for (const uint64_t n : vfs.NameOperations()) {
        cutPoints.insert(n);
        if (n < points) cutPoints.insert(n + 1);
      }
    }
    // The scenario itself made quarantine D and the roll-over's quarantine
    // (released the message too: checked in RunScenario).
    EXPECT_TRUE(fs::exists(FileOf(dir, kQuarantineD)));
    EXPECT_TRUE(fs::exists(FileOf(dir, LaterQuarantinesC()[0])));
    CheckAfterReboot(dir, "without a power cut");
  }
  ASSERT_GT(points, 50u) << "the scenario hardly writes: not a sweep";

  const uint64_t stride =
      full ? 1 : std::max<uint64_t>(1, points / kShortSweepCuts);
  for (uint64_t cut = 1; cut <= points; cut += stride) cutPoints.insert(cut);
  const int seeds = full ? 4 : 1;
  int reboots = 0;
  uint64_t cuts = 0;
  testing::PowerLossReport total;
  for (const uint64_t cut : cutPoints) {
    ++cuts;
    for (int s = 0; s < seeds; ++s) {
      // The short sweep varies the seed with the cut point.
      const uint64_t seed = full ? static_cast<uint64_t>(s) : cut % 4;
      const std::string context = "power cut at I/O " + std::to_string(cut) +
                                  " of " + std::to_string(points) + ", seed " +
                                  std::to_string(seed);
      const fs::path dir =
          FreshCopy("cut" + std::to_string(cut) + "-" + std::to_string(seed));
      testing::PowerLossOptions options;
      options.makeDefault = true;
      PowerLossVfs vfs(options);
      vfs.CutPowerAt(cut);
      RunScenario(dir, vfs);
      const testing::PowerLossReport report = vfs.ApplyPowerLoss(seed);
      ASSERT_EQ(report.error, "") << context;
      total.changesUndone += report.changesUndone;
      total.writesKept += report.writesKept;
      total.writesTorn += report.writesTorn;
      total.filesVanished += report.filesVanished;
      total.filesRestored += report.filesRestored;
      total.foldersVanished += report.foldersVanished;
      CheckAfterReboot(dir, context);
      ++reboots;
      fs::remove_all(dir);
      if (HasFailure()) return;
    }
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
  std::printf(
      "%s: %llu I/O points, %llu cut, %d reboots; unsynced changes lost "
      "%d, kept %d, torn %d; names vanished %d, back %d; folders "
      "vanished %d; %lld ms\n",
      alternate_ ? "held mail intercepted" : "flagged mail intercepted",
      static_cast<unsigned long long>(points),
      static_cast<unsigned long long>(cuts), reboots, total.changesUndone,
      total.writesKept, total.writesTorn, total.filesVanished,
      total.filesRestored, total.foldersVanished, static_cast<long long>(ms));
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerLossSweep, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "HeldMail" : "FlaggedMail";
                         });

}  // namespace
}  // namespace vt
