// The stored bytes of the "Default" view that a blank database gets: the
// view format (table header, three column records, column data, trailer) and
// the 33-byte collation, decoded field by field from what the store holds,
// as the platform's indexer would read them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "databases/DefaultView.h"
#include "server/LocalStoreAccess.h"
#include "server/store/NoteRecord.h"
#include "support/FakeClock.h"
#include "support/TempDataDir.h"

namespace vt {
namespace {

// Little-endian fields read in order, with a bound check on every read.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  uint32_t Next(int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
      if (pos_ >= bytes_.size()) {
        ADD_FAILURE() << "read past the end at " << pos_;
        return 0;
      }
      value |= static_cast<uint32_t>(bytes_[pos_++]) << (8 * i);
    }
    return value;
  }
  std::string Text(size_t length) {
    if (pos_ + length > bytes_.size()) {
      ADD_FAILURE() << "text past the end at " << pos_;
      return {};
    }
    std::string text(bytes_.begin() + pos_, bytes_.begin() + pos_ + length);
    pos_ += length;
    return text;
  }
  size_t pos() const { return pos_; }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t pos_ = 0;
};

uint16_t CompiledLength(LocalNotesServices& server, const char* name,
                        const char* text) {
  MemHandle formula;
  uint16_t length = 0, line = 0, column = 0, offset = 0, errorLength = 0;
  Status error;
  EXPECT_EQ(server.CompileFormula(
                name, static_cast<uint16_t>(std::string(name).size()), text,
                static_cast<uint16_t>(std::string(text).size()), &formula,
                &length, &error, &line, &column, &offset, &errorLength),
            Status());
  server.FreeMemory(formula);
  return length;
}

