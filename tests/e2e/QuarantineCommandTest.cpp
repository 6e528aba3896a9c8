// The quarantine through the real programs: a false positive found by its
// subject, released once and only once, and old spam purged, beside a
// running router; and a release repeated after it died half-way.
#include <filesystem>
#include <nlohmann/json.hpp>

#include "DataDirTest.h"
#include "notes/Handles.h"
#include "server/LocalNotesServices.h"

namespace vt::e2e {
namespace {

constexpr int kRouterMillis = 30000;
constexpr char kQuarantineC1[] = "Veltrane/QuarantineC_1.nsf";
constexpr char kQuarantineC2[] = "Veltrane/QuarantineC_2.nsf";

using Json = nlohmann::json;

class Quarantine : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    Init(UniqueServerName(), 2);
  }

  // The universal IDs `quarantine list` gives for messages with subject.
  std::vector<std::string> ListIds(const std::string& subject) {
    const RunResult r =
        Vt({"quarantine", dir(), "list", "--subject", subject, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> ids;
    for (const Json& m : Json::parse(r.out)) ids.push_back(m["unid"]);
    return ids;
  }

  bool Wait(const std::function<bool()>& done) {
    return WaitUntil(done, kRouterMillis);
  }
};

TEST_F(Quarantine, AFalsePositiveIsFoundReleasedOnceAndNotTakenAgain) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("Invoice 4711", 1);
  Send("Cheap pills", 2);
  ASSERT_TRUE(WaitForCount("Veltrane/Scan/Scan_1.box", "Cheap pills", 2));
  ASSERT_TRUE(WaitForCount("Veltrane/Scan/Scan_1.box", "Invoice 4711", 1));
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(kQuarantineC1, "Invoice 4711", 1)) << ServerLog();
  ASSERT_TRUE(WaitForCount(kQuarantineC1, "Cheap pills", 2));

  // Found by a part of its subject in any case, with what identifies it.
  const RunResult listed =
      Vt({"quarantine", dir(), "list", "--subject", "inVOICE", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const Json found = Json::parse(listed.out);
  ASSERT_EQ(found.size(), 1u) << listed.out;
  EXPECT_EQ(found[0]["perimeter"], "C");
  EXPECT_EQ(found[0]["database"], kQuarantineC1);
  EXPECT_EQ(found[0]["subject"], "Invoice 4711");
  EXPECT_EQ(found[0]["from"], "CN=Sender/O=Example");
  const std::string id = found[0]["unid"];
  EXPECT_NE(
      Vt({"quarantine", dir(), "show", id}).out.find("Subject = Invoice 4711"),
      std::string::npos);

  // Released with an unknown ID beside it: the known one still goes.
  const RunResult released = Vt(
      {"quarantine", dir(), "release", "00000000000000000000000000000000", id});
  EXPECT_EQ(released.exitCode, 1);
  EXPECT_NE(released.err.find("00000000000000000000000000000000: no "
                              "quarantined message has this ID"),
            std::string::npos)
      << released.err;
  EXPECT_EQ(released.out,
            id + ": released from " + kQuarantineC1 + " to mail.box\n");
  ASSERT_TRUE(WaitForCount("mail.box", "Invoice 4711", 1));
  EXPECT_EQ(Count(kQuarantineC1, "Invoice 4711"), 0);
  for (const StoredMessage& m : Messages("mail.box")) {
    if (m.Item("Subject") != "Invoice 4711") continue;
    EXPECT_EQ(m.Item("VeltraneVerified"), "1");
    EXPECT_EQ(m.Item("Kesto_Router"), "M");
    EXPECT_EQ(m.Item("VTAdminReleased"), "1");
  }
  EXPECT_TRUE(Logged("vtserver: Released message " + id + " from " +
                     kQuarantineC1 + " to mail.box."));

  // Again: an error for that ID, and nothing duplicated.
  const RunResult again = Vt({"quarantine", dir(), "release", id});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("not in quarantine (it is in mail.box"),
            std::string::npos)
      << again.err;

  // The router's later passes leave it where it is.
  Send("Later", 1);
  ASSERT_TRUE(WaitForCount("Veltrane/Scan/Scan_1.box", "Later", 1));
  EXPECT_EQ(Count("mail.box", "Invoice 4711"), 1);
  EXPECT_EQ(Count("mail2.box", "Invoice 4711"), 0);
  EXPECT_EQ(Count("Veltrane/Scan/Scan_1.box", "Invoice 4711"), 0);
  EXPECT_EQ(ListIds("Cheap pills").size(), 2u);
  router.Signal(SIGTERM);
  EXPECT_TRUE(router.WaitForExit(kRouterMillis));
}

TEST_F(Quarantine, PurgeDeletesOldSpamAndRemovesEmptiedRolledOverFiles) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  // Three days old, then rolled over, then new spam into the new database.
  ASSERT_EQ(Vt({"send", dir(), "--count", "2", "--subject", "Old spam", "--age",
                "4320"})
                .exitCode,
            0);
  ASSERT_TRUE(WaitForCount("Veltrane/Scan/Scan_1.box", "Old spam", 2));
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(kQuarantineC1, "Old spam", 2)) << ServerLog();
  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "newqc"}).exitCode, 0);
  ASSERT_TRUE(Wait([&] { return Logged("Created new database"); }))
      << ServerLog();
  Send("New spam", 1);
  ASSERT_TRUE(WaitForCount("Veltrane/Scan/Scan_1.box", "New spam", 1));
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  ASSERT_TRUE(WaitForCount(kQuarantineC2, "New spam", 1)) << ServerLog();

  // Both databases of the perimeter are listed.
  EXPECT_EQ(ListIds("spam").size(), 3u);

  const RunResult dry = Vt({"quarantine", dir(), "purge", "--older-than", "2",
                            "--perimeter", "c", "--dry-run"});
  ASSERT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_EQ(dry.out, std::string(kQuarantineC1) +
                         ": 2 would be deleted, 0 left, would be removed\n" +
                         kQuarantineC2 + ": 0 would be deleted, 1 left\n");
  EXPECT_EQ(Count(kQuarantineC1, "Old spam"), 2);

  const RunResult purged =
      Vt({"quarantine", dir(), "purge", "--older-than", "2"});
  ASSERT_EQ(purged.exitCode, 0) << purged.err;
  EXPECT_NE(purged.out.find(std::string(kQuarantineC1) +
                            ": 2 deleted, 0 left, removed\n"),
            std::string::npos)
      << purged.out;
  EXPECT_FALSE(std::filesystem::exists(folder() / "data" / kQuarantineC1));
  EXPECT_EQ(Count(kQuarantineC2, "New spam"), 1);
  // The configured databases stay, even empty ones.
  EXPECT_TRUE(
      std::filesystem::exists(folder() / "data/Veltrane/QuarantineB_1.nsf"));
  EXPECT_TRUE(Logged("vtserver: Purged 2 quarantined messages from " +
                     std::string(kQuarantineC1) + "."));
  // The router goes on filling the configured one.
  Send("Newer spam", 1);
  ASSERT_TRUE(WaitForCount("Veltrane/Scan/Scan_1.box", "Newer spam", 1));
  ASSERT_EQ(Vt({"scan", dir(), "--verdict", "C"}).exitCode, 0);
  EXPECT_TRUE(WaitForCount(kQuarantineC2, "Newer spam", 1)) << ServerLog();
  router.Signal(SIGTERM);
  EXPECT_TRUE(router.WaitForExit(kRouterMillis));
}

