// Bad input given to a running vtrouter for real: configuration documents
// with values of the wrong type or length and paths that leave the data
// directory, and console commands of every size and byte. Each time the
// router must say what went wrong, keep running, and lose no message.
#include "RouterBadInput.h"

namespace vt::e2e {
namespace {

TEST_F(RouterBadInput, ConfigValuesOfTheWrongTypeOrTooLongAreRefused) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("before", 2);
  if (HasFatalFailure()) return;

  // What vtserver can check itself it refuses before writing anything.
  const std::string shown = Vt({"config", dir()}).out;
  for (const std::string& assignment :
       {std::string("MaxQuarantineSize=abc"),
        std::string("ReleaseMailMinutes= 15"),
        std::string("AlternateInterceptor=1x"),
        std::string("MaxQuarantineSize=1e999"), std::string("MailboxNsf=;;"),
        "ScanningNsf=" + std::string(500, 's'), std::string("=mail.box"),
        std::string("Mail-box=x")}) {
    EXPECT_TRUE(IsOneLineError(Vt({"config", dir(), assignment})))
        << assignment;
  }
  EXPECT_EQ(Vt({"config", dir()}).out, shown);

  // Values too long for the router's fields, past every buffer: each is
  // refused, the field keeps what it had, and nothing is re-initialised.
  size_t mark = Mark();
  Config({"CatBQNsfD=" + LongPath(260), "CatCQNsfD=" + LongPath(5000),
          "CatDQServer=" + std::string(300, 'S'),
          "MailboxServer=CN=" + std::string(300, 'M'),
          "ScanningServer=" + std::string(300, 's')});
  if (HasFatalFailure()) return;
  const std::string tooLong = "VTRouter: Configuration value ";
  ASSERT_TRUE(WaitForLogSince(
      mark, tooLong + "CatDQServer is too long (at most 256 characters). "
                      "Buffer is too small\n"))
      << LogSince(mark);
  for (const std::string& line :
       {tooLong + "MailboxServer is too long (at most 256 characters). ",
        tooLong + "ScanningServer is too long (at most 256 characters). ",
        tooLong + "CatBQNsfD is too long (at most 259 characters). ",
        tooLong + "CatCQNsfD is too long (at most 259 characters). "}) {
    EXPECT_TRUE(LoggedSince(mark, line)) << line << "\n" << LogSince(mark);
  }
  ASSERT_TRUE(WaitForCount(kScanBox1, "before", 2)) << LogSince(mark);
  Scan('B', 2);
  ASSERT_TRUE(WaitForCount(kQuarantineB, "before", 2)) << LogSince(mark);
  EXPECT_FALSE(LoggedSince(mark, "Reinitialize successful.")) << LogSince(mark);
  EXPECT_TRUE(FilesNamed("qqqq").empty());
  ExpectAlive(router);
  if (HasFatalFailure()) return;

  // A number where text belongs reads as its text, as in Notes: server
  // "42" is no server this one knows, so no mail box opens. Text where a
  // number belongs reads as the default. Mail then waits where it is.
  mark = Mark();
  WriteConfigItems({NumberItem("MailboxServer", 42),
                    NumberItem("ScanningNsf", 3),
                    TextItem("MaxQuarantineSize", "abc"),
                    TextItem("ReleaseMailMinutes", "15"), Removed("CatBQNsfD"),
                    Removed("CatCQNsfD"), Removed("CatDQServer"),
                    Removed("ScanningServer")});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(mark,
                              "VTRouter: Unable to open any mail boxes on the "
                              "mail box list.  Veltrane disabled.\n"))
      << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark, "VTRouter: Reinitialize successful.\n"));
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Unable to open database '42!!mail.box'.  "
                          "Skipping database. Unable to find path to server"))
      << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Missing scanning database names in "
                          "configuration document.  Adding defaults."));
  Send("during", 2);
  if (HasFatalFailure()) return;
  ExpectAlive(router);
  if (HasFatalFailure()) return;
  EXPECT_EQ(Count("mail.box", "during"), 2);

  // A good configuration again: the waiting mail flows.
  mark = Mark();
  Config({"MailboxServer=", "ScanningNsf=", "MaxQuarantineSize=2048",
          "ReleaseMailMinutes="});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "during", 2)) << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark, "VTRouter: Reinitialize successful.\n"));
  Scan('M', 2);
  ASSERT_TRUE(WaitForCount("mail.box", "during", 2)) << LogSince(mark);
  ASSERT_TRUE(
      WaitUntil([&] { return Messages(kScanBox1).empty(); }, kRouterMillis));
  Quit(router);
  ExpectPlaces(
      {{"before", 2, {kQuarantineB}, "B"}, {"during", 2, {"mail.box"}, "M"}});
}

