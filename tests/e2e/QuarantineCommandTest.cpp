// The quarantine through the real programs: a false positive found by its
// subject, released once and only once, and old spam purged, beside a
// running router; a release repeated after it died half-way; and what a
// reviewer sees of a message (whom it was for, why it was taken, its text)
// and the release of every message a search finds.
#include <filesystem>
#include <nlohmann/json.hpp>

#include "DataDirTest.h"
#include "QuarantinedMail.h"
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

// A letter in two forms (quoted-printable text and HTML), to two
// recipients, that rspamd and spamd both called spam.
const std::string kLongSubject =
    "Your invoice 4711 for the order of last week, with the delivery note "
    "and the terms attached";
const std::string kLetter =
    "From: Mallory <mallory@example.net>\r\nTo: bob@example.com\r\n"
    "Subject: " +
    kLongSubject +
    "\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/alternative; boundary=\"b1\"\r\n\r\n"
    "--b1\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
    "Your invoice is attached. Caf=C3=A9 soft=\r\nbreak\r\n"
    "--b1\r\nContent-Type: text/html\r\n\r\n<p>HTML version</p>\r\n"
    "--b1--\r\n";
// Only HTML, base64: <style>, <script> and an image's handler around
// "Hello & welcome".
const std::string kHtmlOnly =
    "From: x@example.net\r\nSubject: Greetings\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "PGh0bWw+PGhlYWQ+PHN0eWxlPnB7fTwvc3R5bGU+"
    "PHNjcmlwdD5hbGVydCgxKTwvc2NyaXB0Pjwv\r\n"
    "aGVhZD48Ym9keT48cD5IZWxsbyAmYW1wOyB3ZWxjb21lPC9wPjxpbWcgc3JjPXggb25lcnJvcj"
    "1h\r\n"
    "bGVydCgyKT48L2JvZHk+PC9odG1sPg==\r\n";

