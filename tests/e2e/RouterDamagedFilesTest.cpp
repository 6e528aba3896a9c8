// Damaged files under a running vtrouter, for real: an INI file full of odd
// lines, databases and templates overwritten with garbage, a quarantine
// deleted, an INI path too long for its field. Each time the router must say
// what went wrong, keep running, and lose no message that was not inside
// the damaged file itself.
#include "RouterBadInput.h"

namespace vt::e2e {
namespace {

using RouterDamagedFiles = RouterBadInput;

TEST_F(RouterDamagedFiles, AnIniFileWithOddLinesStillLeadsToTheAdministration) {
  const fs::path program = CopyRouter();
  const fs::path ini = program.parent_path() / "Veltrane.ini";
  // Only the INI file knows where the administration database is now.
  MoveDatabase("Veltrane/VeltraneAdmin.nsf", "Admin/Moved.nsf");
  std::string binary;
  for (int b = 1; b <= 0xFF; ++b) {
    if (b != '\n') binary.push_back(static_cast<char>(b));
  }
  const std::vector<std::string> odd = {
      "\xEF\xBB\xBF; a byte order mark first",
      "a line with no equals sign",
      "[Admin NSF",  // never closed: not the section
      "Server=Unclosed/Example",
      "NSF=Veltrane\\VeltraneAdmin.nsf",
      binary,
      "[Other]",
      "NSF=Other.nsf",
      std::string(5000, 'k') + "=" + std::string(5000, 'v'),
      "[admin nsf]",
      "another line with no equals sign",
      "Server = local ",
      "Server=Second/Example",  // the first of a key counts
      "NSF = Admin\\Moved.nsf",
      "NSF=Veltrane\\VeltraneAdmin.nsf",
      "Long=" + std::string(10000, 'z'),
      "[a section that never ends",
  };
  std::string text;
  for (const std::string& line : odd) text += line + "\r\n";
  WriteBytes(ini, text);

  {
    BackgroundProcess router;
    StartRouterAt(program, router);
    if (HasFatalFailure()) return;
    for (const std::string& line :
         {"VTRouter: Found configuration INI file '" + ini.string() + "'.\n",
          "VTRouter: Reading INI file '" + ini.string() + "'.\n",
          "VTRouter: Reading configuration document for " + serverName_ +
              "\n"}) {
      EXPECT_TRUE(Logged(line)) << line << ServerLog();
    }
    EXPECT_FALSE(Logged("Unable to read"));
    EXPECT_FALSE(Logged("Error opening administration nsf"));
    Send("ini", 1);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(WaitForCount(kScanBox1, "ini", 1)) << ServerLog();
    Quit(router);
  }
  MoveDatabase("Admin/Moved.nsf", "Veltrane/VeltraneAdmin.nsf");

  // Keys missing from the section: the router says which and falls back
  // to the registry (none on Linux) and then the default place.
  struct Missing {
    std::string section;
    std::string line;
  };
  for (const Missing& m :
       {Missing{"[Admin NSF]\r\nNSF=Admin\\Moved.nsf\r\n",
                "VTRouter: Unable to read server name from INI file.\n"},
        Missing{"[Admin NSF]\r\nServer=local\r\n",
                "VTRouter: Unable to read NSF name from INI file.\n"}}) {
    WriteBytes(ini, odd[0] + "\r\n" + odd[1] + "\r\n" + binary + "\r\n" +
                        m.section + odd[15] + "\r\n" + odd[16]);
    const size_t mark = Mark();
    BackgroundProcess router;
    StartRouterAt(program, router);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(LoggedSince(mark, m.line)) << LogSince(mark);
    EXPECT_TRUE(LoggedSince(
        mark, "VTRouter: Unable to read AdminNsfServer registry key.\n"));
    EXPECT_TRUE(LoggedSince(
        mark, "VTRouter: Reading configuration document for " + serverName_));
    Quit(router);
  }
  ExpectPlaces({{"ini", 1, {kScanBox1}, ""}});
}

TEST_F(RouterDamagedFiles, GarbageInDatabasesAndTemplatesLosesNothingElse) {
  // A fixed seed: the same garbage every run.
  std::mt19937 random(20261208);
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;

  // Mail inside the scan box about to be damaged is lost with it.
  Send("early", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "early", 2)) << ServerLog();

  // Quarantine C and the first scan box turn to garbage under the router.
  Garble(kQuarantineC, random);
  Garble(kScanBox1, random);
  if (HasFatalFailure()) return;
  size_t mark = Mark();
  Send("late", 3);
  if (HasFatalFailure()) return;
  // Interception falls back on the second scan box.
  ASSERT_TRUE(WaitForCount(kScanBox2, "late", 3)) << LogSince(mark);
  EXPECT_TRUE(LoggedSince(
      mark, std::string("VTRouter: Error moving message.  ") + kDamaged));
  EXPECT_TRUE(WaitForLogSince(mark,
                              "VTRouter: Moved 3 messages to Scan box.  "
                              "3 errors.\n"))
      << LogSince(mark);
  EXPECT_TRUE(LoggedSince(
      mark,
      std::string("VTRouter: Error reading messages to process. ") + kDamaged))
      << LogSince(mark);
  mark = Mark();
  ExpectScanWithOneFailure('C', 3);
  // The other databases keep flowing.
  Send("mail", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(
      mark, "VTRouter: Moved 0 messages to Quarantine C.  3 errors.\n"))
      << LogSince(mark);
  ASSERT_TRUE(WaitForCount(kScanBox2, "mail", 2)) << LogSince(mark);
  Scan('M', 2, kScanBox2);
  ASSERT_TRUE(WaitForCount("mail.box", "mail", 2)) << LogSince(mark);
  EXPECT_EQ(Count(kScanBox2, "late"), 3);
  ExpectAlive(router);
  if (HasFatalFailure()) return;

