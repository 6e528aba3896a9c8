// Listing databases and reading their documents through the platform calls.
#include "datadir/Databases.h"

#include <algorithm>

#include "base/Ascii.h"
#include "datadir/ItemText.h"
#include "datadir/MailItems.h"
#include "notes/DbInfoText.h"
#include "notes/HandleOwners.h"
#include "server/ServerIni.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

Status CollectDocument(void* context, const SearchMatch& match) {
  if ((match.matchFlags & kSearchMatchFlag) != 0 &&
      (match.noteId & kDeletedNoteFlag) == 0) {
    static_cast<std::vector<uint32_t>*>(context)->push_back(match.noteId);
  }
  return Status();
}

Status DocumentIds(NotesServices& notes, DbHandle db,
                   std::vector<uint32_t>* ids) {
  return notes.SearchDatabase(db, MemHandle(), nullptr, 0, kNoteClassDocument,
                              nullptr, CollectDocument, ids, nullptr);
}

}  // namespace

std::vector<std::string> DatabaseFiles(const std::filesystem::path& root) {
  DataDirectory dir;
  if (!dir.Open(root).ok()) return {};
  return dir.DatabaseFiles();
}

std::vector<DatabaseSummary> SummarizeDatabases(LocalNotesServices& server) {
  std::vector<DatabaseSummary> summaries;
  std::vector<UnlistedServer> unlisted;
  for (const std::string& path : StoredDatabases(server, &unlisted)) {
    DatabaseSummary summary;
    summary.path = path;
    Database db(server);
    Status s = db.Open(path);
    DbInfo info{};
    if (s.ok()) s = server.GetDatabaseInfo(db.handle(), info);
    std::vector<uint32_t> ids;
    if (s.ok()) s = DocumentIds(server, db.handle(), &ids);
    if (s.ok()) {
      summary.title = std::string(DbInfoField(info, kDbInfoFieldTitle));
      summary.documents = static_cast<uint32_t>(ids.size());
    } else {
      summary.problem = StatusMessage(s);
    }
    summaries.push_back(std::move(summary));
  }
  for (const UnlistedServer& other : unlisted) {
    DatabaseSummary summary;
    summary.path = other.name + "!!";
    summary.problem = StatusMessage(other.status);
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

Outcome ReadDocuments(LocalNotesServices& server, const std::string& path,
                      std::vector<DocumentSummary>* documents) {
  documents->clear();
  Database db(server);
  Status s = db.Open(path);
  if (!s.ok()) return StatusFailure("cannot open " + path, s);
  std::vector<uint32_t> ids;
  s = DocumentIds(server, db.handle(), &ids);
  if (!s.ok()) return StatusFailure("cannot search " + path, s);
  for (const uint32_t id : ids) {
    Note note(server);
    s = note.Open(db.handle(), id);
    // Moved away by the router since the search.
    if (s.Is(err::kNoteDeleted) || s.Is(err::kInvalidNote)) continue;
    if (!s.ok()) return StatusFailure("cannot open a document of " + path, s);
    ServerAdmin::NoteContents contents;
    s = server.ReadNote(note.handle(), &contents);
    if (!s.ok()) return StatusFailure("cannot read a document of " + path, s);
    DocumentSummary document;
    document.noteId = id;
    for (const char* name : kListedItems) {
      if (const NoteItem* item = FindItem(contents.items, name)) {
        document.items.push_back(*item);
      }
    }
    documents->push_back(std::move(document));
  }
  return Outcome();
}

std::vector<std::string> StoredDatabases(
    const LocalNotesServices& server, std::vector<UnlistedServer>* unlisted) {
  std::vector<std::string> paths;
  const Status own = server.ListDatabases({}, &paths);
  if (!own.ok() && unlisted != nullptr) {
    unlisted->push_back({server.serverIni().serverName(), own});
  }
  for (const ServerEntry& entry : server.serverIni().servers()) {
    if (!IsPostgresLocation(entry.directory)) continue;
    std::vector<std::string> listed;
    const Status s = server.ListDatabases(entry.name, &listed);
    if (!s.ok()) {
      if (unlisted != nullptr) unlisted->push_back({entry.name, s});
      continue;
    }
    for (const std::string& path : listed) {
      paths.push_back(entry.name + "!!" + path);
    }
  }
  return paths;
}

Sightings LocateMessages(LocalNotesServices& server) {
  Sightings seen;
  for (const std::string& path : StoredDatabases(server)) {
    std::vector<DocumentSummary> documents;
    if (!ReadDocuments(server, path, &documents).ok()) continue;
    for (DocumentSummary& d : documents) {
      const std::string id = ItemValue(d, kItemMessageId);
      if (!id.empty()) seen[id].push_back({path, std::move(d)});
    }
  }
  return seen;
}

std::string ItemValue(const DocumentSummary& document, const char* name) {
  for (const NoteItem& item : document.items) {
    if (EqualsIgnoreCase(item.name, name)) return DisplayValue(item);
  }
  return {};
}

}  // namespace vt::tool