TEST_F(RouterBadInput, DatabasePathsThatLeaveTheDataDirectoryAreNotOpened) {
  // A mail box beyond the tenth name, holding a message the router must
  // never see.
  {
    std::unique_ptr<LocalNotesServices> server;
    ASSERT_TRUE(tool::OpenDataDirectory(dir(), &server).ok());
    ASSERT_TRUE(
        server->CreateDatabase("mail11.box", vt::kDatabaseClass, false).ok());
  }
  Send("eleventh", 1, "mail11.box");
  if (HasFatalFailure()) return;
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  const std::set<std::string> outsideBefore = OutsideEntries();
  const std::string absolute = folder().string() + "/abs.box";

  // Twenty mail boxes, the first three leading out; scan boxes likewise.
  std::string mailboxes =
      "../out.box;" + absolute + ";C:\\Mail\\mail.box;mail.box";
  for (int n = 5; n <= 20; ++n) {
    mailboxes += ";mail" + std::to_string(n) + ".box";
  }
  // Mail on its way while the edit is read; it ends in the scan box left.
  Send("first", 2);
  if (HasFatalFailure()) return;
  size_t mark = Mark();
  Config({"MailboxNsf=" + mailboxes,
          "ScanningNsf=../scan.box;" + folder().string() +
              "/scan.box;C:\\scan.box;Veltrane\\Scan\\Scan_1.box"});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(mark, "VTRouter: Unable to open database local " +
                                        folder().string() + "/scan.box. " +
                                        kOutside))
      << LogSince(mark);
  for (const std::string& line :
       {std::string("VTRouter: Only ten Mailbox values may be specified in "
                    "the configuration document.\n"),
        std::string("VTRouter: Reinitialize successful.\n"),
        std::string("VTRouter: Unable to open database '../out.box'.  "
                    "Skipping database. ") +
            kOutside,
        "VTRouter: Unable to open database '" + absolute +
            "'.  Skipping database. " + kOutside,
        std::string("VTRouter: Unable to open database 'C:\\Mail\\mail.box'.  "
                    "Skipping database. ") +
            kOutside,
        std::string("VTRouter: Unable to open database 'mail10.box'.  "
                    "Skipping database. File does not exist"),
        std::string("VTRouter: Unable to open database local ../scan.box. ") +
            kOutside,
        std::string("VTRouter: Unable to open database local C:\\scan.box. ") +
            kOutside}) {
    EXPECT_TRUE(LoggedSince(mark, line)) << line << "\n" << LogSince(mark);
  }
  EXPECT_FALSE(LoggedSince(mark, "mail11.box"));
  EXPECT_FALSE(LoggedSince(mark, "Created new"));

  // Mail still flows between the one mail box and the one scan box left.
  ASSERT_TRUE(WaitForCount(kScanBox1, "first", 2)) << LogSince(mark);
  // The scanner's stand-in reports the configured scan boxes it cannot
  // open, after giving its verdicts in the good one.
  ExpectScanWithOneFailure('M', 2);
  ASSERT_TRUE(WaitForCount("mail.box", "first", 2)) << LogSince(mark);

  // A quarantine outside: refused, and the router stops moving mail until
  // the configuration changes again.
  mark = Mark();
  Config({"CatBQNsfD=../escapeB.nsf"});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(
      mark, std::string("VTRouter: Unable to open database  ../escapeB.nsf. ") +
                kOutside))
      << LogSince(mark);
  Send("stuck", 2);
  if (HasFatalFailure()) return;
  mark = Mark();
  const std::string escapeC = folder().string() + "/escapeC.nsf";
  Config({"CatBQNsfD=", "CatCQNsfD=" + escapeC});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(
      mark, "VTRouter: Unable to open database  " + escapeC + ". " + kOutside))
      << LogSince(mark);
  EXPECT_EQ(Count("mail.box", "stuck"), 2);
  ExpectAlive(router);
  if (HasFatalFailure()) return;

  // A good configuration again.
  mark = Mark();
  Config({"CatCQNsfD=", "MailboxNsf=mail.box", "ScanningNsf="});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "stuck", 2)) << LogSince(mark);
  Scan('D', 2);
  ASSERT_TRUE(WaitForCount(kQuarantineD, "stuck", 2)) << LogSince(mark);
  Quit(router);

  EXPECT_EQ(OutsideEntries(), outsideBefore);
  EXPECT_FALSE(fs::exists(absolute));
  EXPECT_FALSE(fs::exists(escapeC));
  for (const char* name : {"escape", "out.box", "abs.box", "scan.box"}) {
    EXPECT_TRUE(FilesNamed(name).empty()) << name;
  }
  ExpectPlaces({{"eleventh", 1, {"mail11.box"}, ""},
                {"first", 2, {"mail.box"}, "M"},
                {"stuck", 2, {kQuarantineD}, "D"}});
}

