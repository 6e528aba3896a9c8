// Messages that other processes change or hold while the real router moves
// them: a writer that verifies mail in mail.box during interception, and a
// scan box whose write lock another process holds while a verdict C is
// delivered, the quarantine rolls over and the message is released. Each
// must end in exactly one place.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "DataDirTest.h"
#include "datadir/Databases.h"
#include "datadir/MailItems.h"

namespace vt::e2e {
namespace {

constexpr char kScanBox[] = "Veltrane/Scan/Scan_1.box";

class MoveRaceTest : public DataDirTest {
 protected:
  tool::Sightings Locate() const {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    if (!server.Start().ok()) return {};
    return tool::LocateMessages(server);
  }

  // The messages of that subject: how many there are, and (unless
  // twoPlacesAllowed) a failure for each one in more than one database.
  int Census(const std::string& subject, std::map<std::string, int>* where,
             bool twoPlacesAllowed = false) {
    int messages = 0;
    for (const auto& [id, places] : Locate()) {
      if (tool::ItemValue(places.front().document, tool::kItemSubject) !=
          subject) {
        continue;
      }
      ++messages;
      for (const tool::Sighting& s : places) ++(*where)[s.path];
      if (twoPlacesAllowed) continue;
      EXPECT_EQ(places.size(), 1u)
          << id << " is in " << places.size() << " databases";
    }
    return messages;
  }

  void Scan(const std::vector<std::string>& more) {
    std::vector<std::string> arguments = {"scan", dir(), "--verdict"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    const RunResult r = Vt(arguments);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  void Quit(BackgroundProcess& router) {
    const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    ASSERT_TRUE(router.WaitForExit(60000)) << RouterOutput();
  }

  int LogLines(const std::string& text) const {
    std::istringstream log(ServerLog());
    int lines = 0;
    for (std::string line; std::getline(log, line);) {
      if (line.size() >= text.size() &&
          line.compare(line.size() - text.size(), text.size(), text) == 0) {
        ++lines;
      }
    }
    return lines;
  }
};

// The verdict written into mail.box between the router's search and its
// copy used to ride along into the scan box, leave a stub of the verified
// version behind, and make the delivery back find "already delivered":
// hundreds of messages vanished without an error.
TEST_F(MoveRaceTest, MailVerifiedInTheMailBoxDuringInterceptionIsNeverLost) {
  Init(UniqueServerName());
  constexpr int kMessages = 1000;
  Send("Race", kMessages);
  if (HasFatalFailure()) return;

  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  // The writer starts as soon as the router has begun to move the backlog,
  // and verifies whatever it still finds in mail.box, again and again.
  ASSERT_TRUE(WaitUntil([&] { return Count(kScanBox, "Race") > 0; }, 30000))
      << RouterOutput();
  int writes = 0;
  while (Count("mail.box", "Race") > 0 && writes < 200) {
    Scan({"M", "--db", "mail.box"});
    if (HasFatalFailure()) return;
    ++writes;
    // Whatever the writer verified stays in mail.box, so stop once only
    // verified mail is left there.
    bool unverified = false;
    for (const StoredMessage& m : Messages("mail.box")) {
      unverified |= m.Item(vt::kItemVeltraneVerified) != "1";
    }
    if (!unverified) break;
  }
  // The scanner's verdict for what reached the scan box, until it is empty.
  ASSERT_TRUE(WaitUntil(
      [&] {
        Scan({"M"});
        return Count(kScanBox, "Race") == 0;
      },
      60000))
      << "the scan box did not empty";
  Quit(router);
  if (HasFatalFailure()) return;

  std::map<std::string, int> where;
  EXPECT_EQ(Census("Race", &where), kMessages);
  EXPECT_EQ(where["mail.box"], kMessages);
  EXPECT_GT(writes, 0);
  std::printf(
      "[ RACE     ] %d verdict writes into mail.box during interception\n",
      writes);
}

// A verdict C delivered while another process holds the scan box's write
// lock: the copy into QuarantineC_1 is made, its deletion from the scan box
// waits out the busy timeout and fails. The quarantine then rolls over,
// the router is restarted, and the administrator releases the message
// from QuarantineC_1. Once the lock is gone the move is made again: it must
// find the release in QuarantineC_1, not put the message into
// QuarantineC_2 as well.
TEST_F(MoveRaceTest, AMoveCutShortFindsItsReleaseAfterARollOverAndARestart) {
  const char* build = std::getenv("VT_BUILD_DIR");
  ASSERT_NE(build, nullptr);
  Init(UniqueServerName());
  Send("Held", 1);
  if (HasFatalFailure()) return;
  {
    BackgroundProcess router;
    StartRouter(router);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(WaitForCount(kScanBox, "Held", 1));
    Quit(router);
    if (HasFatalFailure()) return;
  }
  Scan({"C"});
  if (HasFatalFailure()) return;

  const std::string holderOut = (folder() / "holder.out").string();
  BackgroundProcess holder;
  ASSERT_TRUE(holder.Start(std::string(build) + "/tests/vt_hold_write_lock",
                           {dir() + "/" + kScanBox}, holderOut));
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::ifstream in(holderOut);
        std::string line;
        return std::getline(in, line) && line == "held";
      },
      10000));
  {
    BackgroundProcess router;
    StartRouter(router);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(WaitUntil(
        [&] {
          return LogLines(
                     "after copying it to Quarantine C. Database is in "
                     "use by another process") > 0;
        },
        60000))
        << ServerLog();
    const RunResult newqc = Vt({"tell", dir(), "vtrouter", "newqc"});
    ASSERT_EQ(newqc.exitCode, 0) << newqc.err;
    ASSERT_TRUE(WaitUntil(
        [&] {
          return LogLines(
                     "VTRouter: Created new database "
                     "Veltrane\\QuarantineC_2.nsf.") == 1;
        },
        60000))
        << ServerLog();
    Quit(router);
    if (HasFatalFailure()) return;
  }
  // The move cut short: in the scan box and in the quarantine rolled from.
  std::map<std::string, int> before;
  ASSERT_EQ(Census("Held", &before, /*twoPlacesAllowed=*/true), 1);
  ASSERT_EQ(before[kScanBox], 1);
  ASSERT_EQ(before["Veltrane/QuarantineC_1.nsf"], 1);

