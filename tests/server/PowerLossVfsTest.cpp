// SQLite as the store runs it (WAL, synchronous=FULL) must keep every commit
// it acknowledged through a power cut at any moment, and never leave a
// transaction half there. A crash of the process cannot show that (the page
// cache outlives it); PowerLossVfs can: these tests cut the power at every
// I/O operation of a small scenario, let the disk lose what an unsynced disk
// may lose, reboot and check the file. The last test shows the simulation is
// not blind: with synchronous=OFF it must find acknowledged commits lost.
// First, small tests of the simulated disk itself, so that a pass above
// means something.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "server/store/FileNames.h"
#include "support/PowerLossVfs.h"
#include "support/TempDir.h"

namespace vt::testing {
namespace {

namespace fs = std::filesystem;

// ---- The simulated disk, through the VFS interface ----

std::string Contents(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file opened through a VFS directly, as SQLite's pager would.
class VfsFile {
 public:
  VfsFile(sqlite3_vfs* vfs, const std::string& path, int flags)
      : memory_((vfs->szOsFile + sizeof(std::max_align_t) - 1) /
                sizeof(std::max_align_t)),
        file_(reinterpret_cast<sqlite3_file*>(memory_.data())) {
    int out = 0;
    rc_ = vfs->xOpen(vfs, path.c_str(), file_, flags | SQLITE_OPEN_READWRITE,
                     &out);
  }
  VfsFile(const VfsFile&) = delete;
  VfsFile& operator=(const VfsFile&) = delete;
  ~VfsFile() { Close(); }

  int rc() const { return rc_; }
  int Write(std::string_view bytes, sqlite3_int64 at) {
    return file_->pMethods->xWrite(file_, bytes.data(),
                                   static_cast<int>(bytes.size()), at);
  }
  int Sync() { return file_->pMethods->xSync(file_, SQLITE_SYNC_FULL); }
  int Truncate(sqlite3_int64 size) {
    return file_->pMethods->xTruncate(file_, size);
  }
  int Read(sqlite3_int64 at) {
    char byte = 0;
    return file_->pMethods->xRead(file_, &byte, 1, at);
  }
  void Close() {
    if (file_->pMethods != nullptr) file_->pMethods->xClose(file_);
    file_->pMethods = nullptr;
  }

 private:
  std::vector<std::max_align_t> memory_;
  sqlite3_file* file_;
  int rc_ = SQLITE_OK;
};

class SimulatedDisk : public ::testing::Test {
 protected:
  sqlite3_vfs* Vfs() { return sqlite3_vfs_find(vfs_.name().c_str()); }

  TempDir dir_;
  PowerLossVfs vfs_;
};

TEST_F(SimulatedDisk, LosesWritesNotFollowedBySync) {
  const std::string db = dir_.Write("a.db", std::string(1024, 'a'));
  {
    VfsFile f(Vfs(), db, SQLITE_OPEN_MAIN_DB);
    ASSERT_EQ(f.rc(), SQLITE_OK);
    ASSERT_EQ(f.Write(std::string(1024, 'b'), 0), SQLITE_OK);
    ASSERT_EQ(f.Sync(), SQLITE_OK);
    ASSERT_EQ(f.Write(std::string(1024, 'c'), 512), SQLITE_OK);
    ASSERT_EQ(f.Truncate(100), SQLITE_OK);
  }
  EXPECT_EQ(vfs_.Stats(db).writes, 2u);
  EXPECT_EQ(vfs_.Stats(db).syncs, 1u);
  const PowerLossReport report = vfs_.ApplyPowerLoss(0);
  EXPECT_EQ(report.error, "");
  EXPECT_EQ(report.changesUndone, 2);
  EXPECT_EQ(Contents(db), std::string(1024, 'b'));
}

TEST_F(SimulatedDisk, TornWritesKeepWholeSectorsInOrder) {
  const std::string db = dir_.Write("a.db", std::string(4096, 'a'));
  std::set<size_t> outcomes;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    {
      VfsFile f(Vfs(), db, SQLITE_OPEN_MAIN_DB);
      ASSERT_EQ(f.Write(std::string(2000, 'z'), 100), SQLITE_OK);
    }
    ASSERT_EQ(vfs_.ApplyPowerLoss(seed).error, "");
    const std::string after = Contents(db);
    ASSERT_EQ(after.size(), 4096u);
    // The write survives as a prefix ending at a sector boundary, or whole,
    // or not at all; nothing else changes.
    size_t end = 100;
    while (end < 2100 && after[end] == 'z') ++end;
    EXPECT_TRUE(end == 100 || end % 512 == 0 || end == 2100) << end;
    EXPECT_EQ(after.substr(0, 100) + after.substr(end),
              std::string(100 + 4096 - end, 'a'));
    outcomes.insert(end);
    dir_.Write("a.db", std::string(4096, 'a'));
  }
  EXPECT_GE(outcomes.size(), 4u);  // lost, torn in several places, kept
}

TEST_F(SimulatedDisk, NewFilesNeedTheirFolderSynced) {
  const std::string db = dir_.File("new.db");
  const std::string wal = db + "-wal";
  {
    // A new database file synced is still gone: the unix VFS syncs the
    // folder of a new journal or WAL, never of a database.
    VfsFile f(Vfs(), db, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_CREATE);
    ASSERT_EQ(f.Write("db", 0), SQLITE_OK);
    ASSERT_EQ(f.Sync(), SQLITE_OK);
  }
  EXPECT_EQ(vfs_.ApplyPowerLoss(0).filesVanished, 1);
  EXPECT_FALSE(fs::exists(db));
  {
    VfsFile f(Vfs(), db, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_CREATE);
    ASSERT_EQ(f.Write("db", 0), SQLITE_OK);
    ASSERT_EQ(f.Sync(), SQLITE_OK);
    // A new WAL makes its folder durable at its first sync: the database's
    // name with it, though not the WAL's unsynced bytes.
    VfsFile w(Vfs(), wal, SQLITE_OPEN_WAL | SQLITE_OPEN_CREATE);
    ASSERT_EQ(w.Write("frame", 0), SQLITE_OK);
    ASSERT_EQ(w.Sync(), SQLITE_OK);
    ASSERT_EQ(w.Write("frame2", 5), SQLITE_OK);
  }
  EXPECT_EQ(vfs_.ApplyPowerLoss(0).filesVanished, 0);
  EXPECT_EQ(Contents(db), "db");
  EXPECT_EQ(Contents(wal), "frame");
  // The project's own folder syncs, once routed here, do the same.
  const std::string other = dir_.File("other.db");
  {
    VfsFile f(Vfs(), other, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_CREATE);
    ASSERT_EQ(f.Write("x", 0), SQLITE_OK);
    ASSERT_EQ(f.Sync(), SQLITE_OK);
  }
  EXPECT_TRUE(vfs_.NoteFolderSynced(dir_.path()));
  EXPECT_EQ(vfs_.ApplyPowerLoss(0).filesVanished, 0);
  EXPECT_EQ(Contents(other), "x");
}

TEST_F(SimulatedDisk, DeletedFilesComeBackUntilTheirFolderIsSynced) {
  dir_.Write("a.db", "db");
  const std::string journal = dir_.Write("a.db-journal", "synced");
  {
    VfsFile f(Vfs(), journal, SQLITE_OPEN_MAIN_JOURNAL);
    ASSERT_EQ(f.Write("UNSYNC", 0), SQLITE_OK);
  }
  ASSERT_EQ(Vfs()->xDelete(Vfs(), journal.c_str(), 0), SQLITE_OK);
  EXPECT_EQ(vfs_.ApplyPowerLoss(0).filesRestored, 1);
  EXPECT_EQ(Contents(journal), "synced");
  ASSERT_EQ(Vfs()->xDelete(Vfs(), journal.c_str(), 1), SQLITE_OK);
  EXPECT_EQ(vfs_.ApplyPowerLoss(0).filesRestored, 0);
  EXPECT_FALSE(fs::exists(journal));
  EXPECT_EQ(vfs_.Stats(journal).deletions, 2u);
}

TEST_F(SimulatedDisk, FromTheCutEveryOperationFails) {
  const std::string db = dir_.Write("a.db", "abc");
  vfs_.CutPowerAt(2);
  {
    VfsFile f(Vfs(), db, SQLITE_OPEN_MAIN_DB);
    ASSERT_EQ(f.rc(), SQLITE_OK);  // opening an existing file is no operation
    EXPECT_EQ(f.Write("x", 0), SQLITE_OK);  // 1
    EXPECT_FALSE(vfs_.PowerIsCut());
    EXPECT_EQ(f.Sync(), SQLITE_IOERR_FSYNC);  // 2: the cut
    EXPECT_TRUE(vfs_.PowerIsCut());
    EXPECT_EQ(f.Write("y", 1), SQLITE_IOERR_WRITE);
    EXPECT_EQ(f.Read(0), SQLITE_IOERR_READ);
    VfsFile again(Vfs(), db, SQLITE_OPEN_MAIN_DB);
    EXPECT_NE(again.rc(), SQLITE_OK);
  }
  EXPECT_EQ(vfs_.Operations(), 1u);
  EXPECT_EQ(vfs_.ApplyPowerLoss(0).error, "");
  EXPECT_EQ(Contents(db), "abc");
}

// The store's own name changes (store::FileNames) follow the same rules as
// SQLite's: a name made or removed since its folder's last sync is undone.
TEST_F(SimulatedDisk, LinksAndRemovalsNeedTheirFolderSynced) {
  store::FileNames& names = vfs_.fileNames();
  const std::string temp = dir_.File(".a.db.new");
  const std::string db = dir_.File("a.db");
  {
    VfsFile f(Vfs(), temp, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_CREATE);
    ASSERT_EQ(f.Write("built", 0), SQLITE_OK);
    ASSERT_EQ(f.Sync(), SQLITE_OK);
  }
  ASSERT_TRUE(names.SyncFolder(dir_.path()).ok());
  // Linked into place, the temporary name removed, and no folder sync: the
  // disk still holds the temporary name, with its synced bytes.
  ASSERT_EQ(names.Link(temp, db), 0);
  ASSERT_EQ(names.Remove(temp), 0);
  EXPECT_EQ(names.Remove(temp), ENOENT);
  PowerLossReport report = vfs_.ApplyPowerLoss(0);
  EXPECT_EQ(report.error, "");
  EXPECT_EQ(report.filesVanished, 1);
  EXPECT_EQ(report.filesRestored, 1);
  EXPECT_FALSE(fs::exists(db));
  EXPECT_EQ(Contents(temp), "built");
  // Synced, the same steps stay.
  ASSERT_EQ(names.Link(temp, db), 0);
  ASSERT_EQ(names.Remove(temp), 0);
  ASSERT_TRUE(names.SyncFolder(dir_.path()).ok());
  report = vfs_.ApplyPowerLoss(0);
  EXPECT_EQ(report.filesVanished + report.filesRestored, 0);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(Contents(db), "built");
  // A rename is the same: the old name returns, the new one goes.
  const std::string aside = dir_.File("a.db.aside");
  ASSERT_EQ(names.RenameNoReplace(db, aside), 0);
  EXPECT_EQ(names.RenameNoReplace(temp, aside), ENOENT);
  dir_.Write("taken", "t");
  EXPECT_EQ(names.RenameNoReplace(aside, dir_.File("taken")), EEXIST);
  EXPECT_EQ(vfs_.Stats(db).renames, 1u);
  report = vfs_.ApplyPowerLoss(0);
  EXPECT_EQ(report.filesVanished, 1);
  EXPECT_EQ(report.filesRestored, 1);
  EXPECT_FALSE(fs::exists(aside));
  EXPECT_EQ(Contents(db), "built");
}

TEST_F(SimulatedDisk, LinkedNamesShareTheirFilesUnsyncedChanges) {
  store::FileNames& names = vfs_.fileNames();
  const std::string a = dir_.Write("a.db", std::string(2048, 'a'));
  const std::string b = dir_.File("b.db");
  ASSERT_EQ(names.Link(a, b), 0);
  ASSERT_TRUE(names.SyncFolder(dir_.path()).ok());
  EXPECT_EQ(vfs_.Stats(b).links, 1u);
  std::set<std::string> outcomes;
  for (uint64_t seed = 0; seed < 12; ++seed) {
    {
      VfsFile f(Vfs(), b, SQLITE_OPEN_MAIN_DB);
      ASSERT_EQ(f.Write(std::string(1500, 'b'), 100), SQLITE_OK);
    }
    ASSERT_EQ(vfs_.ApplyPowerLoss(seed).error, "");
    // One file under two names: whatever the disk kept, both show it.
    EXPECT_EQ(Contents(a), Contents(b)) << seed;
    if (seed == 0) {
      EXPECT_EQ(Contents(a), std::string(2048, 'a'));
    }
    outcomes.insert(Contents(a));
    dir_.Write("a.db", std::string(2048, 'a'));
  }
  EXPECT_GE(outcomes.size(), 3u);  // lost, kept, torn
}

TEST_F(SimulatedDisk, NewFolderVanishesWithEverythingInItUntilItsParentSyncs) {
  store::FileNames& names = vfs_.fileNames();
  const fs::path folder = dir_.path() / "Veltrane";
  const std::string db = (folder / "q.db").string();
  for (const bool parentSynced : {false, true}) {
    ASSERT_EQ(names.MakeFolder(folder), 0);
    EXPECT_EQ(names.MakeFolder(folder), EEXIST);
    if (parentSynced) {
      ASSERT_TRUE(names.SyncFolder(dir_.path()).ok());
    }
    {
      VfsFile f(Vfs(), db, SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_CREATE);
      ASSERT_EQ(f.Write("q", 0), SQLITE_OK);
      ASSERT_EQ(f.Sync(), SQLITE_OK);
    }
    ASSERT_TRUE(names.SyncFolder(folder).ok());
    const PowerLossReport report = vfs_.ApplyPowerLoss(0);
    EXPECT_EQ(report.error, "");
    EXPECT_EQ(report.foldersVanished, parentSynced ? 0 : 1);
    EXPECT_EQ(fs::exists(folder), parentSynced);
    EXPECT_EQ(Contents(db), parentSynced ? "q" : "");
  }
}

TEST_F(SimulatedDisk, NameChangesAreCutPointsAndFailFromTheCut) {
  store::FileNames& names = vfs_.fileNames();
  const std::string a = dir_.Write("a", "a");
  ASSERT_EQ(names.Link(a, dir_.File("b")), 0);            // 1
  EXPECT_EQ(names.Remove(dir_.File("missing")), ENOENT);  // nothing: no point
  ASSERT_EQ(names.MakeFolder(dir_.path() / "f"), 0);      // 2
  EXPECT_EQ(vfs_.Operations(), 2u);
  vfs_.CutPowerAt(4);
  ASSERT_TRUE(names.SyncFolder(dir_.path()).ok());  // 3
  EXPECT_EQ(names.Remove(a), EIO);                  // 4: the cut
  EXPECT_TRUE(vfs_.PowerIsCut());
  EXPECT_TRUE(fs::exists(a));
  EXPECT_EQ(names.Link(a, dir_.File("c")), EIO);
  EXPECT_FALSE(fs::exists(dir_.File("c")));
  EXPECT_EQ(names.RenameNoReplace(a, dir_.File("c")), EIO);
  EXPECT_EQ(names.MakeFolder(dir_.path() / "g"), EIO);
  EXPECT_FALSE(names.SyncFolder(dir_.path()).ok());
  EXPECT_EQ(vfs_.Operations(), 3u);
  const PowerLossReport report = vfs_.ApplyPowerLoss(0);
  EXPECT_EQ(report.filesVanished + report.foldersVanished, 0);
  EXPECT_EQ(Contents(dir_.File("b")), "a");
}

// ---- SQLite through a power cut at every I/O operation ----

// Rows of 300 to 2400 bytes and one of 9000: every transaction spans
// several pages and an overflow chain, so that torn pages show.
std::string Insert(int txn, int rows) {
  const std::string t = std::to_string(txn);
  return "INSERT INTO t(id, txn, payload) WITH RECURSIVE r(i) AS "
         "(SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < " +
         std::to_string(rows) + ") SELECT " + t + " * 100 + i, " + t +
         ", printf('%d.%d:%.*c', " + t +
         ", i, CASE WHEN i = 1 THEN 9000 ELSE 300 + ((" + t +
         " * 7 + i * 13) % 8) * 300 END, char(65 + (" + t +
         " + i) % 26)) FROM r;";
}

// A transaction's body, or (empty) a checkpoint that empties the WAL.
std::vector<std::string> Scenario() {
  return {
      "CREATE TABLE t(id INTEGER PRIMARY KEY, txn INTEGER NOT NULL,"
      " payload TEXT NOT NULL); CREATE INDEX t_txn ON t(txn);",
      Insert(1, 5),
      Insert(2, 4),
      Insert(3, 6),
      "",
      Insert(4, 3) + "UPDATE t SET payload = lower(payload) WHERE txn = 1;",
      Insert(5, 4),
      "DELETE FROM t WHERE txn = 2;",
  };
}

bool Exec(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The rows of one query, one line each, fields split by '|'; nullopt on an
// error.
std::optional<std::string> Rows(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    return std::nullopt;
  }
  std::string rows;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      const unsigned char* text = sqlite3_column_text(stmt, i);
      if (i > 0) rows += '|';
      rows += text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
    }
    rows += '\n';
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) return std::nullopt;
  return rows;
}

