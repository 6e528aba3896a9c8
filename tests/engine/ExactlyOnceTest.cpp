// A message is never delivered twice and never lost when a neighbour gets in
// the way: another process holding a scan box's write lock while the router
// delivers, and another process saving a message between release's opening
// and saving it. Both through the real store, with the real other process
// where one is what gets in the way.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/RouterEngine.h"
#include "standins/ChildProcess.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"

namespace vt {
namespace {

using testing::DepositMessage;
using testing::EngineRig;
using testing::kMailBox;
using testing::kScanBox1;
using testing::kScanBox2;

constexpr char kMailBox2[] = "mail2.box";
constexpr char kMailBox3[] = "mail3.box";

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int CountLinesWith(EngineRig& rig, const std::string& begin,
                   const std::string& end) {
  int n = 0;
  for (const std::string& line : testing::LogTexts(rig.server())) {
    if (line.rfind(begin, 0) == 0 && line.size() >= end.size() &&
        line.compare(line.size() - end.size(), end.size(), end) == 0) {
      ++n;
    }
  }
  return n;
}

// The scan box's write lock is held by another process while the first pass
// delivers: the copy into mail.box is made, the deletion fails. The next
// pass draws mail3.box, yet the message must be finished where it already
// is, and counted once.
TEST(ExactlyOnce, ADeliveryWhoseDeletionWasBlockedEndsInItsFirstMailBox) {
  const char* build = std::getenv("VT_BUILD_DIR");
  ASSERT_NE(build, nullptr) << "VT_BUILD_DIR names the build tree";
  EngineRig rig({{"MailboxNsf",
                  std::vector<std::string>{kMailBox, kMailBox2, kMailBox3}}});
  testing::CreateDatabaseAt(rig.server(), kMailBox2);
  testing::CreateDatabaseAt(rig.server(), kMailBox3);
  ASSERT_EQ(rig.Start(), 0);
  DepositMessage(rig.server(), kScanBox1, "m",
                 {{"VeltraneVerified", "1"}, {"Kesto_Router", "M"}});
  // One draw per scan box and pass: mail.box first, mail3.box next.
  rig.system.randomValues = {0, 0, 32767, 0};

  const std::filesystem::path out = rig.world.dir().File("holder.out");
  tool::ChildProcess holder;
  ASSERT_TRUE(holder
                  .Start(std::string(build) + "/tests/vt_hold_write_lock",
                         {rig.world.dir().File("Veltrane/Scan/Scan_1.box")},
                         out.string())
                  .ok());
  for (int i = 0; i < 500 && ReadFile(out) != "held\n"; ++i) {
    ASSERT_TRUE(holder.Running()) << ReadFile(out);
    usleep(10000);
  }
  ASSERT_EQ(ReadFile(out), "held\n");
  rig.Pass();  // waits out the busy timeout on the deletion
  holder.Signal(SIGKILL);
  ASSERT_TRUE(holder.WaitForExit(10000));
  rig.Pass();

  const testing::Census census = testing::TakeCensus(
      rig.server(), {kMailBox, kMailBox2, kMailBox3, kScanBox1, kScanBox2});
  EXPECT_EQ(census.at("m"), std::vector<std::string>{kMailBox});
  EXPECT_EQ(rig.totals.Mail, 1);
  EXPECT_EQ(rig.CountLine("VTRouter: Moved 0 messages to mail.box.  1 errors."),
            1);
  EXPECT_EQ(rig.CountLine("VTRouter: Moved 1 messages to mail.box"), 1);
  EXPECT_EQ(CountLinesWith(rig, "VTRouter: Error deleting mail message ",
                           " after copying it to mail.box. Database is in use "
                           "by another process"),
            1);
}

// Stands for the scanner: gives its verdict through a connection of its own
// at the moment release has the message open.
class VerdictBeforeSave : public testing::EngineNotes {
 public:
  VerdictBeforeSave(LocalNotesServices& server, LocalNotesServices& scanner)
      : EngineNotes(server), scanner_(scanner) {}

  bool armed = false;  // the next save gets the verdict in before it

  Status UpdateNote(NoteHandle note, uint16_t flags) override {
    if (armed) {
      armed = false;
      EXPECT_TRUE(testing::GiveVerdict(scanner_, kScanBox1, "late", "D"));
    }
    return EngineNotes::UpdateNote(note, flags);
  }

 private:
  LocalNotesServices& scanner_;
};

TEST(ExactlyOnce, AVerdictGivenWhileReleaseHasTheMessageOpenIsKept) {
  testing::RouterWorld world({{"ReleaseMailMinutes", 10}});
  std::unique_ptr<LocalNotesServices> scanner =
      world.dir().MakeServer(&world.clock());
  ASSERT_NE(scanner, nullptr);
  testing::FakeMachine machine;
  testing::FakeSystem system(machine);
  VerdictBeforeSave notes(world.server(), *scanner);
  RouterEngine engine(notes, system);
  ASSERT_EQ(StartEngine(engine), 0);
  engine.releaseEnabled = 1;
  notes.armed = true;
  DepositMessage(world.server(), kScanBox1, "late", {},
                 world.clock().NowUnixCentis() - 11 * 60 * 100);

  MessageCounts totals;
  RunProcessingPass(engine, &totals);
  // Release lost the race and saved nothing; the verdict stands.
  EXPECT_EQ(
      testing::MessageItem(world.server(), kScanBox1, "late", "Kesto_Router"),
      "D");
  EXPECT_FALSE(testing::MessageHasItem(world.server(), kScanBox1, "late",
                                       "VTRouterReleased"));
  for (const std::string& line : testing::LogTexts(world.server())) {
    EXPECT_EQ(line.find("Releasing"), std::string::npos) << line;
  }
  RunProcessingPass(engine, &totals);
  const testing::Census census = testing::TakeCensus(
      world.server(), {kMailBox, kScanBox1, kScanBox2, testing::kQuarantineD});
  EXPECT_EQ(census.at("late"), std::vector<std::string>{testing::kQuarantineD});
  EXPECT_EQ(totals.SpamD, 1);
  EXPECT_EQ(totals.Mail, 0);
  ShutdownEngine(engine);
}

}  // namespace
}  // namespace vt
