// The mail server's and the scanner's stand-ins on their own, without a
// router: what `send` writes and what `scan` marks.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "DataDirTest.h"
#include "notes/Handles.h"
#include "server/LocalNotesServices.h"

namespace vt::e2e {
namespace {

class SendAndScan : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init("CN=Mail1/O=Example");
  }

  // A database of DIR made directly through the server.
  void MakeDatabase(const char* path) {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    ASSERT_EQ(server.Start(), Status());
    ASSERT_EQ(server.CreateDatabase(path, 0xFF01, false), Status());
  }
};

TEST_F(SendAndScan, SendWritesWhatTheMailServerWould) {
  const RunResult r = Vt({"send", dir(), "--count", "3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::vector<StoredMessage> mail = Messages("mail.box");
  ASSERT_EQ(mail.size(), 3u);
  std::string ids;
  std::set<std::string> messageIds;
  for (size_t i = 0; i < mail.size(); ++i) {
    const StoredMessage& m = mail[i];
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", m.noteId);
    ids += (i == 0 ? "" : " ") + std::string(hex);
    EXPECT_EQ(m.Item("Form"), "Memo");
    EXPECT_FALSE(m.Item("From").empty());
    EXPECT_FALSE(m.Item("SendTo").empty());
    EXPECT_EQ(m.Item("Subject"), "Test message " + std::to_string(i + 1));
    EXPECT_EQ(m.Item("VeltraneProcess"), "1");
    EXPECT_FALSE(m.Has("RoutingState"));
    EXPECT_FALSE(m.Has("VeltraneVerified"));
    ASSERT_TRUE(m.Has("Body"));
    EXPECT_EQ(m.flags.at("Body") & kItemFlagSummary, 0);
    EXPECT_NE(m.flags.at("Subject") & kItemFlagSummary, 0);
    messageIds.insert(m.Item("VTMessageId"));
  }
  EXPECT_EQ(r.out, ids + "\n");
  EXPECT_EQ(messageIds.size(), 3u);
  EXPECT_EQ(messageIds.count(""), 0u);
}

TEST_F(SendAndScan, HeldDeadAndUnprocessedMail) {
  ASSERT_EQ(Vt({"send", dir(), "--hold", "--subject", "held"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--dead", "--subject", "dead"}).exitCode, 0);
  ASSERT_EQ(Vt({"send", dir(), "--no-process", "--subject", "plain"}).exitCode,
            0);
  const std::vector<StoredMessage> mail = Messages("mail.box");
  ASSERT_EQ(mail.size(), 3u);
  EXPECT_EQ(mail[0].Item("RoutingState"), "HOLD");
  EXPECT_EQ(mail[0].Item("VeltraneProcess"), "1");
  EXPECT_EQ(mail[1].Item("RoutingState"), "DEAD");
  EXPECT_FALSE(mail[1].Item("DeadFailureReason").empty());
  EXPECT_FALSE(mail[2].Has("VeltraneProcess"));
  EXPECT_FALSE(mail[2].Has("RoutingState"));
}

TEST_F(SendAndScan, AgeSetsTheCreationTimeInThePast) {
  ASSERT_EQ(Vt({"send", dir(), "--age", "90"}).exitCode, 0);
  const std::vector<StoredMessage> mail = Messages("mail.box");
  ASSERT_EQ(mail.size(), 1u);
  const int64_t nowCentis = static_cast<int64_t>(std::time(nullptr)) * 100;
  const int64_t ageMinutes = (nowCentis - mail[0].createdCentis) / 6000;
  EXPECT_GE(ageMinutes, 89);
  EXPECT_LE(ageMinutes, 92);
}

TEST_F(SendAndScan, ScanGivesEveryUnverifiedMessageTheVerdict) {
  ASSERT_EQ(Vt({"send", dir(), "--count", "3"}).exitCode, 0);
  const RunResult scan =
      Vt({"scan", dir(), "--db", "mail.box", "--verdict", "B"});
  ASSERT_EQ(scan.exitCode, 0) << scan.err;
  EXPECT_EQ(scan.out, "3 messages given verdict B\n");
  for (const StoredMessage& m : Messages("mail.box")) {
    EXPECT_EQ(m.Item("VeltraneVerified"), "1");
    EXPECT_EQ(m.Item("Kesto_Router"), "B");
  }
  // Verified mail keeps its verdict.
  ASSERT_EQ(Vt({"send", dir()}).exitCode, 0);
  const RunResult again =
      Vt({"scan", dir(), "--db", "mail.box", "--verdict", "m"});
  EXPECT_EQ(again.out, "1 message given verdict M\n");
  int b = 0, m = 0;
  for (const StoredMessage& msg : Messages("mail.box")) {
    b += msg.Item("Kesto_Router") == "B";
    m += msg.Item("Kesto_Router") == "M";
  }
  EXPECT_EQ(b, 3);
  EXPECT_EQ(m, 1);
}

TEST_F(SendAndScan, ScanSkipsScanBoxesTheRouterHasNotMadeYet) {
  const RunResult r = Vt({"scan", dir(), "--verdict", "M"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "0 messages given verdict M\n");
}

TEST_F(SendAndScan, ScanReadsTheScanBoxesFromTheConfiguration) {
  MakeDatabase("Boxes/First.box");
  ASSERT_EQ(
      Vt({"send", dir(), "--db", "Boxes/First.box", "--count", "2"}).exitCode,
      0);
  ASSERT_EQ(Vt({"send", dir()}).exitCode, 0);
  ASSERT_EQ(Vt({"config", dir(), "ScanningNsf=Boxes\\First.box;Boxes/None.box"})
                .exitCode,
            0);
  const RunResult r = Vt({"scan", dir(), "--verdict", "C"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "2 messages given verdict C\n");
  EXPECT_FALSE(Messages("mail.box").front().Has("VeltraneVerified"));
}

TEST_F(SendAndScan, AScanBoxThatCannotBeReadDoesNotKeepTheOthersWaiting) {
  MakeDatabase("Boxes/Good.box");
  ASSERT_EQ(
      Vt({"send", dir(), "--db", "Boxes/Good.box", "--count", "2"}).exitCode,
      0);
  {
    std::ofstream bad(std::filesystem::path(dir()) / "Boxes" / "Bad.box");
    bad << std::string(8192, 'g');
  }
  ASSERT_EQ(Vt({"config", dir(), "ScanningNsf=Boxes/Bad.box;Boxes/Good.box"})
                .exitCode,
            0);
  const RunResult r = Vt({"scan", dir(), "--verdict", "D"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "2 messages given verdict D\n");
  EXPECT_TRUE(IsOneLineError(r));
  EXPECT_NE(r.err.find("Boxes/Bad.box"), std::string::npos) << r.err;
  for (const StoredMessage& m : Messages("Boxes/Good.box")) {
    EXPECT_EQ(m.Item("Kesto_Router"), "D");
  }
}

}  // namespace
}  // namespace vt::e2e
