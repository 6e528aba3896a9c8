// Through LocalNotesServices and its store, over the data directory.
#include "StoreAccess.h"

#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "server/LocalNotesServices.h"
#include "server/LocalStoreAccess.h"

namespace vt::e2e {
namespace {

class Server {
 public:
  explicit Server(const std::string& dir) : server_(Options(dir)) {}
  ~Server() {
    for (const DbHandle db : open_) server_.CloseDatabase(db).IgnoreError();
  }

  Status Start() { return server_.Start(); }
  LocalNotesServices& operator*() { return server_; }
  LocalNotesServices* operator->() { return &server_; }

  Status Open(const std::string& path, DbHandle* db) {
    const Status s = server_.OpenDatabase(path.c_str(), db);
    if (s.ok()) open_.push_back(*db);
    return s;
  }

  // The note ID of the document of that Subject.
  Status Find(DbHandle db, const std::string& subject, uint32_t* noteId) {
    store::NsfDatabase* database = LocalStoreAccess::Database(server_, db);
    if (database == nullptr) return err::kInvalidHandle;
    std::optional<uint32_t> found;
    const Status s = database->ForEachNote(
        kNoteClassDocument, [&](const store::ScanEntry& entry) {
          store::ItemList items;
          if (items.Load(entry.summary, {}).ok()) {
            const store::Item* item = items.Find("Subject");
            if (item != nullptr && std::string(item->value.begin(),
                                               item->value.end()) == subject) {
              found = entry.id;
            }
          }
          return Status();
        });
    if (!s.ok()) return s;
    if (!found) return err::kNotFound;
    *noteId = *found;
    return Status();
  }

 private:
  static LocalNotesServicesOptions Options(const std::string& dir) {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir;
    options.echoToStdout = false;
    return options;
  }

  LocalNotesServices server_;
  std::vector<DbHandle> open_;
};

}  // namespace

Status MakeDatabase(const std::string& dir, const std::string& path) {
  Server server(dir);
  const Status s = server.Start();
  return s.ok() ? server->CreateDatabase(path.c_str(), 0xFF01, false) : s;
}

Status CopyMessage(const std::string& dir, const std::string& from,
                   const std::string& subject, const std::string& to) {
  Server server(dir);
  DbHandle source, destination;
  uint32_t noteId = 0;
  Status s = server.Start();
  if (s.ok()) s = server.Open(from, &source);
  if (s.ok()) s = server.Open(to, &destination);
  if (s.ok()) s = server.Find(source, subject, &noteId);
  store::StoredNote note;
  if (s.ok())
    s = LocalStoreAccess::Database(*server, source)
            ->ReadStoredNote(noteId, &note);
  uint32_t written = 0;
  if (s.ok()) {
    s = LocalStoreAccess::Database(*server, destination)
            ->PutStoredNote(note, server->clock().NowUnixCentis(), &written);
  }
  if (s.ok() && written == 0) s = err::kNotFound;
  return s;
}

Status SetItems(const std::string& dir, const std::string& path,
                const std::string& subject,
                const std::vector<std::pair<std::string, std::string>>& items) {
  Server server(dir);
  DbHandle db;
  uint32_t noteId = 0;
  Status s = server.Start();
  if (s.ok()) s = server.Open(path, &db);
  if (s.ok()) s = server.Find(db, subject, &noteId);
  NoteHandle note;
  if (s.ok()) s = server->OpenNote(db, noteId, 0, &note);
  if (!s.ok()) return s;
  for (const auto& [name, value] : items) {
    if (s.ok()) {
      s = server->SetTextItem(note, name.c_str(), value.c_str(),
                              static_cast<uint16_t>(value.size()));
    }
  }
  if (s.ok()) s = server->UpdateNote(note, 0);
  server->CloseNote(note).IgnoreError();
  return s;
}

namespace {

// Moves a time column of every note back, beside the store, which keeps
// these times to itself.
Status ShiftTimes(const std::string& dir, const std::string& path,
                  const char* column, int minutes) {
  const std::string file = (std::filesystem::path(dir) / path).string();
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) {
    // Leaves the log in place for the server's connections, as they do.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    sqlite3_busy_timeout(db, 10000);
    const std::string sql = std::string("UPDATE notes SET ") + column + " = " +
                            column + " - " +
                            std::to_string(int64_t{minutes} * 60 * 100);
    rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  return rc == SQLITE_OK ? Status() : Status(err::kDiskError);
}

}  // namespace

Status BackdateEntries(const std::string& dir, const std::string& path,
                       int minutes) {
  return ShiftTimes(dir, path, "added", minutes);
}

Status BackdateCreation(const std::string& dir, const std::string& path,
                        int minutes) {
  return ShiftTimes(dir, path, "created", minutes);
}

}  // namespace vt::e2e