  // The damaged databases removed, to be made again from templates that are
  // garbage too: creation fails, said once per database, and the router
  // stays.
  const fs::path data(dir());
  const std::string quarantineTemplate =
      ReadBytes(data / "Veltrane/quarantine.ntf");
  const std::string scanTemplate = ReadBytes(data / "Veltrane/scan.ntf");
  ASSERT_FALSE(quarantineTemplate.empty());
  ASSERT_FALSE(scanTemplate.empty());
  Garble("Veltrane/quarantine.ntf", random);
  Garble("Veltrane/scan.ntf", random);
  if (HasFatalFailure()) return;
  RemoveDatabase(kQuarantineC);
  RemoveDatabase(kScanBox1);
  mark = Mark();
  Config({"MaxQuarantineSize=100"});
  if (HasFatalFailure()) return;
  for (const std::string& line :
       {std::string("VTRouter: Unable to create new database "
                    "'Veltrane\\Scan\\Scan_1.box' from template "
                    "'Veltrane\\scan.ntf'"),
        std::string("VTRouter: Unable to create new database "
                    "'Veltrane\\QuarantineC_1.nsf' from template "
                    "'Veltrane\\quarantine.ntf'")}) {
    EXPECT_TRUE(WaitForLogSince(mark, line + ": " + kDamaged))
        << line << "\n"
        << LogSince(mark);
  }
  ExpectAlive(router);
  if (HasFatalFailure()) return;
  EXPECT_FALSE(fs::exists(data / kQuarantineC));
  EXPECT_FALSE(fs::exists(data / kScanBox1));
  EXPECT_EQ(Count(kScanBox2, "late"), 3);

  // Good templates again: both databases are made, the waiting mail goes.
  WriteBytes(data / "Veltrane/quarantine.ntf", quarantineTemplate);
  WriteBytes(data / "Veltrane/scan.ntf", scanTemplate);
  mark = Mark();
  Config({"MaxQuarantineSize="});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kQuarantineC, "late", 3)) << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Created new Quarantine database "
                          "Veltrane\\QuarantineC_1.nsf"));
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Created new Quarantine database "
                          "Veltrane\\Scan\\Scan_1.box"));
  Quit(router);
  ExpectPlaces({{"early", 0, {}, ""},
                {"late", 3, {kQuarantineC}, "C"},
                {"mail", 2, {"mail.box"}, "M"}});
}

// A database deleted while the router has it open. On Linux the router's
// connection keeps the unlinked file alive; mail "moved" into it would be
// gone once the router closes it, so such a copy is refused.
TEST_F(RouterDamagedFiles, AQuarantineDeletedWhileTheRouterRunsLosesNoMail) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("deleted", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "deleted", 2)) << ServerLog();
  RemoveDatabase(kQuarantineB);
  const size_t mark = Mark();
  Scan('B', 2);
  // Two passes, time enough for the router to deliver or refuse.
  ASSERT_TRUE(WaitUntil(
      [&] { return LogSince(mark).find("Quarantine B") != std::string::npos; },
      kRouterMillis))
      << LogSince(mark);
  ExpectAlive(router);
  if (HasFatalFailure()) return;
  Quit(router);
  SCOPED_TRACE("the router's log:\n" + LogSince(mark));
  // Waiting in the scan box, or in a quarantine B made again: anywhere but
  // nowhere.
  ExpectPlaces({{"deleted", 2, {kScanBox1, kQuarantineB}, "B"}});
}

// An INI value too long for its field, cut to fit, names another database.
TEST_F(RouterDamagedFiles, AnIniPathTooLongForItsFieldIsNotCutToAnotherOne) {
  const fs::path program = CopyRouter();
  MoveDatabase("Veltrane/VeltraneAdmin.nsf", "Admin/Moved.nsf");
  // 259 characters that name the moved database, then ".old": the INI file
  // names Admin/Moved.nsf.old, which does not exist.
  const std::string tail = "Admin/Moved.nsf";
  std::string cut;
  while (cut.size() + tail.size() + 2 <= 259) cut += "./";
  cut += std::string(259 - cut.size() - tail.size(), '/') + tail;
  ASSERT_EQ(cut.size(), 259u);
  WriteBytes(program.parent_path() / "Veltrane.ini",
             "[Admin NSF]\nServer=local\nNSF=" + cut + ".old\n");
  BackgroundProcess router;
  ASSERT_TRUE(router.Start(program.string(), {"--data", dir()},
                           (folder() / "router.out").string()));
  WaitUntil([&] { return !router.Running() || Logged(" started\n"); },
            kRouterMillis);
  EXPECT_FALSE(Logged("Reading configuration document")) << ServerLog();
  EXPECT_TRUE(
      Logged("VTRouter: The NSF name in the INI file is too long (at "
             "most 259 characters).\n"))
      << ServerLog();
  if (router.Running()) Quit(router);
}

}  // namespace
}  // namespace vt::e2e
