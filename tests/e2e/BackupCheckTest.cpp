// Backups taken while mail flows, integrity checks, and databases this
// version must not write into: damaged ones, and those of another format.
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "DataDirTest.h"
#include "Databases.h"
#include "server/LocalNotesServices.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;

// Every VTMessageId in the databases of a data directory.
std::set<std::string> MessageIds(const fs::path& dir) {
  LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  LocalNotesServices server(options);
  std::set<std::string> ids;
  if (!server.Start().ok()) return ids;
  for (const auto& [id, seen] : tool::LocateMessages(server)) ids.insert(id);
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
    Init(UniqueServerName());
  }
  fs::path Db(const std::string& path) const { return fs::path(dir()) / path; }
};

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
  Sql(Db("mail.box"), "PRAGMA user_version=4;");
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
  // Back to layout 2, without the change sequence.
  Sql(Db("mail.box"),
      "DROP INDEX notes_changed; DROP INDEX stubs_changed;"
      "ALTER TABLE notes DROP COLUMN changed;"
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
  EXPECT_NE(ReadAll(fs::path(dir()) / "server.ini").find("\nDataFormat=3\n"),
            std::string::npos);
  EXPECT_EQ(Vt({"upgrade", dir()}).out, dir() + " is up to date (format 3)\n");
}

}  // namespace
}  // namespace vt::e2e
