// Builds the "Default" view note item by item: title, the selection formula
// with the column formulas merged into it, the view format and the
// collation, the last two in the platform's stored form.
#include "databases/DefaultView.h"

#include <cstring>

#include "databases/MailDatabase.h"
#include "notes/StoredForms.h"

namespace vt {
namespace {

struct Column {
  const char* itemName;
  const char* title;  // empty: no title
  const char* formula;
  uint16_t flags;
  uint16_t displayWidth;
  uint32_t font;
};

constexpr Column kColumns[3] = {
    {"Created", "", "@Created", 0x0003, 8, 0x0A000101},
    {"SendTo", "Send To", "SendTo", 0, 120, 0x0A000001},
    {"Subject", "Subject", "Subject", 0, 320, 0x0A000001},
};

uint16_t Length(const char* text) {
  return static_cast<uint16_t>(std::strlen(text));
}

// A locked block of platform memory, unlocked and freed on every path.
class LockedBlock {
 public:
  LockedBlock(NotesServices& notes, uint16_t size) : notes_(notes) {
    status_ = notes_.AllocateMemory(0, size, &handle_);
    if (status_.ok()) {
      data_ = static_cast<uint8_t*>(notes_.LockMemory(handle_));
      if (data_ == nullptr) {
        status_ = err::kNoMemory;
      } else {
        std::memset(data_, 0, size);
      }
    }
  }
  ~LockedBlock() {
    if (data_ != nullptr) notes_.UnlockMemory(handle_);
    if (handle_) notes_.FreeMemory(handle_);
  }
  LockedBlock(const LockedBlock&) = delete;
  LockedBlock& operator=(const LockedBlock&) = delete;

  Status status() const { return status_; }
  uint8_t* data() const { return data_; }

 private:
  NotesServices& notes_;
  MemHandle handle_;
  uint8_t* data_ = nullptr;
  Status status_;
};

// The note and compiled formulas of one creation, released in reverse.
struct ViewParts {
  explicit ViewParts(NotesServices& n) : notes(n) {}
  ~ViewParts() {
    for (MemHandle column : columns) {
      if (column) notes.FreeMemory(column);
    }
    if (selection) notes.FreeMemory(selection);
    if (note) notes.CloseNote(note).IgnoreError();
  }
  ViewParts(const ViewParts&) = delete;
  ViewParts& operator=(const ViewParts&) = delete;

