// Locating the administration database: INI file beside the executable,
// then the registry, then the default; each step's lines, and values
// trimmed of blanks at both ends.
#include <gtest/gtest.h>

#include <tuple>

#include "config/AdminDbLocation.h"
#include "support/FakeSystem.h"
#include "support/RouterWorld.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;

constexpr char kIni[] = "/opt/vt/bin/Veltrane.ini";

class AdminDbLocationTest : public ::testing::Test {
 protected:
  void SetUp() override { server_ = dir_.MakeServer(); }
  void WriteIni(std::map<std::string, std::string> keys) {
    system_.existingFiles.insert(kIni);
    system_.iniFiles[kIni]["Admin NSF"] = std::move(keys);
  }
  AdminDbLocation Locate() {
    AdminDbLocation location;
    EXPECT_EQ(LocateAdminDatabase(*server_, system_, location), 1);
    return location;
  }
  std::vector<std::string> Log() { return testing::LogTexts(*server_); }

  TempDataDir dir_;
  std::unique_ptr<LocalNotesServices> server_;
  FakeMachine machine_;
  FakeSystem system_{machine_};
};

TEST_F(AdminDbLocationTest, NothingConfiguredGivesTheDefault) {
  const AdminDbLocation location = Locate();
  EXPECT_EQ(location.adminServer.view(), "local");
  EXPECT_EQ(location.adminPath.view(), "\\Veltrane\\VeltraneAdmin.nsf");
  EXPECT_EQ(Log(),
            std::vector<std::string>{
                "VTRouter: Unable to read AdminNsfServer registry key."});
}

TEST_F(AdminDbLocationTest, TheIniFileWinsWithItsValuesTrimmed) {
  WriteIni({{"Server", "  CN=Admin/O=Example\t"}, {"NSF", " admin/a.nsf "}});
  system_.registryAvailable = true;
  system_.registryValues = {{"AdminNsfServer", "reg"}, {"AdminNsf", "reg.nsf"}};
  const AdminDbLocation location = Locate();
  EXPECT_EQ(location.adminServer.view(), "CN=Admin/O=Example");
  EXPECT_EQ(location.adminPath.view(), "admin/a.nsf");
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                "VTRouter: Found configuration INI file "
                "'/opt/vt/bin/Veltrane.ini'.",
                "VTRouter: Reading INI file '/opt/vt/bin/Veltrane.ini'."}));
}

TEST_F(AdminDbLocationTest, AnIniFileWithoutThePathFallsBackToTheRegistry) {
  WriteIni({{"Server", "CN=Admin/O=Example"}});
  system_.registryAvailable = true;
  system_.registryValues = {{"AdminNsfServer", "CN=Reg/O=Example"},
                            {"AdminNsf", "reg\\admin.nsf"}};
  const AdminDbLocation location = Locate();
  EXPECT_EQ(location.adminServer.view(), "CN=Reg/O=Example");
  EXPECT_EQ(location.adminPath.view(), "reg\\admin.nsf");
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], "VTRouter: Unable to read NSF name from INI file.");
}

TEST_F(AdminDbLocationTest, IniValuesTooLongForTheirFieldsAreRefusedNotCut) {
  // The longest that fit, with blanks around that do not count.
  const std::string server255 = "CN=" + std::string(252, 's');
  const std::string path259 = "a/" + std::string(253, 'p') + ".nsf";
  WriteIni({{"Server", " " + server255 + " "}, {"NSF", "\t" + path259}});
  AdminDbLocation location = Locate();
  EXPECT_EQ(location.adminServer.view(), server255);
  EXPECT_EQ(location.adminPath.view(), path259);

  // One more, or far more, and the INI location is not used: the next
  // source decides, as for a missing key.
  for (const auto& [server, path, line] :
       {std::tuple<std::string, std::string, std::string>{
            server255 + "x", path259,
            "VTRouter: The server name in the INI file is too long (at most "
            "255 characters)."},
        {server255, path259 + "x",
         "VTRouter: The NSF name in the INI file is too long (at most 259 "
         "characters)."},
        {server255, std::string(5000, 'q'),
         "VTRouter: The NSF name in the INI file is too long (at most 259 "
         "characters)."}}) {
    server_ = dir_.MakeServer();
    WriteIni({{"Server", server}, {"NSF", path}});
    location = Locate();
    EXPECT_EQ(location.adminServer.view(), "local");
    EXPECT_EQ(location.adminPath.view(), "\\Veltrane\\VeltraneAdmin.nsf");
    const std::vector<std::string> log = Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], line);
  }
}

TEST_F(AdminDbLocationTest, OnlyTheExactMissingMarkCountsAsMissing) {
  WriteIni({{"Server", "ERROR"}, {"NSF", "x.nsf"}});
  Locate();
  EXPECT_EQ(
      testing::CountLog(*server_, "Unable to read server name from INI file."),
      1);

  WriteIni({{"Server", "ERRORS"}, {"NSF", "x.nsf"}});
  EXPECT_EQ(Locate().adminServer.view(), "ERRORS");

  // A key that is present but empty is accepted as this server.
  WriteIni({{"Server", ""}, {"NSF", "x.nsf"}});
  const AdminDbLocation location = Locate();
  EXPECT_EQ(location.adminServer.view(), "");
  EXPECT_EQ(location.adminPath.view(), "x.nsf");
}

TEST_F(AdminDbLocationTest, ARegistryWithoutThePathGivesTheDefault) {
  system_.registryAvailable = true;
  system_.registryValues = {{"AdminNsfServer", "CN=Reg/O=Example"},
                            {"AdminNsf", ""}};
  const AdminDbLocation location = Locate();
  EXPECT_EQ(location.adminServer.view(), "local");
  EXPECT_EQ(location.adminPath.view(), "\\Veltrane\\VeltraneAdmin.nsf");
  EXPECT_EQ(Log(), std::vector<std::string>{
                       "VTRouter: Unable to read AdminNsf registry key."});
}

TEST_F(AdminDbLocationTest, AnUnknownExecutablePathSkipsTheIniFile) {
  WriteIni({{"Server", "a"}, {"NSF", "b"}});
  system_.exePath.clear();
  Locate();
  const std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0],
            "VTRouter: Unable to get startup path from operating system.");
  EXPECT_EQ(log[1], "VTRouter: Unable to read AdminNsfServer registry key.");
}

TEST_F(AdminDbLocationTest, AnExecutableInTheRootFolderLooksForTheRootIni) {
  system_.exePath = "/vtrouter";
  system_.existingFiles.insert("/Veltrane.ini");
  system_.iniFiles["/Veltrane.ini"]["Admin NSF"] = {{"Server", "s"},
                                                    {"NSF", "p"}};
  EXPECT_EQ(Locate().adminPath.view(), "p");
}

TEST(TrimBlanks, RemovesControlCharactersAndSpacesAtBothEndsOnly) {
  char text[] = " \t\r in side \x01\n";
  TrimBlanks(text);
  EXPECT_STREQ(text, "in side");
  char blanks[] = "   ";
  TrimBlanks(blanks);
  EXPECT_STREQ(blanks, "");
  // Bytes from 0x80 up belong to names written in UTF-8 and stay.
  char utf8[] = "Soci\xc3\xa9t\xc3\xa9 ";
  TrimBlanks(utf8);
  EXPECT_STREQ(utf8, "Soci\xc3\xa9t\xc3\xa9");
}

}  // namespace
}  // namespace vt
