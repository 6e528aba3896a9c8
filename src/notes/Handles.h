// Opaque platform handles. Each kind is its own type so that a note handle can
// never be passed where a database handle is expected; 0 means none.
#pragma once

#include <cstdint>

namespace vt {

template <class Tag>
struct Handle {
  uint32_t value = 0;

  constexpr Handle() = default;
  constexpr explicit Handle(uint32_t v) : value(v) {}
  constexpr explicit operator bool() const { return value != 0; }
  friend constexpr bool operator==(Handle a, Handle b) = default;
};

using DbHandle = Handle<struct DbHandleTag>;
using NoteHandle = Handle<struct NoteHandleTag>;
using MemHandle = Handle<struct MemHandleTag>;  // compiled formulas too
using IdTableHandle = Handle<struct IdTableHandleTag>;
using CollectionHandle = Handle<struct CollectionHandleTag>;
using QueueHandle = Handle<struct QueueHandleTag>;
using StatusLineHandle = Handle<struct StatusLineHandleTag>;
using ModuleHandle = Handle<struct ModuleHandleTag>;

// Note IDs with the top bit set denote deleted notes (deletion stubs).
inline constexpr uint32_t kDeletedNoteFlag = 0x80000000;
// OpenNote with this ID opens the database's icon note, which holds "$TITLE".
inline constexpr uint32_t kIconNoteId = 0xFFFF0010;

// Note classes.
inline constexpr uint16_t kNoteClassDocument = 0x0001;
inline constexpr uint16_t kNoteClassInfo = 0x0002;
inline constexpr uint16_t kNoteClassForm = 0x0004;
inline constexpr uint16_t kNoteClassView = 0x0008;
inline constexpr uint16_t kNoteClassIcon = 0x0010;
inline constexpr uint16_t kNoteClassDesign = 0x0020;
inline constexpr uint16_t kNoteClassAcl = 0x0040;
inline constexpr uint16_t kNoteClassAllNonData = 0x7FFE;

// Item data types and flags.
inline constexpr uint16_t kTypeCollation = 2;
inline constexpr uint16_t kTypeViewFormat = 5;
inline constexpr uint16_t kTypeNumber = 0x0300;
inline constexpr uint16_t kTypeTime = 0x0400;
inline constexpr uint16_t kTypeText = 0x0500;
inline constexpr uint16_t kTypeTextList = 0x0501;
inline constexpr uint16_t kTypeFormula = 0x0600;
inline constexpr uint16_t kItemFlagSummary = 0x0004;

// Fields of a note header (GetNoteField / SetNoteField).
inline constexpr uint16_t kNoteFieldClass = 3;
inline constexpr uint16_t kNoteFieldModified = 4;

// Search match record flag: the note matches the formula.
inline constexpr uint8_t kSearchMatchFlag = 0x01;

// Database information text: 128 bytes, title in field 0.
inline constexpr uint16_t kDbInfoSize = 128;
inline constexpr uint16_t kDbInfoFieldTitle = 0;

}  // namespace vt