// What the database holds, to compare with the states the scenario passes
// through.
std::string State(sqlite3* db) {
  const auto tables =
      Rows(db, "SELECT count(*) FROM sqlite_schema WHERE name = 't'");
  if (!tables) return "(unreadable)";
  if (*tables == "0\n") return "(no table)";
  return Rows(db, "SELECT id, txn, payload FROM t ORDER BY id")
      .value_or("(unreadable)");
}

struct Outcome {
  int acknowledged = 0;       // transactions whose COMMIT returned SQLITE_OK
  bool commitFailed = false;  // the next one failed in its COMMIT: it may be
                              // there or not, but whole
};

// Runs the scenario until something fails, as a program would stop when
// the power goes; closes the database either way.
Outcome RunScenario(const std::string& file, const char* vfs,
                    const char* synchronous) {
  Outcome run;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      vfs) == SQLITE_OK &&
      Rows(db, "PRAGMA journal_mode=WAL") == "wal\n" &&
      Exec(db, std::string("PRAGMA synchronous=") + synchronous)) {
    for (const std::string& body : Scenario()) {
      if (body.empty()) {
        if (!Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)")) break;
        continue;
      }
      if (!Exec(db, "BEGIN") || !Exec(db, body)) break;
      if (!Exec(db, "COMMIT")) {
        run.commitFailed = true;
        break;
      }
      ++run.acknowledged;
    }
  }
  sqlite3_close_v2(db);
  return run;
}

