// Every status the platform reports has a clear text, and the text
// operations cut it to the caller's buffer.
#include <gtest/gtest.h>

#include <cstring>

#include "server/StatusTexts.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

TEST(StatusTexts, EveryCodeOfTheStatusHeaderHasAText) {
  const uint16_t codes[] = {err::kInvalidHandle,     err::kFileNotFound,
                            err::kPathOutsideData,   err::kCorruptDatabase,
                            err::kDiskError,         err::kMissingValue,
                            err::kInvalidArgument,   err::kFileExists,
                            err::kServerNotFound,    err::kBufferTooSmall,
                            err::kNoMemory,          err::kDatabaseBusy,
                            err::kNotAvailable,      err::kItemNotFound,
                            err::kWrongItemType,     err::kItemTooLarge,
                            err::kIdTableFull,       err::kInvalidNote,
                            err::kNoteDeleted,       err::kNotFound,
                            err::kFormulaSyntax,     err::kFormulaCorrupt,
                            err::kMailRuleRefused,   err::kQueueEmpty,
                            err::kQueueNotFound,     err::kQueueMessageTooLarge,
                            err::kRuntimeNotStarted, err::kNoDataDirectory,
                            err::kNoDatabaseHandle};
  for (uint16_t code : codes) {
    const std::string_view text = StatusText(code);
    EXPECT_GE(text.size(), 8u) << std::hex << code;
    EXPECT_NE(text.back(), ' ') << std::hex << code;
  }
  EXPECT_EQ(StatusText(err::kFileNotFound), "File does not exist");
}

TEST(StatusTexts, OperationsCutToTheCallersSize) {
  TempDataDir dir;
  auto server = dir.MakeServer();
  char buf[64];
  EXPECT_EQ(server->LoadStatusText(0, err::kFileNotFound, buf, sizeof buf),
            strlen("File does not exist"));
  EXPECT_STREQ(buf, "File does not exist");
  EXPECT_EQ(server->LoadStatusText(0, err::kFileNotFound, buf, 5), 4);
  EXPECT_STREQ(buf, "File");
  EXPECT_EQ(server->GetStartupErrorText(err::kNoteDeleted, buf, 8), 8);
  EXPECT_STREQ(buf, "Document");
  EXPECT_EQ(server->GetExitErrorText(0x4000 | err::kNoteDeleted, buf, 63),
            strlen("Document has been deleted"));
  EXPECT_EQ(server->LoadStatusText(0, 0x3333, buf, sizeof buf), 12);
  EXPECT_STREQ(buf, "Error 0x3333");
}

}  // namespace
}  // namespace vt