// A release that died after its copy reached mail.box and before it left
// the quarantine, repeated towards another mail box: it finishes where the
// copy is, or, when the mail server has taken that copy away meanwhile,
// writes nothing more.
class RepeatedRelease : public Quarantine,
                        public ::testing::WithParamInterface<bool> {
 protected:
  // Puts a quarantined message in place and does the first half of a
  // release by hand; returns its universal ID.
  std::string HalfReleased(bool delivered) {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    EXPECT_EQ(server.Start(), Status());
    EXPECT_EQ(server.CreateDatabase(kQuarantineC1, 0xFF01, false), Status());
    Send("Half released", 1, kQuarantineC1);
    DbHandle quarantine, mailBox;
    EXPECT_EQ(server.OpenDatabase(kQuarantineC1, &quarantine), Status());
    EXPECT_EQ(server.OpenDatabase("mail.box", &mailBox), Status());
    const uint32_t noteId = Messages(kQuarantineC1).at(0).noteId;
    NoteHandle note;
    EXPECT_EQ(server.OpenNote(quarantine, noteId, 0, &note), Status());
    for (const char* item : {"VeltraneVerified", "VTAdminReleased"}) {
      EXPECT_EQ(server.SetTextItem(note, item, "1", 1), Status());
    }
    EXPECT_EQ(server.SetTextItem(note, "Kesto_Router", "M", 1), Status());
    EXPECT_EQ(server.UpdateNote(note, 0), Status());
    EXPECT_EQ(server.CloseNote(note), Status());
    uint32_t copyId = 0;
    uint16_t copyClass = 0;
    EXPECT_EQ(server.CopyNote(quarantine, 0, 0, noteId, mailBox, 0, 0,
                              0x03000000, 1, &copyId, &copyClass),
              Status());
    if (delivered) {
      EXPECT_EQ(server.DeleteNote(mailBox, copyId, 0), Status());
    }
    OriginatorId oid;
    EXPECT_EQ(server.GetNoteOriginatorId(quarantine, noteId, &oid), Status());
    EXPECT_EQ(server.CloseDatabase(quarantine), Status());
    EXPECT_EQ(server.CloseDatabase(mailBox), Status());
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string id;
    for (const uint8_t byte : oid.unid) {
      id.push_back(kHex[byte >> 4]);
      id.push_back(kHex[byte & 0xF]);
    }
    return id;
  }
};

TEST_P(RepeatedRelease, FinishesWithoutASecondCopy) {
  const bool delivered = GetParam();
  const std::string id = HalfReleased(delivered);
  ASSERT_FALSE(HasFailure());
  const RunResult r =
      Vt({"quarantine", dir(), "release", id, "--to", "mail2.box"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, id + ": released from " + kQuarantineC1 + " to mail.box\n");
  EXPECT_EQ(Count(kQuarantineC1, "Half released"), 0);
  EXPECT_EQ(Count("mail.box", "Half released"), delivered ? 0 : 1);
  EXPECT_EQ(Count("mail2.box", "Half released"), 0);
}

INSTANTIATE_TEST_SUITE_P(CopyStillThereOrDelivered, RepeatedRelease,
                         ::testing::Bool());

}  // namespace
}  // namespace vt::e2e
