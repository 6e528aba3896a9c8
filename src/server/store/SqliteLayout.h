// The layout of a database file as the store's parts share it: the tables,
// the keys of the meta table, the scan's statement and the shape of a note's
// header row. Internal to the store.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "server/store/NoteRecord.h"
#include "server/store/Sqlite.h"

namespace vt::store {

inline constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;"
    "CREATE TABLE notes(id INTEGER PRIMARY KEY, unid BLOB NOT NULL UNIQUE,"
    " class INTEGER NOT NULL, created INTEGER NOT NULL,"
    " modified INTEGER NOT NULL, sequence INTEGER NOT NULL,"
    " summary BLOB NOT NULL, changed INTEGER NOT NULL DEFAULT 0,"
    " added INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE bodies(id INTEGER PRIMARY KEY, items BLOB NOT NULL);"
    "CREATE TABLE stubs(id INTEGER PRIMARY KEY, unid BLOB NOT NULL,"
    " class INTEGER NOT NULL, deleted INTEGER NOT NULL,"
    " sequence INTEGER NOT NULL, changed INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX stubs_unid ON stubs(unid);"
    "CREATE INDEX notes_changed ON notes(changed);"
    "CREATE INDEX stubs_changed ON stubs(changed);";

// What each layout adds to the one before it; kLayoutSteps[v] takes a file
// of layout v to v + 1.
// 2: the version each deletion stub deleted (a stub of layout 1 knows none
//    and blocks no copy).
// 3: the change sequence (see NsfDatabase::GetLastChange); notes and stubs
//    older than it count as change 0.
// 4: when each note entered the file (see ScanEntry::added); a note older
//    than it takes its modified stamp, the last moment it is known to have
//    been here.
inline constexpr const char* kLayoutSteps[] = {
    nullptr,
    nullptr,
    "ALTER TABLE stubs ADD COLUMN sequence INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX IF NOT EXISTS stubs_unid ON stubs(unid);",
    "ALTER TABLE notes ADD COLUMN changed INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE stubs ADD COLUMN changed INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX IF NOT EXISTS notes_changed ON notes(changed);"
    "CREATE INDEX IF NOT EXISTS stubs_changed ON stubs(changed);",
    "ALTER TABLE notes ADD COLUMN added INTEGER NOT NULL DEFAULT 0;"
    "UPDATE notes SET added = modified;",
};

// The last number of the change sequence in the file (0 when empty). A note
// written or a stub made takes this + 1, read in the write statement itself,
// so that no path that writes a note can leave it out.
inline constexpr char kLastChangeSql[] =
    "SELECT max(ifnull((SELECT max(changed) FROM notes), 0),"
    " ifnull((SELECT max(changed) FROM stubs), 0))";

// A scan reads a batch at a time and visits it with no statement active:
// a visitor may then write to this database even after another process
// wrote (a read snapshot held across the visit would make that write fail),
// and memory stays bounded however large the database.
inline constexpr char kScanSql[] =
    "SELECT id, class, created, modified, summary, unid, sequence, added"
    " FROM notes WHERE (class & ?1) != 0 AND id > ?2 ORDER BY id LIMIT ?3";
inline constexpr int kScanBatch = 512;
// The notes written after a change, in change order, a batch at a time
// after (change ?1, id ?2); the index's range starts at the batch.
inline constexpr char kChangedSql[] =
    "SELECT id, class, created, modified, summary, unid, sequence, added,"
    " changed FROM notes WHERE changed >= ?1 AND (changed > ?1 OR id > ?2)"
    " ORDER BY changed, id LIMIT ?3";

inline constexpr char kMetaInfo[] = "info";
inline constexpr char kMetaNextId[] = "nextid";
inline constexpr char kMetaClass[] = "class";
inline constexpr char kMetaSettings[] = "settings";

// How many note IDs the meta row reserves at a time (see AllocateNoteId).
inline constexpr int64_t kReservedNoteIds = 64;

inline NoteInfo InfoFromRow(const Statement& row, uint32_t id,
                            int firstColumn) {
  // Columns from firstColumn: unid, class, created, modified, sequence.
  NoteInfo info;
  info.id = id;
  const std::span<const uint8_t> unid = row.ColumnBlob(firstColumn);
  std::copy_n(unid.begin(), std::min(unid.size(), info.unid.size()),
              info.unid.begin());
  info.noteClass = static_cast<uint16_t>(row.ColumnInt(firstColumn + 1));
  info.created = row.ColumnInt(firstColumn + 2);
  info.modified = row.ColumnInt(firstColumn + 3);
  info.sequence = static_cast<uint32_t>(row.ColumnInt(firstColumn + 4));
  return info;
}

}  // namespace vt::store
