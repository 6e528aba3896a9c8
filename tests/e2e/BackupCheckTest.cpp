// Backups taken while mail flows and while messages are released, or while
// a router is still starting; integrity checks, messages held by two
// databases and their repair; and databases this version must not write
// into: damaged ones, and those of another format.
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "DataDirTest.h"
#include "StoreAccess.h"
#include "databases/InstanceName.h"
#include "databases/RouterItems.h"
#include "datadir/Databases.h"
#include "notes/FixedText.h"
#include "server/LocalNotesServices.h"
#include "server/console/ConsoleQueue.h"
#include "server/console/StatusLines.h"
#include "system/ScopedNamedMutex.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;

// How many databases of a data directory hold each VTMessageId.
std::map<std::string, size_t> Places(const fs::path& dir) {
  LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  LocalNotesServices server(options);
  std::map<std::string, size_t> places;
  if (!server.Start().ok()) return places;
  for (const auto& [id, seen] : tool::LocateMessages(server)) {
    places[id] = seen.size();
  }
  return places;
}

// Every VTMessageId in the databases of a data directory.
std::set<std::string> MessageIds(const fs::path& dir) {
  std::set<std::string> ids;
  for (const auto& [id, count] : Places(dir)) ids.insert(id);
  return ids;
}

void Sql(const fs::path& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class BackupCheck : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    serverName_ = UniqueServerName();
    Init(serverName_, mailBoxes_);
  }
  fs::path Db(const std::string& path) const { return fs::path(dir()) / path; }

  int mailBoxes_ = 1;
  std::string serverName_;
};

// The next console command on queue, as a task reads it; empty when none
// comes.
std::string NextCommand(console::ConsoleQueue& queue) {
  std::string command;
  WaitUntil(
      [&] {
        char text[console::ConsoleQueue::kMaxMessageBytes];
        uint16_t length = 0;
        if (!queue.Read(text, sizeof text, &length).ok()) return false;
        command.assign(text, length);
        return true;
      },
      kRouterMillis);
  return command;
}

TEST_F(BackupCheck,
       ABackupTakenWhileMailFlowsHoldsEveryMessageCommittedBefore) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  // The mail server and the scanner at work all through the backup.
  std::atomic<bool> stop{false};
  std::thread traffic([&] {
    const char* verdicts[] = {"M", "C", "D", "B"};
    for (int round = 0; !stop; ++round) {
      Vt({"send", dir(), "--count", "3", "--subject", "flow"});
      Vt({"scan", dir(), "--verdict", verdicts[round % 4]});
    }
  });
  ASSERT_TRUE(
      WaitUntil([&] { return MessageIds(dir()).size() >= 30; }, kRouterMillis));
  const std::set<std::string> before = MessageIds(dir());
  const fs::path dest = folder() / "backup";
  const RunResult backup = Vt({"backup", dir(), dest.string()});
  stop = true;
  traffic.join();
  ASSERT_EQ(backup.exitCode, 0) << backup.err;
  EXPECT_NE(backup.out.find("router paused for"), std::string::npos)
      << backup.out;
  EXPECT_TRUE(fs::exists(dest / "server.ini"));

  const RunResult check = Vt({"check", dest.string()});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  const std::set<std::string> copied = MessageIds(dest);
  for (const std::string& id : before) {
    EXPECT_EQ(copied.count(id), 1u) << id << " is missing from the backup";
  }
  // The router was resumed and goes on: its passes show the totals again.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Vt({"show", dir(), "tasks"}).out.find("Mail:") !=
               std::string::npos;
      },
      kRouterMillis));
  EXPECT_TRUE(Logged("VTRouter: Resumed"));
  // Compaction beside the working router loses nothing either.
  const RunResult compact =
      Vt({"compact", dir(), "Veltrane/QuarantineC_1.nsf"});
  EXPECT_EQ(compact.exitCode, 0) << compact.err;
  EXPECT_EQ(compact.out.rfind("Veltrane/QuarantineC_1.nsf: ", 0), 0u)
      << compact.out;
  EXPECT_EQ(Vt({"check", dir()}).exitCode, 0);
  router.Signal(SIGTERM);
  EXPECT_TRUE(router.WaitForExit(kRouterMillis));
}