  const RunResult list = Vt({"quarantine", dir(), "list", "--json"});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const nlohmann::json listed = nlohmann::json::parse(list.out);
  ASSERT_EQ(listed.size(), 1u) << list.out;
  EXPECT_EQ(listed[0]["database"], "Veltrane/QuarantineC_1.nsf");
  const std::string unid = listed[0]["unid"];
  const RunResult release = Vt({"quarantine", dir(), "release", unid});
  ASSERT_EQ(release.exitCode, 0) << release.err;

  holder.Signal(SIGKILL);
  ASSERT_TRUE(holder.WaitForExit(10000));
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox, "Held", 0)) << ServerLog();
  // The day's totals, once the status line shows the pass that moved it.
  nlohmann::json totals;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const RunResult stats = Vt({"stats", dir(), "--json"});
        totals = stats.exitCode == 0
                     ? nlohmann::json::parse(stats.out)["router"]["today"]
                     : nlohmann::json();
        return totals.is_object() && totals.value("spamC", 0) != 0;
      },
      10000));
  Quit(router);
  if (HasFatalFailure()) return;

  std::map<std::string, int> where;
  EXPECT_EQ(Census("Held", &where), 1);
  EXPECT_EQ(where["mail.box"], 1);
  EXPECT_EQ(where["Veltrane/QuarantineC_2.nsf"], 0);
  // Counted once: when it left the scan box, in the run after the lock.
  EXPECT_EQ(LogLines("VTRouter: Moved 1 messages to Quarantine C"), 1)
      << ServerLog();
  EXPECT_EQ(totals["spamC"], 1) << totals.dump();
}

}  // namespace
}  // namespace vt::e2e
