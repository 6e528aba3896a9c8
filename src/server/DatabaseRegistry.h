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
#include <vector>

#include "notes/Handles.h"
#include "notes/Status.h"
#include "server/HandleTable.h"
#include "server/store/NoteRecord.h"
#include "server/store/NsfDatabase.h"

namespace vt {

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

  // The connection to file, opened when no handle has one.
  Status Connect(const std::filesystem::path& file,
                 std::shared_ptr<store::NsfDatabase>* database);
  // How files are opened from now on.
  void SetOpenOptions(const store::NsfDatabase::OpenOptions& options) {
    openOptions_ = options;
  }

  // Whether a handle of this instance still has file open.
  bool IsConnected(const std::filesystem::path& file) const;
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
  std::map<std::filesystem::path, std::weak_ptr<store::NsfDatabase>> shared_;
  HandleTable<OpenDb> dbs_;
  HandleTable<OpenNote> notes_;
};

}  // namespace vt
