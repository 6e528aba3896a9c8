// Open databases and notes of a server instance; see DatabaseRegistry.h.
#include "server/DatabaseRegistry.h"

namespace vt {

namespace fs = std::filesystem;

DatabaseRegistry::~DatabaseRegistry() {
  notes_.RemoveIf([](const OpenNote&) { return true; });
  dbs_.RemoveIf([](const OpenDb&) { return true; });
}

bool DatabaseRegistry::IsConnected(const DatabaseLocation& where) const {
  const auto it = shared_.find(where.Key());
  return it != shared_.end() && !it->second.expired();
}

Status DatabaseRegistry::Connect(
    const DatabaseLocation& where,
    std::shared_ptr<store::NsfDatabase>* database) {
  const std::string key = where.Key();
  const auto it = shared_.find(key);
  if (it != shared_.end()) {
    std::shared_ptr<store::NsfDatabase> live = it->second.lock();
    if (live && live->CheckInPlace().ok()) {
      *database = std::move(live);
      return Status();
    }
    shared_.erase(it);
  }
  std::unique_ptr<store::NsfDatabase> opened;
  Status s;
  if (where.pg) {
    s = where.pg->Open(where.name, &opened);
  } else {
    std::vector<fs::path> setAside;
    s = store::NsfDatabase::Open(where.file, &opened, &setAside, openOptions_);
    if (!setAside.empty() && report_) report_(where.file, setAside);
  }
  if (!s.ok()) return s;
  std::shared_ptr<store::NsfDatabase> live(std::move(opened));
  // Forget the databases closed since (a rolled-over quarantine is never
  // opened again), so that the map does not grow over a long run.
  std::erase_if(shared_,
                [](const auto& entry) { return entry.second.expired(); });
  shared_[key] = live;
  *database = std::move(live);
  return Status();
}

Status DatabaseRegistry::AddDb(std::shared_ptr<store::NsfDatabase> database,
                               bool localMailBox, DbHandle* db) {
  auto entry = std::make_unique<OpenDb>();
  entry->database = std::move(database);
  entry->localMailBox = localMailBox;
  const uint32_t value = dbs_.Add(std::move(entry));
  if (value == 0) return err::kNoMemory;
  *db = DbHandle(value);
  return Status();
}

Status DatabaseRegistry::CloseDb(DbHandle db) {
  if (!dbs_.Remove(db.value)) return err::kInvalidHandle;
  // Later uses of the notes opened through it fail with kInvalidHandle.
  notes_.RemoveIf([db](const OpenNote& note) { return note.db == db; });
  return Status();
}

Status DatabaseRegistry::AddNote(DbHandle db, store::NoteRecord note,
                                 NoteHandle* handle) {
  const OpenDb* open = FindDb(db);
  if (open == nullptr) return err::kInvalidHandle;
  auto entry = std::make_unique<OpenNote>();
  entry->db = db;
  entry->database = open->database;
  entry->note = std::move(note);
  const uint32_t value = notes_.Add(std::move(entry));
  if (value == 0) return err::kNoMemory;
  *handle = NoteHandle(value);
  return Status();
}

Status DatabaseRegistry::CloseNote(NoteHandle note) {
  return notes_.Remove(note.value) ? Status() : Status(err::kInvalidHandle);
}

}  // namespace vt
