// A data directory on read-only media (a snapshot, a backup disk mounted
// read-only): the commands that only read work there as anywhere, and a
// database of an older format is named as such, not as damaged. The mount
// is a read-only bind mount of the test's data directory, which needs root
// (and a kernel that lets this process mount).
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

class ReadOnlyMedia : public DataDirTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "a bind mount needs root";
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
    Send("kept", 3);
    mount_ = (folder() / "ro").string();
    fs::create_directory(mount_);
    if (::mount(dir().c_str(), mount_.c_str(), nullptr, MS_BIND, nullptr) !=
        0) {
      GTEST_SKIP() << "cannot bind mount here";
    }
    mounted_ = true;
    if (::mount(nullptr, mount_.c_str(), nullptr,
                MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      GTEST_SKIP() << "cannot make the bind mount read-only";
    }
  }
  void TearDown() override {
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
    if (::geteuid() == 0) DataDirTest::TearDown();
  }

  std::string mount_;
  bool mounted_ = false;
};

TEST_F(ReadOnlyMedia, TheReadingCommandsWorkAndNothingIsWritten) {
  const auto before = Snapshot();
  const RunResult check = Vt({"check", mount_});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("mail.box: ok\n"), std::string::npos) << check.out;
  const RunResult list = Vt({"quarantine", mount_, "list"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  const RunResult ls = Vt({"ls", mount_, "mail.box"});
  EXPECT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_NE(ls.out.find("kept"), std::string::npos) << ls.out;
  const RunResult config = Vt({"config", mount_});
  EXPECT_EQ(config.exitCode, 0) << config.err;
  EXPECT_NE(config.out.find("MailboxNsf = mail.box\n"), std::string::npos)
      << config.out;
  // Setting an item writes, and says why it cannot.
  const RunResult set = Vt({"config", mount_, "ReleaseMailMinutes=30"});
  EXPECT_TRUE(IsOneLineError(set)) << set.err;
  EXPECT_NE(set.err.find("Read-only file system"), std::string::npos)
      << set.err;
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(ReadOnlyMedia, AnOlderFormatIsNamedAsSuchNotAsDamage) {
  // Back to layout 2 in the writable original, seen through the mount.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((fs::path(dir()) / "mail.box").c_str(), &db),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "DROP INDEX notes_changed; DROP INDEX stubs_changed;"
                         "ALTER TABLE notes DROP COLUMN changed;"
                         "ALTER TABLE notes DROP COLUMN added;"
                         "ALTER TABLE stubs DROP COLUMN changed;"
                         "PRAGMA user_version=2;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const RunResult check = Vt({"check", mount_});
  EXPECT_EQ(check.exitCode, 1);
  EXPECT_NE(check.out.find("mail.box: older format\n"), std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("Veltrane/VeltraneAdmin.nsf: ok\n"),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.err.find("1 of "), std::string::npos) << check.err;
  EXPECT_NE(check.err.find("databases are of an older format (run 'vtserver "
                           "upgrade "),
            std::string::npos)
      << check.err;
  EXPECT_EQ(check.err.find("failed the check"), std::string::npos) << check.err;
}

}  // namespace
}  // namespace vt::e2e
