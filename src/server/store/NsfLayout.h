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
    " summary BLOB NOT NULL);"
    "CREATE TABLE bodies(id INTEGER PRIMARY KEY, items BLOB NOT NULL);"
    "CREATE TABLE stubs(id INTEGER PRIMARY KEY, unid BLOB NOT NULL,"
    " class INTEGER NOT NULL, deleted INTEGER NOT NULL,"
    " sequence INTEGER NOT NULL);"
    "CREATE INDEX stubs_unid ON stubs(unid);";

// A scan reads a batch at a time and visits it with no statement active:
// a visitor may then write to this database even after another process
// wrote (a read snapshot held across the visit would make that write fail),
// and memory stays bounded however large the database.
inline constexpr char kScanSql[] =
    "SELECT id, class, created, modified, summary, unid FROM notes"
    " WHERE (class & ?1) != 0 AND id > ?2 ORDER BY id LIMIT ?3";
inline constexpr int kScanBatch = 512;

inline constexpr char kMetaInfo[] = "info";
inline constexpr char kMetaNextId[] = "nextid";
inline constexpr char kMetaClass[] = "class";
inline constexpr char kMetaSettings[] = "settings";

inline constexpr char kTitleItem[] = "$TITLE";

// Beyond this the ID would collide with the deleted-note flag.
inline constexpr int64_t kNoteIdLimit = 0x80000000LL;

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

// Every edit must be visible as a change even when the clock stands still.
inline int64_t NextModified(int64_t previous, int64_t now) {
  return now > previous ? now : previous + 1;
}

}  // namespace vt::store