TEST_F(BackupCheck, ADamagedDatabaseIsNamedByCheckAndNeverWrittenByTheRouter) {
  Send("Before the damage", 60);
  const fs::path mailBox = Db("mail.box");
  // Every other page after the first two overwritten.
  {
    std::fstream file(mailBox, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = static_cast<std::streamoff>(fs::file_size(mailBox));
    const std::string garbage(4096, '\x5A');
    for (std::streamoff page = 2; (page + 1) * 4096 <= size; page += 2) {
      file.seekp(page * 4096);
      file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
  }
  const std::string damaged = ReadAll(mailBox);

  const RunResult check = Vt({"check", dir()});
  EXPECT_EQ(check.exitCode, 1);
  EXPECT_NE(check.err.find("failed the check: mail.box"), std::string::npos)
      << check.out << check.err;
  EXPECT_NE(check.out.find("Veltrane/VeltraneAdmin.nsf: ok"),
            std::string::npos);

  // Its only mail box refused, the router does not start at all.
  BackgroundProcess router;
  ASSERT_TRUE(router.Start(VtRouterPath(), {"--data", dir()},
                           (folder() / "router.out").string()));
  ASSERT_TRUE(router.WaitForExit(kRouterMillis));
  EXPECT_NE(router.exitCode(), 0);
  EXPECT_TRUE(
      Logged("Unable to open database 'mail.box'.  Skipping database. "
             "File is not a database or is damaged"))
      << ServerLog();
  EXPECT_EQ(ReadAll(mailBox), damaged) << "the router wrote into it";
}

TEST_F(BackupCheck, AFileOfANewerVersionIsNamedAndLeftAlone) {
  Send("Kept", 1);
  Sql(Db("mail.box"),
      ("PRAGMA user_version=" + std::to_string(kDataFormat + 1) + ";").c_str());
  const RunResult ls = Vt({"ls", dir()});
  EXPECT_EQ(ls.exitCode, 1);
  EXPECT_EQ(ls.err,
            "vtserver: mail.box was made by a newer version of VTRouter\n");
  BackgroundProcess router;
  ASSERT_TRUE(router.Start(VtRouterPath(), {"--data", dir()},
                           (folder() / "router.out").string()));
  ASSERT_TRUE(router.WaitForExit(kRouterMillis));
  EXPECT_NE(router.exitCode(), 0);
  EXPECT_TRUE(Logged("mail.box was made by a newer version of VTRouter"));
  EXPECT_EQ(Vt({"upgrade", dir()}).exitCode, 1);
}

TEST_F(BackupCheck, AnOlderFileIsUpgradedOnlyByUpgradeAfterItsCopy) {
  Send("Old layout", 2);
  // Back to layout 2, without the change sequence and the entry times.
  Sql(Db("mail.box"),
      "DROP INDEX notes_changed; DROP INDEX stubs_changed;"
      "ALTER TABLE notes DROP COLUMN changed;"
      "ALTER TABLE notes DROP COLUMN added;"
      "ALTER TABLE stubs DROP COLUMN changed; PRAGMA user_version=2;");
  const std::string old = ReadAll(Db("mail.box"));
  // Nothing reads it into the new format by the way.
  const RunResult ls = Vt({"ls", dir(), "mail.box"});
  EXPECT_EQ(ls.exitCode, 1);
  EXPECT_NE(ls.err.find("mail.box is of an older format: run 'vtserver "
                        "upgrade"),
            std::string::npos)
      << ls.err;
  BackgroundProcess router;
  ASSERT_TRUE(router.Start(VtRouterPath(), {"--data", dir()},
                           (folder() / "router.out").string()));
  ASSERT_TRUE(router.WaitForExit(kRouterMillis));
  EXPECT_NE(router.exitCode(), 0);
  EXPECT_EQ(ReadAll(Db("mail.box")), old);

  const fs::path aside = folder() / "aside";
  const RunResult upgrade = Vt({"upgrade", dir(), "--backup", aside.string()});
  ASSERT_EQ(upgrade.exitCode, 0) << upgrade.err;
  EXPECT_NE(upgrade.out.find("1 databases upgraded"), std::string::npos)
      << upgrade.out;
  EXPECT_EQ(ReadAll(aside / "mail.box"), old);
  EXPECT_EQ(Count("mail.box", "Old layout"), 2);
  EXPECT_EQ(Vt({"ls", dir(), "mail.box"}).exitCode, 0);
  const std::string format = std::to_string(kDataFormat);
  EXPECT_NE(ReadAll(fs::path(dir()) / "server.ini")
                .find("\nDataFormat=" + format + "\n"),
            std::string::npos);
  EXPECT_EQ(Vt({"upgrade", dir()}).out,
            dir() + " is up to date (format " + format + ")\n");
}

// Backups taken while an administrator releases quarantined messages one
// by one each hold every message exactly once: whether the quarantine's
// snapshot comes before the mail box's (a message could be in both) or
// after it (in neither).
class BackupDuringReleases : public BackupCheck,
                             public ::testing::WithParamInterface<const char*> {
};

TEST_P(BackupDuringReleases, EachBackupHoldsEveryMessageOnce) {
  constexpr int kMessages = 100;
  const std::string quarantine = GetParam();
  std::string configured = quarantine;
  std::replace(configured.begin(), configured.end(), '/', '\\');
  ASSERT_EQ(Vt({"config", dir(), "CatCQNsfD=" + configured}).exitCode, 0);
  ASSERT_EQ(MakeDatabase(dir(), quarantine), Status());
  // Other databases, whose snapshots come between the quarantine's and
  // mail.box's in either order.
  for (const char* folder : {"Veltrane/Saved/", "old/"}) {
    for (int i = 1; i <= 8; ++i) {
      ASSERT_EQ(MakeDatabase(dir(), folder + std::to_string(i) + ".nsf"),
                Status());
    }
  }
  Send("Released", kMessages, quarantine);
  ASSERT_EQ(Vt({"scan", dir(), "--db", quarantine, "--verdict", "C"}).exitCode,
            0);
  const RunResult listed = Vt({"quarantine", dir(), "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  std::vector<std::string> ids;
  for (const auto& m : nlohmann::json::parse(listed.out)) {
    ids.push_back(m["unid"]);
  }
  ASSERT_EQ(ids.size(), size_t{kMessages});
  const std::set<std::string> messages = MessageIds(dir());

  std::atomic<bool> released{false};
  std::thread releases([&] {
    for (const std::string& id : ids) Vt({"quarantine", dir(), "release", id});
    released = true;
  });
  std::vector<fs::path> backups;
  while (!released) {
    backups.push_back(folder() / ("backup" + std::to_string(backups.size())));
    const RunResult backup = Vt({"backup", dir(), backups.back().string()});
    EXPECT_EQ(backup.exitCode, 0) << backup.err;
  }
  releases.join();
  EXPECT_EQ(Count("mail.box", "Released"), kMessages);

  for (const fs::path& backup : backups) {
    const RunResult check = Vt({"check", backup.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    const std::map<std::string, size_t> places = Places(backup);
    size_t missing = 0, twice = 0;
    for (const std::string& id : messages) {
      const auto found = places.find(id);
      if (found == places.end()) ++missing;
      if (found != places.end() && found->second > 1) ++twice;
    }
    EXPECT_EQ(missing, 0u) << backup;
    EXPECT_EQ(twice, 0u) << backup;
  }
}

INSTANTIATE_TEST_SUITE_P(QuarantineBeforeOrAfterTheMailBox,
                         BackupDuringReleases,
                         ::testing::Values("Veltrane/QuarantineC_1.nsf",
                                           "zz/QuarantineC_1.nsf"));

TEST_F(BackupCheck,
       ARouterStillStartingIsWaitedForAndOneNeverListeningRefused) {
  Send("Waiting", 3);
  // The router's single-instance guard, held as a router holds it from the
  // start of its start, before its status line and its console queue.
  PosixSystemServices system;
  FixedText<260> name;
  InstanceMutexName(serverName_.c_str(), name.span());
  const ScopedNamedMutex guard(system, name.c_str(), false);
  ASSERT_TRUE(guard.valid());
  ASSERT_FALSE(guard.alreadyExisted());

  // It never listens: the backup gives up and copies nothing.
  const fs::path refused = folder() / "refused";
  const RunResult never = Vt({"backup", dir(), refused.string()});
  EXPECT_TRUE(IsOneLineError(never)) << never.out;
  EXPECT_NE(never.err.find("cannot be paused"), std::string::npos) << never.err;
  EXPECT_FALSE(fs::exists(refused));

  // It listens while the backup waits: paused first, then copied.
  const fs::path dest = folder() / "backup";
  BackgroundProcess backup;
  ASSERT_TRUE(backup.Start(VtServerPath(), {"backup", dir(), dest.string()},
                           (folder() / "backup.out").string()));
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(dest); }, kRouterMillis));
  console::StatusLines lines(dir());
  const StatusLineHandle line = lines.Create(kStatusLineName);
  EXPECT_EQ(lines.SetText(line, "Initializing"), Status());
  std::unique_ptr<console::ConsoleQueue> queue;
  ASSERT_EQ(console::ConsoleQueue::Open(dir(), kQueueName, true, &queue),
            Status());
  EXPECT_EQ(NextCommand(*queue), "pause30");
  EXPECT_TRUE(fs::is_empty(dest)) << "copied before the router paused";
  EXPECT_EQ(lines.SetText(line, "Paused"), Status());
  EXPECT_EQ(NextCommand(*queue), "resume");
  ASSERT_TRUE(backup.WaitForExit(kRouterMillis));
  EXPECT_EQ(backup.exitCode(), 0);
  std::ifstream output(folder() / "backup.out");
  const std::string out(std::istreambuf_iterator<char>(output), {});
  EXPECT_NE(out.find("for the router to pause; router paused for"),
            std::string::npos)
      << out;
  EXPECT_EQ(MessageIds(dest).size(), 3u);
}

// Messages left in two databases as moves cut short leave them: check names
// each, and its repair keeps the copy the road's rules choose.
class TwoPlaces : public BackupCheck {
 protected:
  void SetUp() override {
    mailBoxes_ = 2;
    BackupCheck::SetUp();
  }
};

TEST_F(TwoPlaces, CheckNamesThemAndRepairKeepsTheCopyTheRulesChoose) {
  constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";
  constexpr char kQuarantine[] = "Veltrane/QuarantineC_1.nsf";
  ASSERT_EQ(MakeDatabase(dir(), kScanBox), Status());
  ASSERT_EQ(MakeDatabase(dir(), kQuarantine), Status());
  // Intercepted, and not yet deleted from the mail box.
  Send("Intercepted", 1);
  ASSERT_EQ(CopyMessage(dir(), "mail.box", "Intercepted", kScanBox), Status());
  // Released, and not yet deleted from the quarantine: one version in both.
  Send("Released", 1, kQuarantine);
  ASSERT_EQ(SetItems(dir(), kQuarantine, "Released",
                     {{"VeltraneVerified", "1"},
                      {"Kesto_Router", "M"},
                      {"VTAdminReleased", "1"}}),
            Status());
  ASSERT_EQ(CopyMessage(dir(), kQuarantine, "Released", "mail.box"), Status());
  // Changed in mail2.box after it was copied there.
  Send("Changed", 1);
  ASSERT_EQ(CopyMessage(dir(), "mail.box", "Changed", "mail2.box"), Status());
  ASSERT_EQ(SetItems(dir(), "mail2.box", "Changed", {{"Body", "edited"}}),
            Status());
  // One version in two mail boxes: nothing tells which to keep.
  Send("Twin", 1);
  ASSERT_EQ(CopyMessage(dir(), "mail.box", "Twin", "mail2.box"), Status());

  const RunResult check = Vt({"check", dir()});
  EXPECT_TRUE(IsOneLineError(check));
  EXPECT_NE(check.err.find("4 messages are held by more than one database"),
            std::string::npos)
      << check.err;
  EXPECT_NE(check.out.find("mail.box: ok\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      check.out,
      std::regex("Message [0-9A-F]{32} is held by 2 databases:\n"
                 "  Veltrane/QuarantineC_1\\.nsf \\(quarantine\\): version "
                 "\\d+, VeltraneVerified \"1\", Kesto_Router \"M\", "
                 "VTAdminReleased \"1\"\n"
                 "  mail\\.box \\(mail box\\): version \\d+, "
                 "VeltraneVerified \"1\", Kesto_Router \"M\", "
                 "VTAdminReleased \"1\"\n")))
      << check.out;

  const RunResult dry = Vt({"check", dir(), "--repair", "--dry-run"});
  EXPECT_EQ(dry.exitCode, 1);
  EXPECT_NE(dry.out.find("would remove the copy in mail.box"),
            std::string::npos)
      << dry.out;
  EXPECT_EQ(Vt({"check", dir()}).out, check.out) << "the dry run changed it";

  const RunResult repair = Vt({"check", dir(), "--repair"});
  EXPECT_TRUE(IsOneLineError(repair)) << repair.out;
  EXPECT_NE(repair.err.find("1 message is still held by more than one "
                            "database: a person must choose"),
            std::string::npos)
      << repair.err;
  EXPECT_EQ(Count("mail.box", "Intercepted"), 0);
  EXPECT_EQ(Count(kScanBox, "Intercepted"), 1);
  EXPECT_EQ(Count(kQuarantine, "Released"), 0);
  EXPECT_EQ(Count("mail.box", "Released"), 1);
  EXPECT_EQ(Count("mail.box", "Changed"), 0);
  ASSERT_EQ(Count("mail2.box", "Changed"), 1);
  for (const StoredMessage& m : Messages("mail2.box")) {
    if (m.Item("Subject") == "Changed") {
      EXPECT_EQ(m.Item("Body"), "edited");
    }
  }
  EXPECT_EQ(Count("mail.box", "Twin"), 1);
  EXPECT_EQ(Count("mail2.box", "Twin"), 1);
  const std::string log = ServerLog();
  EXPECT_TRUE(std::regex_search(
      log, std::regex("vtserver: Removed the copy of message [0-9A-F]{32} in "
                      "mail\\.box \\(version \\d+\\); it is kept in "
                      "Veltrane/Scan/Scan_1\\.box\\.")))
      << log;

  const RunResult after = Vt({"check", dir()});
  EXPECT_NE(after.err.find("1 message is held by more than one database"),
            std::string::npos)
      << after.out << after.err;
}

}  // namespace
}  // namespace vt::e2e