// The state before any transaction and after each one, on the real disk.
std::vector<std::string> ExpectedStates(const std::string& file) {
  std::vector<std::string> states;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      "unix") == SQLITE_OK &&
      Exec(db, "PRAGMA synchronous=OFF")) {
    states.push_back(State(db));
    for (const std::string& body : Scenario()) {
      if (!body.empty() && Exec(db, "BEGIN;" + body + "COMMIT")) {
        states.push_back(State(db));
      }
    }
  }
  sqlite3_close_v2(db);
  return states;
}

// After the reboot: empty when the file is whole and holds what was
// acknowledged, and no part of anything else; what is wrong otherwise.
std::string CheckAfterReboot(const std::string& file, const Outcome& run,
                             const std::vector<std::string>& states) {
  sqlite3* db = nullptr;
  std::string problem;
  if (sqlite3_open_v2(file.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      "unix") != SQLITE_OK) {
    problem = "damaged: cannot open";
  } else if (!Exec(db, "PRAGMA synchronous=OFF")) {
    // (The check needs no durability; real syncs would only cost time.)
    problem = "damaged: cannot read the header";
  } else if (const auto check = Rows(db, "PRAGMA integrity_check");
             check != "ok\n") {
    problem = "damaged: integrity_check says " + check.value_or("(error)");
  } else {
    const std::string state = State(db);
    const size_t acked = static_cast<size_t>(run.acknowledged);
    const bool fine = state == states[acked] ||
                      (run.commitFailed && state == states[acked + 1]);
    if (!fine) {
      problem = "lost: " + std::to_string(acked) +
                " transactions acknowledged, but the file holds ";
      size_t j = 0;
      while (j < states.size() && states[j] != state) ++j;
      problem += j < states.size() ? "the state after " + std::to_string(j)
                                   : "part of a transaction";
    }
  }
  sqlite3_close_v2(db);
  return problem;
}

