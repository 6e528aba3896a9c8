// The version text: "1, 2, 0, 5" becomes "1.2.0.5"; every failure keeps the
// text the caller set; nothing is written past either buffer.
#include <gtest/gtest.h>

#include "host/FileVersion.h"
#include "support/FakeSystem.h"

namespace vt {
namespace {

using testing::FakeMachine;
using testing::FakeSystem;

constexpr char kExe[] = "/opt/vt/bin/vtrouter";
const std::string kTranslation("\x09\x04\xb0\x04", 4);

class FileVersionTest : public ::testing::Test {
 protected:
  void SetVersion(const std::string& value) {
    system_.versionBlocks[kExe] = FakeSystem::MakeVersionBlock(
        {{"\\VarFileInfo\\Translation", kTranslation},
         {"\\StringFileInfo\\040904b0\\FileVersion", value}});
  }
  int Read() {
    text_.Assign(kVersionUnavailable);
    return ReadFileVersion(system_, kExe, text_);
  }

  FakeMachine machine_;
  FakeSystem system_{machine_};
  FixedText<30> text_;
};

TEST_F(FileVersionTest, CommasBecomeFullStopsAndBlanksGo) {
  SetVersion("1, 2, 0, 5");
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(text_.view(), "1.2.0.5");
  SetVersion("3.4.5.6");
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(text_.view(), "3.4.5.6");
  SetVersion(" , ,, ");
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(text_.view(), "...");
}

TEST_F(FileVersionTest, TheValueStopsAtItsTerminatorOrReportedLength) {
  SetVersion(std::string("2, 0\0garbage", 12));
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(text_.view(), "2.0");
}

TEST_F(FileVersionTest, MissingPiecesKeepTheDefaultText) {
  EXPECT_EQ(Read(), 1);  // no version block at all
  EXPECT_EQ(text_.view(), kVersionUnavailable);

  system_.versionBlocks[kExe] = FakeSystem::MakeVersionBlock(
      {{"\\StringFileInfo\\040904b0\\FileVersion", "1, 0"}});
  EXPECT_EQ(Read(), 1);  // no translation
  EXPECT_EQ(text_.view(), kVersionUnavailable);

  // A translation for another language than the value was stored under.
  system_.versionBlocks[kExe] = FakeSystem::MakeVersionBlock(
      {{"\\VarFileInfo\\Translation", std::string("\x07\x04\xb0\x04", 4)},
       {"\\StringFileInfo\\040904b0\\FileVersion", "1, 0"}});
  EXPECT_EQ(Read(), 1);
  EXPECT_EQ(text_.view(), kVersionUnavailable);
}

TEST_F(FileVersionTest, LongValuesAreCutToBothBuffers) {
  // 60 characters: more than the 52-byte value buffer and the 30-byte field.
  SetVersion(std::string(60, '7'));
  EXPECT_EQ(Read(), 0);
  EXPECT_EQ(text_.view(), std::string(29, '7'));
}

}  // namespace
}  // namespace vt