TEST_F(RouterBadInput, ConsoleCommandsOfEverySizeAndByteAreTakenLiterally) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("console", 2);
  if (HasFatalFailure()) return;
  const size_t mark = Mark();

  // Refused by vtserver, nothing posted.
  for (const std::string& empty : {std::string(), std::string("   ")}) {
    const RunResult r = Vt({"tell", dir(), "vtrouter", empty});
    EXPECT_TRUE(IsOneLineError(r));
    EXPECT_EQ(r.err, "vtserver: the command is empty\n");
  }
  const std::string over = "o" + std::string(500, '1');
  const RunResult refused = Vt({"tell", dir(), "vtrouter", over});
  EXPECT_TRUE(IsOneLineError(refused));
  EXPECT_NE(refused.err.find("501"), std::string::npos) << refused.err;

  // Every other byte argv can carry, format directives, and the sizes up to
  // the queue's limit reach the router whole; its answer shows them as
  // typed, but for control bytes, which the log writes as '?'. None is a
  // command it knows, so tell exits 1 once each is posted.
  std::string binary = "bin";
  for (int b = 1; b <= 0xFF; ++b) binary.push_back(static_cast<char>(b));
  const std::string directives = "%s%n%x%p%%%999999999s%.99999f%c%ls%hhn";
  const std::string longest = "l" + std::string(499, '0');
  const std::string shorter = "s" + std::string(498, '9');
  for (const std::string& command :
       {std::string("x"), shorter, longest, binary, directives}) {
    const RunResult r = Vt({"tell", dir(), "vtrouter", command});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("vtrouter: Unknown command "), std::string::npos);
  }
  ASSERT_EQ(longest.size(), 500u);
  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "totals"}).exitCode, 0);
  // Commands are read in the order they were posted: after the totals,
  // every earlier one has had its answer.
  ASSERT_TRUE(WaitForLogSince(mark, "VTRouter: Totals for today"))
      << LogSince(mark);
  const std::string log = LogSince(mark);
  const std::string unknown = "VTRouter: Unknown command ";
  EXPECT_NE(log.find(unknown + "x\n"), std::string::npos) << log;
  EXPECT_NE(log.find(unknown + shorter + "\n"), std::string::npos);
  EXPECT_NE(log.find(unknown + longest + "\n"), std::string::npos);
  EXPECT_NE(log.find(unknown + AsLogged(binary) + "\n"), std::string::npos)
      << log;
  std::string controls;
  for (int b = 1; b < 0x20; ++b) {
    if (b != '\t' && b != '\n') controls.push_back(static_cast<char>(b));
  }
  controls.push_back('\x7F');
  EXPECT_EQ(ServerLog().find_first_of(controls), std::string::npos);
  EXPECT_NE(log.find(unknown + directives + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(over.substr(0, 100)), std::string::npos);

  ExpectAlive(router);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "console", 2)) << ServerLog();
  Scan('C', 2);
  ASSERT_TRUE(WaitForCount(kQuarantineC, "console", 2)) << ServerLog();
  Quit(router);
  ExpectPlaces({{"console", 2, {kQuarantineC}, "C"}});
}

}  // namespace
}  // namespace vt::e2e