struct Totals {
  uint64_t points = 0;
  int reboots = 0;
  int damaged = 0;
  int lost = 0;
  PowerLossReport loss;

  void Add(const PowerLossReport& r) {
    loss.changesUndone += r.changesUndone;
    loss.writesKept += r.writesKept;
    loss.writesTorn += r.writesTorn;
    loss.truncatesKept += r.truncatesKept;
    loss.filesVanished += r.filesVanished;
    loss.filesRestored += r.filesRestored;
  }
};

// A folder for the runs that lives in memory where the system offers one:
// the simulated disk alone decides what survives, and a real one would make
// the hundreds of reboots wait on its journal.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::error_code error;
    const fs::path parent = fs::is_directory("/dev/shm", error)
                                ? fs::path("/dev/shm")
                                : fs::temp_directory_path();
    std::string pattern = (parent / "vt-powerloss-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class PowerCut : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    states_ = ExpectedStates((dir_.path() / "expected.db").string());
    ASSERT_EQ(states_.size(), 8u);  // before, and after each of 7
  }

  // The I/O operations of one whole run: its cut points. The VFS is the
  // process's default here, as the store would meet it.
  uint64_t CountPoints(const char* synchronous) {
    PowerLossOptions options;
    options.makeDefault = true;
    PowerLossVfs vfs(options);
    fs::create_directories(dir_.path() / "count");
    const Outcome run = RunScenario(
        (dir_.path() / "count" / "test.db").string(), nullptr, synchronous);
    EXPECT_EQ(run.acknowledged, 7);
    fs::remove_all(dir_.path() / "count");
    return vfs.Operations();
  }

  // The scenario with the power cut at operation cut, the loss as seed says,
  // the reboot and the check; what is wrong, or empty.
  std::string CutAndCheck(uint64_t cut, uint64_t seed, const char* synchronous,
                          Totals& totals) {
    const fs::path folder = dir_.path() / "run";
    fs::create_directories(folder);
    const std::string file = (folder / "test.db").string();
    Outcome run;
    PowerLossReport loss;
    {
      PowerLossVfs vfs;
      vfs.CutPowerAt(cut);
      run = RunScenario(file, vfs.name().c_str(), synchronous);
      loss = vfs.ApplyPowerLoss(seed);
    }
    ++totals.reboots;
    totals.Add(loss);
    std::string problem = loss.error.empty()
                              ? CheckAfterReboot(file, run, states_)
                              : "loss not applied: " + loss.error;
    if (problem.starts_with("damaged")) ++totals.damaged;
    if (problem.starts_with("lost")) ++totals.lost;
    fs::remove_all(folder);
    return problem;
  }

  ScratchFolder dir_;
  std::vector<std::string> states_;
};

