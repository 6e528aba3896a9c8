// Builds the configuration view item by item, the way the router builds its
// "Default" view, so that the one view indexer reads both.
#include "datadir/ConfigView.h"

#include <cstring>
#include <vector>

#include "config/ServerConfig.h"
#include "datadir/MailItems.h"
#include "notes/HandleOwners.h"
#include "notes/StoredForms.h"

namespace vt::tool {
namespace {

constexpr char kSelection[] = "SELECT Form = \"ServerConfig\"";

uint16_t Length(const char* text) {
  return static_cast<uint16_t>(std::strlen(text));
}

Status AppendFormula(NotesServices& notes, NoteHandle note) {
  CompiledFormula selection(notes);
  CompiledFormula column(notes);
  Status s = selection.Compile(nullptr, kSelection);
  if (s.ok()) s = column.Compile(kItemServerName, kItemServerName);
  if (s.ok()) {
    s = notes.AddFormulaSummaryName(selection.handle(), kItemServerName,
                                    Length(kItemServerName));
  }
  if (s.ok()) s = notes.MergeFormulas(column.handle(), selection.handle());
  uint16_t size = 0;
  if (s.ok()) s = notes.GetFormulaSize(selection.handle(), &size);
  if (!s.ok()) return s;
  const void* merged = notes.LockMemory(selection.handle());
  if (merged == nullptr) return err::kInvalidHandle;
  s = notes.AppendItem(note, kItemFlagSummary, "$Formula", 8, kTypeFormula,
                       merged, size);
  notes.UnlockMemory(selection.handle());
  return s;
}

Status AppendCollation(NotesServices& notes, NoteHandle note) {
  const uint16_t headerSize = notes.CanonicalSize(kRecordCollation);
  const uint16_t keySize = notes.CanonicalSize(kRecordCollateDescriptor);
  if (headerSize == 0 || keySize == 0) return err::kNotAvailable;
  const uint16_t nameLength = Length(kItemServerName);
  const uint16_t size =
      static_cast<uint16_t>(headerSize + keySize + nameLength);
  std::vector<uint8_t> buffer(size, 0);
  uint8_t* cursor = buffer.data();

  CollationHeader header;
  header.bufferSize = size;
  header.items = 1;
  header.signature = kCollationSignature;
  notes.WriteCanonical(&cursor, kRecordCollation, &header, 1);

  CollateDescriptor key;
  key.signature = kCollateDescriptorSignature;
  key.keyType = kCollateKeyName;
  key.nameOffset = 0;
  key.nameLength = nameLength;
  notes.WriteCanonical(&cursor, kRecordCollateDescriptor, &key, 1);

  // The records must have filled exactly the space their sizes promised.
  if (cursor != buffer.data() + headerSize + keySize) return err::kNotAvailable;
  std::memcpy(cursor, kItemServerName, nameLength);
  return notes.AppendItem(note, kItemFlagSummary, "$Collation", 10,
                          kTypeCollation, buffer.data(), size);
}

}  // namespace

Status CreateConfigView(NotesServices& notes, DbHandle db) {
  Note view(notes);
  Status s = view.Create(db);
  if (s.ok())
    s = notes.SetNoteField(view.handle(), kNoteFieldClass, kNoteClassView);
  if (s.ok()) {
    s = notes.SetTextItem(view.handle(), "$TITLE", kConfigViewName, 0xFFFF);
  }
  if (s.ok()) s = AppendFormula(notes, view.handle());
  if (s.ok()) s = AppendCollation(notes, view.handle());
  if (s.ok()) s = notes.UpdateNote(view.handle(), 0);
  return s;
}

}  // namespace vt::tool
