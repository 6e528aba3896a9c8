// Scan boxes replaced and removed under the running router, with mail in
// their write-ahead logs, and the router then killed and started again. The
// old logs must never be replayed into the files now at those paths: no
// message of the removed or replaced file comes back, nothing reads as
// damaged, the leftovers are set aside and logged, and every other message
// ends in exactly one database.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "DataDirTest.h"
#include "datadir/Databases.h"
#include "datadir/MailItems.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;  // generous: the router works every 2 s
constexpr char kScanBox1[] = "Veltrane/Scan/Scan_1.box";
constexpr char kScanBox2[] = "Veltrane/Scan/Scan_2.box";
constexpr char kSetAside[] =
    ": files left beside it by a removed or replaced database were set "
    "aside as ";

class ReplacedDatabase : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName());
  }

  std::unique_ptr<LocalNotesServices> Server() const {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    auto server = std::make_unique<LocalNotesServices>(options);
    EXPECT_TRUE(server->Start().ok());
    return server;
  }

  void Scan(int expected) {
    const RunResult r = Vt({"scan", dir(), "--verdict", "M"});
    ASSERT_EQ(r.exitCode, 0) << r.err << ServerLog();
    EXPECT_EQ(r.out, std::to_string(expected) + " messages given verdict M\n");
  }

  // Moved by the router: in the scan box, and no longer in mail.box.
  bool WaitForInterception(const std::string& box, const std::string& subject,
                           int count) const {
    return WaitForCount(box, subject, count) &&
           WaitForCount("mail.box", subject, 0);
  }

  // The set-aside line for a database, with both of its files named and
  // present beside it.
  void ExpectSetAside(const std::string& path) const {
    if (!WaitUntil([&] { return Logged(path + kSetAside); }, kRouterMillis)) {
      ADD_FAILURE() << "no set-aside line for " << path << ":\n" << ServerLog();
      return;
    }
    const std::string log = ServerLog();
    const size_t at = log.find(path + kSetAside);
    const std::string line =
        log.substr(at, log.find('\n', at) - at).substr(path.size());
    const std::string name = fs::path(path).filename().string();
    for (const char* suffix : {"-wal.aside-", "-shm.aside-"}) {
      const size_t named = line.find(name + suffix);
      ASSERT_NE(named, std::string::npos) << line;
      const std::string file =
          line.substr(named, line.find(',', named) - named);
      EXPECT_TRUE(fs::exists((fs::path(dir()) / path).parent_path() / file))
          << file;
    }
  }

  BackgroundProcess router_;
};

TEST_F(ReplacedDatabase, OldLogsNeverComeBackAfterAKill) {
  StartRouter(router_);
  if (HasFatalFailure()) return;

  // Another database made by the store, holding two messages of its own,
  // moved over the first scan box while the router holds that open with
  // two intercepted messages in its log.
  Send("replaced", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForInterception(kScanBox1, "replaced", 2)) << ServerLog();
  {
    std::unique_ptr<LocalNotesServices> server = Server();
    DbHandle spare;
    ASSERT_EQ(server->CreateDatabaseCopy("Veltrane\\scan.ntf", "Spare.box",
                                         kNoteClassAllNonData, 0, 0, &spare),
              Status());
    ASSERT_EQ(server->CloseDatabase(spare), Status());
  }
  Send("spare", 2, "Spare.box");
  if (HasFatalFailure()) return;
  fs::rename(fs::path(dir()) / "Spare.box", fs::path(dir()) / kScanBox1);
  // The scanner is the first to open it again, and must find the moved
  // file's messages alone.
  Scan(2);
  if (HasFatalFailure()) return;
  EXPECT_EQ(Count(kScanBox1, "spare"), 2);
  EXPECT_EQ(Count(kScanBox1, "replaced"), 0);
  ExpectSetAside(kScanBox1);

  // Interception now falls back on the second scan box, which is then
  // removed with its two messages in the router's log.
  Send("removed", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForInterception(kScanBox2, "removed", 2)) << ServerLog();
  fs::remove(fs::path(dir()) / kScanBox2);
  router_.Signal(SIGKILL);
  ASSERT_TRUE(router_.WaitForExit(kRouterMillis));

  // Started again, the router makes the second scan box anew from its
  // template and delivers what the scanner passed from the first.
  StartRouter(router_);
  if (HasFatalFailure()) return;
  ExpectSetAside(kScanBox2);
  EXPECT_EQ(Count(kScanBox2, "removed"), 0);
  ASSERT_TRUE(WaitForCount("mail.box", "spare", 2)) << ServerLog();
  const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
  ASSERT_EQ(quit.exitCode, 0) << quit.err;
  ASSERT_TRUE(router_.WaitForExit(kRouterMillis)) << RouterOutput();

  const RunResult ls = Vt({"ls", dir(), "--json"});
  EXPECT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_EQ(ls.out.find("\"error\""), std::string::npos) << ls.out;
  for (const char* box : {kScanBox1, kScanBox2}) {
    EXPECT_NE(ls.out.find(box), std::string::npos) << ls.out;
  }

  // The messages of the replaced and the removed file went with them; the
  // others are in mail.box, once each, with their verdict.
  std::unique_ptr<LocalNotesServices> server = Server();
  std::map<std::string, int> delivered;
  for (const auto& [id, places] : tool::LocateMessages(*server)) {
    const std::string subject =
        tool::ItemValue(places.front().document, tool::kItemSubject);
    ASSERT_EQ(places.size(), 1u) << subject << " " << id;
    EXPECT_EQ(places.front().path, "mail.box") << subject << " " << id;
    EXPECT_EQ(tool::ItemValue(places.front().document, vt::kItemKestoRouter),
              "M")
        << subject << " " << id;
    ++delivered[subject];
  }
  EXPECT_EQ(delivered, (std::map<std::string, int>{{"spare", 2}}));
}

}  // namespace
}  // namespace vt::e2e