// Seed 0 loses every unsynced change; the others let the disk keep some,
// whole or torn, differently at every cut.
constexpr uint64_t kSeedsPerCut = 4;

TEST_F(PowerCut, WalWithFullSyncKeepsEveryAcknowledgedCommit) {
  const auto start = std::chrono::steady_clock::now();
  // The operations of one run with the count only, then the power cut at
  // each of them in turn.
  Totals totals;
  totals.points = CountPoints("FULL");
  ASSERT_GT(totals.points, 30u);
  for (uint64_t cut = 1; cut <= totals.points; ++cut) {
    for (uint64_t s = 0; s < kSeedsPerCut; ++s) {
      const uint64_t seed = s == 0 ? 0 : cut * kSeedsPerCut + s;
      EXPECT_EQ(CutAndCheck(cut, seed, "FULL", totals), "")
          << "power cut at operation " << cut << " of " << totals.points
          << ", seed " << seed;
    }
  }
  // The simulation did lose, keep and tear writes, and names.
  EXPECT_GT(totals.loss.writesTorn, 0);
  EXPECT_GT(totals.loss.writesKept, 0);
  EXPECT_GT(totals.loss.filesVanished, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  std::printf(
      "[power loss] synchronous=FULL: %llu I/O points cut, %d reboots, "
      "%d damaged, %d lost a commit; changes lost %d, kept %d, torn %d, "
      "truncations kept %d; files vanished %d, restored %d; %.1f s\n",
      static_cast<unsigned long long>(totals.points), totals.reboots,
      totals.damaged, totals.lost, totals.loss.changesUndone,
      totals.loss.writesKept, totals.loss.writesTorn, totals.loss.truncatesKept,
      totals.loss.filesVanished, totals.loss.filesRestored, seconds);
}

TEST_F(PowerCut, FindsTheLossesOfSynchronousOff) {
  // Without syncs nothing the scenario wrote is durable, not even the
  // database's name: the simulation must find commits lost.
  Totals totals;
  totals.points = CountPoints("OFF");
  ASSERT_GT(totals.points, 30u);
  for (uint64_t cut = 1; cut <= totals.points; ++cut) {
    for (uint64_t seed : {uint64_t{0}, cut + 1}) {
      CutAndCheck(cut, seed, "OFF", totals);
    }
  }
  EXPECT_GT(totals.damaged + totals.lost, 0)
      << "no power cut found the losses of synchronous=OFF";
  std::printf(
      "[power loss] synchronous=OFF: %llu I/O points cut, %d reboots, "
      "%d damaged, %d lost a commit\n",
      static_cast<unsigned long long>(totals.points), totals.reboots,
      totals.damaged, totals.lost);
}

}  // namespace
}  // namespace vt::testing
