// The databases and notes one server instance has open, under three rules:
// one connection per file, shared by all its handles; a file put in place of
// an open one gets a connection of its own, while handles still on the old
// one keep it (and are refused when they write); and the notes opened
// through a handle close with it.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "notes/Handles.h"
#include "notes/Status.h"
#include "server/HandleTable.h"
#include "server/store/NoteRecord.h"
#include "server/store/NsfDatabase.h"
#include "server/store/PgServer.h"

namespace vt {

// Where a database path leads: a file of this machine, or a database of a
// server kept in PostgreSQL.
struct DatabaseLocation {
  std::filesystem::path file;
  std::shared_ptr<store::PgServer> pg;  // else the file store
  std::string name;                     // the database's name in pg
  // One of this server's own mail boxes (mail rules apply to copies in).
  bool localMailBox = false;

  // Tells databases apart, in either store.
  std::string Key() const {
    return pg ? "postgresql\n" + pg->connection().conninfo() + "\n" + name
              : file.string();
  }
};

class DatabaseRegistry {
 public:
  struct OpenDb {
    std::shared_ptr<store::NsfDatabase> database;
    bool localMailBox = false;
  };
  struct OpenNote {
    DbHandle db;
    std::shared_ptr<store::NsfDatabase> database;
    store::NoteRecord note;
  };
  // Told of the files left beside a database by a removed or replaced one,
  // which opening set aside.
  using SetAsideReport =
      std::function<void(const std::filesystem::path& file,
                         const std::vector<std::filesystem::path>& moved)>;

  explicit DatabaseRegistry(SetAsideReport report)
      : report_(std::move(report)) {}
  DatabaseRegistry(const DatabaseRegistry&) = delete;
  DatabaseRegistry& operator=(const DatabaseRegistry&) = delete;
  // Notes hold their databases: they go first.
  ~DatabaseRegistry();

  // The connection to the database, opened when no handle has one.
  Status Connect(const DatabaseLocation& where,
                 std::shared_ptr<store::NsfDatabase>* database);
  // How files are opened from now on.
  void SetOpenOptions(const store::NsfDatabase::OpenOptions& options) {
    openOptions_ = options;
  }

  // Whether a handle of this instance still has the database open.
  bool IsConnected(const DatabaseLocation& where) const;
  Status AddDb(std::shared_ptr<store::NsfDatabase> database, bool localMailBox,
               DbHandle* db);
  OpenDb* FindDb(DbHandle db) const { return dbs_.Find(db.value); }
  // Closes the handle and the notes opened through it; kInvalidHandle for an
  // unknown one.
  Status CloseDb(DbHandle db);

  Status AddNote(DbHandle db, store::NoteRecord note, NoteHandle* handle);
  OpenNote* FindNote(NoteHandle note) const { return notes_.Find(note.value); }
  Status CloseNote(NoteHandle note);

 private:
  SetAsideReport report_;
  store::NsfDatabase::OpenOptions openOptions_;
  std::map<std::string, std::weak_ptr<store::NsfDatabase>> shared_;
  HandleTable<OpenDb> dbs_;
  HandleTable<OpenNote> notes_;
};

}  // namespace vt
