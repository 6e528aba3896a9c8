// Databases for router tests, made and read with the server's own calls:
// a database with a title and notes of chosen classes (design notes and
// documents), and what a test checks afterwards (title, icon title, how many
// notes of each class, an item of a note).
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "databases/RouterItems.h"
#include "notes/FixedText.h"
#include "server/LocalNotesServices.h"
#include "server/LocalStoreAccess.h"

namespace vt::testing {

// One note of class noteClass with the text item "Marker" = marker.
inline Status AddMarkedNote(NotesServices& notes, DbHandle db,
                            uint16_t noteClass, const char* marker) {
  NoteHandle note;
  Status s = notes.CreateNote(db, &note);
  if (!s.ok()) return s;
  s = notes.SetNoteField(note, kNoteFieldClass, noteClass);
  if (s.ok()) s = notes.SetTextItem(note, "Marker", marker, 0xFFFF);
  if (s.ok()) s = notes.UpdateNote(note, 0);
  const Status closed = notes.CloseNote(note);
  return s.ok() ? closed : s;
}

// Creates path titled title with one note per class in classes (marked
// "<class>-<index>"), and closes it again.
inline void CreateTestDatabase(NotesServices& notes, const char* path,
                               const char* title,
                               std::initializer_list<uint16_t> classes = {}) {
  ASSERT_EQ(notes.CreateDatabase(path, kDatabaseClass, false), Status())
      << path;
  DbHandle db;
  ASSERT_EQ(notes.OpenDatabase(path, &db), Status()) << path;
  DbInfo info{};
  EXPECT_EQ(notes.GetDatabaseInfo(db, info), Status());
  notes.SetDatabaseInfoField(info, kDbInfoFieldTitle, title);
  EXPECT_EQ(notes.SetDatabaseInfo(db, info), Status());
  int index = 0;
  for (const uint16_t noteClass : classes) {
    const std::string marker =
        std::to_string(noteClass) + "-" + std::to_string(index++);
    EXPECT_EQ(AddMarkedNote(notes, db, noteClass, marker.c_str()), Status());
  }
  EXPECT_EQ(notes.CloseDatabase(db), Status());
}

// Field 0 of the database information text.
inline std::string InfoTitle(NotesServices& notes, DbHandle db) {
  DbInfo info{};
  EXPECT_EQ(notes.GetDatabaseInfo(db, info), Status());
  const std::string text(info.data(), BoundedLength(info));
  return text.substr(0, text.find('\n'));
}

// The "$TITLE" item of the icon note; "<none>" when it is missing.
inline std::string IconTitle(NotesServices& notes, DbHandle db) {
  NoteHandle icon;
  if (!notes.OpenNote(db, kIconNoteId, 0, &icon).ok()) return "<no icon>";
  std::string title = "<none>";
  if (notes.GetItemInfo(icon, "$TITLE", 6, nullptr, nullptr, nullptr, nullptr)
          .ok()) {
    char buffer[512] = {};
    const uint16_t n = notes.GetTextItem(icon, "$TITLE", buffer);
    title.assign(buffer, n);
  }
  EXPECT_EQ(notes.CloseNote(icon), Status());
  return title;
}

// How many notes of each class the database holds.
inline std::map<uint16_t, int> NoteClassCounts(LocalNotesServices& server,
                                               DbHandle db) {
  std::map<uint16_t, int> counts;
  store::NsfDatabase* database = LocalStoreAccess::Database(server, db);
  if (database == nullptr) {
    ADD_FAILURE() << "no database behind handle " << db.value;
    return counts;
  }
  EXPECT_EQ(database->ForEachNote(0xFFFF,
                                  [&](const store::ScanEntry& entry) {
                                    ++counts[entry.noteClass];
                                    return Status();
                                  }),
            Status());
  return counts;
}

// The "Marker" items of the notes of one class, in note-ID order.
inline std::vector<std::string> Markers(LocalNotesServices& server, DbHandle db,
                                        uint16_t noteClass) {
  std::vector<uint32_t> ids;
  store::NsfDatabase* database = LocalStoreAccess::Database(server, db);
  if (database == nullptr) {
    ADD_FAILURE() << "no database behind handle " << db.value;
    return {};
  }
  EXPECT_EQ(database->ForEachNote(noteClass,
                                  [&](const store::ScanEntry& entry) {
                                    ids.push_back(entry.id);
                                    return Status();
                                  }),
            Status());
  std::vector<std::string> markers;
  for (const uint32_t id : ids) {
    NoteHandle note;
    if (!server.OpenNote(db, id, 0, &note).ok()) continue;
    char buffer[256] = {};
    const uint16_t n = server.GetTextItem(note, "Marker", buffer);
    markers.emplace_back(buffer, n);
    EXPECT_EQ(server.CloseNote(note), Status());
  }
  return markers;
}

}  // namespace vt::testing
