// INI reading as the router's Windows build sees it: section and key without
// regard to case, blanks trimmed, the default for anything missing, results
// cut to the buffer, and odd files read as far as they make sense.
#include <gtest/gtest.h>

#include <string>

#include "support/TempDir.h"
#include "system/posix/PosixSystemServices.h"

namespace vt {
namespace {

using testing::TempDir;

class ProfileStringTest : public ::testing::Test {
 protected:
  TempDir dir_;
  PosixSystemServices sys_{dir_.path()};

  std::string Get(const std::string& file, const char* section, const char* key,
                  const char* fallback = "ERROR", size_t size = 260) {
    std::vector<char> out(size, '#');
    const uint32_t n =
        sys_.GetPrivateProfileString(section, key, fallback, out, file.c_str());
    const std::string text(out.data());
    EXPECT_EQ(n, text.size());
    return text;
  }
};

TEST_F(ProfileStringTest, ReadsAKeyOfASection) {
  const std::string ini = dir_.Write(
      "Veltrane.ini", "[Admin NSF]\nServer=CN=Mail1/O=Example\nNSF=a.nsf\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "CN=Mail1/O=Example");
  EXPECT_EQ(Get(ini, "Admin NSF", "NSF"), "a.nsf");
}

TEST_F(ProfileStringTest, BlanksAroundValuesAndLinesAreRemoved) {
  const std::string ini = dir_.Write(
      "Veltrane.ini",
      "  [Admin NSF]  \n  Server =  mail1\t\n\tNSF=  \\Veltrane\\a.nsf \r\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "mail1");
  // An indented line is a key of its own, not part of the previous value.
  EXPECT_EQ(Get(ini, "Admin NSF", "NSF"), "\\Veltrane\\a.nsf");
}

TEST_F(ProfileStringTest, MissingFileSectionOrKeyGivesTheDefault) {
  const std::string ini = dir_.Write("Veltrane.ini", "[Admin NSF]\nNSF=a\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "ERROR");
  EXPECT_EQ(Get(ini, "Other", "NSF"), "ERROR");
  EXPECT_EQ(Get(dir_.File("missing.ini"), "Admin NSF", "NSF"), "ERROR");
  EXPECT_EQ(Get(dir_.path(), "Admin NSF", "NSF"), "ERROR");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server", nullptr), "");
  // Windows drops the default's trailing blanks.
  EXPECT_EQ(Get(ini, "Admin NSF", "Server", " dflt  "), " dflt");
  EXPECT_EQ(Get(ini, nullptr, "NSF"), "ERROR");
  EXPECT_EQ(Get(ini, "Admin NSF", nullptr), "ERROR");
}

TEST_F(ProfileStringTest, EmptyValueIsAnEmptyText) {
  const std::string ini =
      dir_.Write("Veltrane.ini", "[Admin NSF]\nServer=\nNSF=   \n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "");
  EXPECT_EQ(Get(ini, "Admin NSF", "NSF"), "");
}

TEST_F(ProfileStringTest, SectionAndKeyMatchWithoutRegardToCase) {
  const std::string ini =
      dir_.Write("Veltrane.ini", "[ADMIN nsf]\nsErVeR=mail1\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "mail1");
  EXPECT_EQ(Get(ini, "admin NSF", "SERVER"), "mail1");
}

TEST_F(ProfileStringTest, ValueIsCutToTheBuffer) {
  const std::string ini =
      dir_.Write("Veltrane.ini", "[Admin NSF]\nServer=abcdefgh\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server", "ERROR", 4), "abc");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server", "ERROR", 1), "");
  EXPECT_EQ(Get(ini, "Admin NSF", "Missing", "ERROR", 3), "ER");
  std::span<char> none;
  EXPECT_EQ(sys_.GetPrivateProfileString("Admin NSF", "Server", "ERROR", none,
                                         ini.c_str()),
            0u);
}

TEST_F(ProfileStringTest, FirstOfDuplicateKeysWins) {
  const std::string ini = dir_.Write(
      "Veltrane.ini",
      "[Admin NSF]\nServer=first\nserver=second\n[Admin NSF]\nServer=third\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "first");
}

TEST_F(ProfileStringTest, KeysOfOtherSectionsOrCommentsDoNotCount) {
  const std::string ini = dir_.Write("Veltrane.ini",
                                     "Server=before any section\n"
                                     "[Other]\nServer=other\n"
                                     "[Admin NSF]\n;Server=comment\n"
                                     "#NSF=comment\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "ERROR");
  EXPECT_EQ(Get(ini, "Admin NSF", "NSF"), "ERROR");
  EXPECT_EQ(Get(ini, "Other", "Server"), "other");
}

TEST_F(ProfileStringTest, MatchingQuotesAroundAValueAreRemoved) {
  const std::string ini = dir_.Write(
      "Veltrane.ini", "[A]\nq=\" spaced \"\ns='x'\nhalf=\"x\nmixed=\"x'\n");
  EXPECT_EQ(Get(ini, "A", "q"), " spaced ");
  EXPECT_EQ(Get(ini, "A", "s"), "x");
  EXPECT_EQ(Get(ini, "A", "half"), "\"x");
  EXPECT_EQ(Get(ini, "A", "mixed"), "\"x'");
}

TEST_F(ProfileStringTest, LongLinesAreReadWhole) {
  const std::string path(300, 'p');
  const std::string section(120, 's');
  const std::string ini = dir_.Write(
      "Veltrane.ini", "; " + std::string(5000, 'c') + "=x\n[" + section +
                          "]\nNSF=  " + path +
                          "  ;note\n[Admin NSF]\nNSF=" + path + "\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "NSF", "ERROR", 1024), path);
  EXPECT_EQ(Get(ini, section.c_str(), "NSF", "ERROR", 1024), path);
  EXPECT_EQ(Get(ini, "Admin NSF", "NSF", "ERROR", 260), path.substr(0, 259));
}

TEST_F(ProfileStringTest, OddLinesDoNotStopTheReading) {
  std::string text = "[Admin NSF]\n";
  text += "no separator here\n";
  text += std::string("bin\x01\x02\xff\xfe=\x80\x81\n");
  text += std::string("nul=ab\0cd\n", 10);
  text += std::string(100000, 'x') + "\n";
  text += "[unclosed\n";
  text += "= value without key\n";
  text += "Server=mail1\n";
  const std::string ini = dir_.Write("Veltrane.ini", text);
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "mail1");
  EXPECT_EQ(Get(ini, "Admin NSF", "nul"), "ab");

  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>(i * 37));
  const std::string junk = dir_.Write("junk.ini", binary);
  EXPECT_EQ(Get(junk, "Admin NSF", "Server"), "ERROR");
}

TEST_F(ProfileStringTest, ByteOrderMarkBeforeTheFirstSectionIsSkipped) {
  const std::string ini =
      dir_.Write("Veltrane.ini", "\xEF\xBB\xBF[Admin NSF]\nServer=mail1\n");
  EXPECT_EQ(Get(ini, "Admin NSF", "Server"), "mail1");
}

}  // namespace
}  // namespace vt