  NotesServices& notes;
  NoteHandle note;
  MemHandle selection;
  MemHandle columns[3];
  uint16_t columnLengths[3] = {};
};

Status Compile(NotesServices& notes, const char* name, const char* text,
               MemHandle* formula, uint16_t* length) {
  Status compileError;
  uint16_t line = 0, column = 0, offset = 0, errorLength = 0;
  const uint16_t nameLength = name ? Length(name) : 0;
  return notes.CompileFormula(name, nameLength, text, Length(text), formula,
                              length, &compileError, &line, &column, &offset,
                              &errorLength);
}

Status AppendViewFormat(NotesServices& notes, ViewParts& parts) {
  uint16_t size = notes.CanonicalSize(kRecordViewTableFormat2);
  for (int i = 0; i < 3; ++i)
    size += notes.CanonicalSize(kRecordViewColumnFormat);
  size += notes.CanonicalSize(kRecordViewTableFormat);
  for (int i = 0; i < 3; ++i) size += parts.columnLengths[i];
  size += Length("Subject") + Length("Subject") + Length("SendTo") +
          Length("Send To") + Length("Created");

  LockedBlock block(notes, size);
  if (!block.status().ok()) return block.status();
  uint8_t* cursor = block.data();

  ViewTableFormat header;
  header.formatVersion = 1;
  header.viewType = 0;
  header.columns = 3;
  header.itemSequenceNumber = 0;
  header.flags = 0x001A;
  header.flags2 = 0;
  notes.WriteCanonical(&cursor, kRecordViewTableFormat, &header, 1);

  for (int i = 0; i < 3; ++i) {
    const Column& c = kColumns[i];
    ViewColumnFormat format;
    format.signature = kViewColumnSignature;
    format.flags = c.flags;
    format.itemNameLength = Length(c.itemName);
    format.titleLength = Length(c.title);
    format.formulaLength = parts.columnLengths[i];
    format.constantValueLength = 0;
    format.displayWidth = c.displayWidth;
    format.fontId = c.font;
    format.flags2 = 0;
    format.formatDataType = 2;
    format.listSeparator = 0x2000;
    notes.WriteCanonical(&cursor, kRecordViewColumnFormat, &format, 1);
  }

  for (int i = 0; i < 3; ++i) {
    const Column& c = kColumns[i];
    std::memcpy(cursor, c.itemName, Length(c.itemName));
    cursor += Length(c.itemName);
    std::memcpy(cursor, c.title, Length(c.title));
    cursor += Length(c.title);
    const void* compiled = notes.LockMemory(parts.columns[i]);
    if (compiled == nullptr) return err::kInvalidHandle;
    std::memcpy(cursor, compiled, parts.columnLengths[i]);
    notes.UnlockMemory(parts.columns[i]);
    cursor += parts.columnLengths[i];
  }

  ViewTableFormat2 trailer;
  trailer.length = notes.CanonicalSize(kRecordViewTableFormat2);
  trailer.backgroundColor = 1;
  trailer.borderColor = 0;
  trailer.titleFont = 0x0A000101;
  trailer.unreadFont = 0x0A000001;
  trailer.totalsFont = 0x0A000001;
  trailer.autoUpdateSeconds = 0;
  trailer.alternateBackgroundColor = 0;
  trailer.signature = kViewTableSignature;
  notes.WriteCanonical(&cursor, kRecordViewTableFormat2, &trailer, 1);

  return notes.AppendItem(parts.note, kItemFlagSummary, "$ViewFormat", 11,
                          kTypeViewFormat, block.data(), size);
}

Status AppendCollation(NotesServices& notes, ViewParts& parts) {
  const uint16_t size =
      static_cast<uint16_t>(notes.CanonicalSize(kRecordCollateDescriptor) * 2 +
                            notes.CanonicalSize(kRecordCollation) +
                            Length("SendTo") + Length("Created"));
  LockedBlock block(notes, size);
  if (!block.status().ok()) return block.status();
  uint8_t* cursor = block.data();

  CollationHeader header;
  header.bufferSize = size;
  header.items = 2;
  header.flags = 0;
  header.signature = kCollationSignature;
  notes.WriteCanonical(&cursor, kRecordCollation, &header, 1);

  CollateDescriptor created;
  created.signature = kCollateDescriptorSignature;
  created.keyType = kCollateKeyCreated;
  created.nameOffset = 0;
  created.nameLength = Length("Created");
  notes.WriteCanonical(&cursor, kRecordCollateDescriptor, &created, 1);

  CollateDescriptor sendTo;
  sendTo.signature = kCollateDescriptorSignature;
  sendTo.keyType = kCollateKeyName;
  sendTo.nameOffset = Length("Created");
  sendTo.nameLength = Length("SendTo");
  notes.WriteCanonical(&cursor, kRecordCollateDescriptor, &sendTo, 1);

  std::memcpy(cursor, "Created", 7);
  cursor += 7;
  std::memcpy(cursor, "SendTo", 6);

  return notes.AppendItem(parts.note, kItemFlagSummary, "$Collation", 10,
                          kTypeCollation, block.data(), size);
}

}  // namespace

Status CreateDefaultView(NotesServices& notes, DbHandle db) {
  if (!db) return err::kNoDatabaseHandle;
  uint32_t existing = 0;
  const Status found = notes.FindDesignNote(
      db, kDefaultViewName, kNoteClassView, "-G40n^", &existing, 0);
  if (found.value() != err::kNotFound) return Status();

  ViewParts parts(notes);
  Status status = notes.CreateNote(db, &parts.note);
  if (!status.ok()) return status;
  status = notes.SetNoteField(parts.note, kNoteFieldClass, kNoteClassView);
  if (!status.ok()) return status;
  status = notes.SetTextItem(parts.note, "$TITLE", kDefaultViewName, 0xFFFF);
  if (!status.ok()) return status;

  uint16_t selectionLength = 0;
  status = Compile(notes, nullptr, "@ALL", &parts.selection, &selectionLength);
  if (!status.ok()) return status;
  for (int i = 0; i < 3; ++i) {
    const Column& c = kColumns[i];
    status = Compile(notes, c.itemName, c.formula, &parts.columns[i],
                     &parts.columnLengths[i]);
    if (!status.ok()) return status;
    status = notes.AddFormulaSummaryName(parts.selection, c.itemName,
                                         Length(c.itemName));
    if (!status.ok()) return status;
    status = notes.MergeFormulas(parts.columns[i], parts.selection);
    if (!status.ok()) return status;
  }

  uint16_t formulaSize = 0;
  status = notes.GetFormulaSize(parts.selection, &formulaSize);
  if (!status.ok()) return status;
  const void* merged = notes.LockMemory(parts.selection);
  if (merged == nullptr) return err::kInvalidHandle;
  status = notes.AppendItem(parts.note, kItemFlagSummary, "$Formula", 8,
                            kTypeFormula, merged, formulaSize);
  notes.UnlockMemory(parts.selection);
  if (!status.ok()) return status;

  status = AppendViewFormat(notes, parts);
  if (!status.ok()) return status;
  status = AppendCollation(notes, parts);
  if (!status.ok()) return status;
  return notes.UpdateNote(parts.note, 0);
}

}  // namespace vt