TEST_F(Quarantine, AReviewerSeesWhyAMessageWasTakenAndReleasesEveryMatch) {
  Items letter = SmtpItems(kLetter, {"bob@example.com", "carol@example.org"});
  letter.insert_or_assign("Subject", kLongSubject);
  letter.insert_or_assign("VTScanEngine",
                          std::vector<std::string>{"rspamd", "spamd"});
  letter.insert_or_assign("VTScanScore",
                          std::vector<std::string>{"15.00", "1000.0"});
  letter.insert_or_assign("VTScanRequired",
                          std::vector<std::string>{"15.00", "5.0"});
  letter.insert_or_assign("VTScanAction",
                          std::vector<std::string>{"reject", "spam"});
  letter.insert_or_assign(
      "VTScanSymbols",
      std::vector<std::string>{"rspamd:GTUBE(0.00)",
                               "rspamd:MISSING_DATE(1.00)", "spamd:GTUBE"});
  letter.insert_or_assign("VTScanTime", "2026-12-09T18:02:37Z");
  letter.insert_or_assign("VTScanMillis", "120");
  AddQuarantined(dir(), letter);
  Items html = SmtpItems(kHtmlOnly, {"dave@example.com"});
  html.insert_or_assign("Subject", "Greetings");
  html.insert_or_assign("VTScanEngine",
                        std::vector<std::string>{"rspamd", "clamd"});
  html.insert_or_assign("VTScanScore", std::vector<std::string>{"9.50", ""});
  html.insert_or_assign("VTScanVirus",
                        std::vector<std::string>{"Eicar-Test-Signature"});
  AddQuarantined(dir(), html);
  // The stand-ins' mail: SendTo and Body, no size, no scan.
  for (const char* subject : {"Newsletter 1", "Newsletter 2"}) {
    AddQuarantined(dir(), Items{{"Form", "Memo"},
                                {"From", "news@example.org"},
                                {"SendTo", "CN=Erin/O=Example"},
                                {"Subject", subject},
                                {"Body", std::vector<std::string>{"Hi"}}});
  }
  ASSERT_FALSE(HasFailure());

  const RunResult listed = Vt({"quarantine", dir(), "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  std::map<std::string, Json> bySubject;
  for (const Json& m : Json::parse(listed.out)) bySubject[m["subject"]] = m;
  ASSERT_EQ(bySubject.size(), 4u) << listed.out;
  const Json& a = bySubject[kLongSubject];
  EXPECT_EQ(a["recipients"], Json({"bob@example.com", "carol@example.org"}));
  EXPECT_EQ(a["size"], kLetter.size());
  EXPECT_EQ(a["score"], "rspamd 15.00, spamd 1000.0");
  EXPECT_EQ(a["scan"][0]["rules"], Json({"GTUBE(0.00)", "MISSING_DATE(1.00)"}));
  EXPECT_EQ(a["scan"][1]["rules"], Json({"GTUBE"}));
  EXPECT_EQ(a["scan"][1]["required"], "5.0");
  EXPECT_EQ(bySubject["Greetings"]["score"],
            "rspamd 9.50, clamd Eicar-Test-Signature");
  const Json& news = bySubject["Newsletter 1"];
  EXPECT_EQ(news["recipients"], Json({"CN=Erin/O=Example"}));
  EXPECT_TRUE(news["size"].is_null());
  EXPECT_EQ(news["score"], "");

  // Searched by a recipient, in any case.
  const RunResult carol =
      Vt({"quarantine", dir(), "list", "--to", "CAROL@", "--json"});
  ASSERT_EQ(carol.exitCode, 0) << carol.err;
  ASSERT_EQ(Json::parse(carol.out).size(), 1u);
  EXPECT_EQ(Json::parse(carol.out)[0]["unid"], a["unid"]);

  // The list cuts the subject; show gives it whole, the evidence per
  // engine, and the text part decoded.
  const RunResult table = Vt({"quarantine", dir(), "list", "--to", "carol"});
  EXPECT_NE(table.out.find("rspamd 15.00, spamd 1000.0"), std::string::npos)
      << table.out;
  EXPECT_NE(table.out.find(kLongSubject.substr(0, 60)), std::string::npos);
  EXPECT_EQ(table.out.find(kLongSubject), std::string::npos);
  EXPECT_NE(table.out.find("\u2026\n"), std::string::npos);
  const std::string id = a["unid"];
  const RunResult shown = Vt({"quarantine", dir(), "show", id});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  for (const std::string& expected : std::vector<std::string>{
           "\nTo:           bob@example.com, carol@example.org\n",
           "\nScan:         rspamd 15.00 of 15.00 (reject): GTUBE(0.00) "
           "MISSING_DATE(1.00)\n              spamd 1000.0 of 5.0 (spam): "
           "GTUBE\n",
           "\nScanned:      2026-12-09T18:02:37Z, in 120 ms\n",
           "\nPreview:\n    Your invoice is attached. Caf\u00e9 "
           "softbreak\nItems:\n",
           "\nSubject = " + kLongSubject + "\n"}) {
    EXPECT_NE(shown.out.find(expected), std::string::npos)
        << expected << "\nin\n"
        << shown.out;
  }
  const RunResult shownHtml = Vt(
      {"quarantine", dir(), "show", bySubject["Greetings"]["unid"], "--json"});
  ASSERT_EQ(shownHtml.exitCode, 0) << shownHtml.err;
  const Json preview = Json::parse(shownHtml.out)["preview"];
  EXPECT_EQ(preview["text"], "Hello & welcome");
  EXPECT_EQ(preview["fromHtml"], true);

  // Learning wants engines, and says so before anything is released.
  const RunResult unlearnt =
      Vt({"quarantine", dir(), "release", id, "--learn"});
  EXPECT_EQ(unlearnt.exitCode, 1);
  EXPECT_NE(unlearnt.err.find("no engines to learn with: set them in "
                              "server.ini's [Scanner] section"),
            std::string::npos)
      << unlearnt.err;
  EXPECT_EQ(Count(kQuarantineC1, kLongSubject), 1);

  // Every match, or with no search the whole quarantine only by force.
  const RunResult unforced =
      Vt({"quarantine", dir(), "release", "--all-matching"});
  EXPECT_EQ(unforced.exitCode, 1);
  EXPECT_TRUE(IsOneLineError(unforced));
  EXPECT_NE(unforced.err.find("add --force"), std::string::npos);
  const RunResult all = Vt({"quarantine", dir(), "release", "--all-matching",
                            "--subject", "newsletter", "--recipient", "erin"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  EXPECT_TRUE(all.out.ends_with("\n2 of 2 matching messages released\n"))
      << all.out;
  EXPECT_EQ(Count("mail.box", "Newsletter 1"), 1);
  EXPECT_EQ(Count("mail.box", "Newsletter 2"), 1);
  EXPECT_EQ(Count(kQuarantineC1, kLongSubject), 1);
  EXPECT_EQ(Count(kQuarantineC1, "Greetings"), 1);
}

}  // namespace
}  // namespace vt::e2e