TEST(DefaultViewBytes, AreTheStoredLayoutFieldByField) {
  FakeClock clock;
  TempDataDir dir;
  std::unique_ptr<LocalNotesServices> server = dir.MakeServer(&clock);
  ASSERT_NE(server, nullptr);
  ASSERT_EQ(server->CreateDatabase("blank.nsf", 0, false), Status());
  DbHandle db;
  ASSERT_EQ(server->OpenDatabase("blank.nsf", &db), Status());
  ASSERT_EQ(CreateDefaultView(*server, db), Status());
  uint32_t viewId = 0;
  ASSERT_EQ(server->FindDesignNote(db, kDefaultViewName, kNoteClassView,
                                   "-G40n^", &viewId, 0),
            Status());
  NoteHandle view;
  ASSERT_EQ(server->OpenNote(db, viewId, 0, &view), Status());
  const store::NoteRecord* note = LocalStoreAccess::Note(*server, view);
  ASSERT_NE(note, nullptr);

  const uint16_t compiled[3] = {CompiledLength(*server, "Created", "@Created"),
                                CompiledLength(*server, "SendTo", "SendTo"),
                                CompiledLength(*server, "Subject", "Subject")};

  const store::Item* format = note->items.Find("$ViewFormat");
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(format->type, kTypeViewFormat);
  EXPECT_EQ(format->flags, kItemFlagSummary);
  EXPECT_EQ(format->value.size(),
            144u + 34u + compiled[0] + compiled[1] + compiled[2]);
  Reader f(format->value);
  // Table header.
  EXPECT_EQ(f.Next(1), 1u);       // format version
  EXPECT_EQ(f.Next(1), 0u);       // view type
  EXPECT_EQ(f.Next(2), 3u);       // columns
  EXPECT_EQ(f.Next(2), 0u);       // item sequence number
  EXPECT_EQ(f.Next(2), 0x001Au);  // flags
  EXPECT_EQ(f.Next(2), 0u);       // second flags
  EXPECT_EQ(f.pos(), 10u);
  struct Column {
    uint16_t flags, nameLength, titleLength, width;
    uint32_t font;
  };
  const Column columns[3] = {{0x0003, 7, 0, 8, 0x0A000101},
                             {0, 6, 7, 120, 0x0A000001},
                             {0, 7, 7, 320, 0x0A000001}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("column " + std::to_string(i + 1));
    const size_t start = f.pos();
    EXPECT_EQ(f.Next(2), 0x4356u);  // signature
    EXPECT_EQ(f.Next(2), columns[i].flags);
    EXPECT_EQ(f.Next(2), columns[i].nameLength);
    EXPECT_EQ(f.Next(2), columns[i].titleLength);
    EXPECT_EQ(f.Next(2), compiled[i]);
    EXPECT_EQ(f.Next(2), 0u);  // constant value
    EXPECT_EQ(f.Next(2), columns[i].width);
    EXPECT_EQ(f.Next(4), columns[i].font);
    EXPECT_EQ(f.Next(2), 0u);       // second flags
    EXPECT_EQ(f.Next(4), 0u);       // number format
    EXPECT_EQ(f.Next(4), 0u);       // time format
    EXPECT_EQ(f.Next(2), 2u);       // format data type
    EXPECT_EQ(f.Next(2), 0x2000u);  // list separator
    EXPECT_EQ(f.pos() - start, 32u);
  }
  // Column data: name, title, compiled formula.
  EXPECT_EQ(f.Text(7), "Created");
  f.Text(compiled[0]);
  EXPECT_EQ(f.Text(6), "SendTo");
  EXPECT_EQ(f.Text(7), "Send To");
  f.Text(compiled[1]);
  EXPECT_EQ(f.Text(7), "Subject");
  EXPECT_EQ(f.Text(7), "Subject");
  f.Text(compiled[2]);
  // Trailer.
  const size_t trailer = f.pos();
  EXPECT_EQ(f.Next(2), 38u);  // its own length
  EXPECT_EQ(f.Next(2), 1u);   // background colour
  EXPECT_EQ(f.Next(2), 0u);   // border colour
  EXPECT_EQ(f.Next(4), 0x0A000101u);
  EXPECT_EQ(f.Next(4), 0x0A000001u);
  EXPECT_EQ(f.Next(4), 0x0A000001u);
  EXPECT_EQ(f.Next(2), 0u);  // auto-update seconds
  EXPECT_EQ(f.Next(2), 0u);  // alternate background colour
  EXPECT_EQ(f.Next(2), 0x2BADu);
  for (int i = 0; i < 14; ++i) EXPECT_EQ(f.Next(1), 0u);
  EXPECT_EQ(f.pos() - trailer, 38u);
  EXPECT_EQ(f.pos(), format->value.size());

  const store::Item* collation = note->items.Find("$Collation");
  ASSERT_NE(collation, nullptr);
  EXPECT_EQ(collation->type, kTypeCollation);
  EXPECT_EQ(collation->flags, kItemFlagSummary);
  ASSERT_EQ(collation->value.size(), 33u);
  Reader c(collation->value);
  EXPECT_EQ(c.Next(2), 33u);  // total size
  EXPECT_EQ(c.Next(2), 2u);   // keys
  EXPECT_EQ(c.Next(1), 0u);   // flags
  EXPECT_EQ(c.Next(1), 0x44u);
  struct Key {
    uint32_t type, offset, length;
  };
  for (const Key& key : {Key{7, 0, 7}, Key{0, 7, 6}}) {
    EXPECT_EQ(c.Next(1), 0u);  // flags
    EXPECT_EQ(c.Next(1), 0x66u);
    EXPECT_EQ(c.Next(1), key.type);
    EXPECT_EQ(c.Next(2), key.offset);
    EXPECT_EQ(c.Next(2), key.length);
  }
  EXPECT_EQ(c.Text(13), "CreatedSendTo");

  EXPECT_EQ(server->CloseNote(view), Status());
  EXPECT_EQ(server->CloseDatabase(db), Status());
}

}  // namespace
}  // namespace vt
