// The tools' face of the embedded server (ServerAdmin), over the store, the
// formula engine and the console behind LocalNotesServices.
#include <vector>

#include "server/LocalNotesServices.h"
#include "server/console/ConsoleQueue.h"
#include "server/console/StatusLines.h"
#include "server/formula/FormulaProgram.h"
#include "server/store/BlobItemSource.h"
#include "server/store/DatabaseFiles.h"
#include "server/store/ItemList.h"

namespace vt {

static_assert(kDataFormat == store::kSchemaVersion,
              "server.ini's DataFormat names the store's layout");

namespace {

constexpr size_t kMaxSelections = 32;

// A pinned read snapshot, let go with its owner.
class LocalSnapshot : public ServerAdmin::Snapshot {
 public:
  LocalSnapshot(std::shared_ptr<store::NsfDatabase> database,
                store::FileNames& names)
      : database_(std::move(database)), names_(names) {}
  ~LocalSnapshot() override { database_->Unpin(); }

  Status CopyTo(const std::filesystem::path& dest) override {
    return database_->CopyTo(dest, names_);
  }

 private:
  std::shared_ptr<store::NsfDatabase> database_;
  store::FileNames& names_;
};

}  // namespace

Status LocalNotesServices::ScanDocuments(DbHandle db,
                                         const ScanOptions& options,
                                         const DocumentVisitor& visit) {
  const DatabaseRegistry::OpenDb* open = FindDb(db);
  if (open == nullptr) return err::kInvalidHandle;
  if (options.selections.size() > kMaxSelections) return err::kInvalidArgument;
  // Held for the whole scan: a visitor may close the handle.
  const std::shared_ptr<store::NsfDatabase> database = open->database;
  std::vector<formula::FormulaProgram> programs(options.selections.size());
  for (size_t i = 0; i < programs.size(); ++i) {
    const std::span<const uint8_t> blob = memory_.Block(options.selections[i]);
    if (blob.empty()) return err::kInvalidHandle;
    const Status s = formula::DecodeFormula(blob, &programs[i]);
    if (!s.ok()) return s;
  }
  const TimeDate now = TimeDateFromUnixCentis(Now());
  store::ItemList summary;
  const auto each = [&](const store::ScanEntry& entry) -> Status {
    if (entry.noteClass != kNoteClassDocument) return Status();
    Document document;
    document.noteId = entry.id;
    document.unid = entry.unid;
    document.sequence = entry.sequence;
    document.created = entry.created;
    document.modified = entry.modified;
    document.added = entry.added;
    if (!programs.empty()) {
      // Judged as a search judges it: by the summary items.
      const store::BlobItemSource items(entry.summary, {}, entry.created,
                                        entry.modified);
      for (size_t i = 0; i < programs.size(); ++i) {
        if (programs[i].Selects(items, now)) document.selected |= 1u << i;
      }
    }
    if (options.summary) {
      const Status loaded = summary.Load(entry.summary, {});
      if (!loaded.ok()) return loaded;
      document.summary = &summary.items();
    }
    return visit(document);
  };
  if (!options.only.empty()) return database->ForEachNoteOf(options.only, each);
  return database->ForEachNote(kNoteClassDocument, each);
}

Status LocalNotesServices::ReadNote(NoteHandle note, NoteContents* contents) {
  const store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  if (contents == nullptr) return err::kInvalidArgument;
  contents->noteId = record->id;
  contents->unid = record->unid;
  contents->sequence = record->sequence;
  contents->created = record->created;
  contents->modified = record->modified;
  contents->items = record->items.items();
  return Status();
}

Status LocalNotesServices::SetNoteCreated(NoteHandle note,
                                          int64_t createdCentis) {
  store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  record->created = createdCentis;
  return Status();
}

Status LocalNotesServices::DeleteDocuments(DbHandle db,
                                           std::span<const uint32_t> ids,
                                           std::span<const uint32_t> sequences,
                                           uint32_t* deleted) {
  if (deleted == nullptr) return err::kInvalidArgument;
  *deleted = 0;
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  return database->DeleteNotes(ids, Now(), deleted, sequences);
}

Status LocalNotesServices::PinDatabase(DbHandle db,
                                       std::unique_ptr<Snapshot>* snapshot) {
  if (snapshot == nullptr) return err::kInvalidArgument;
  snapshot->reset();
  const DatabaseRegistry::OpenDb* open = FindDb(db);
  if (open == nullptr) return err::kInvalidHandle;
  const Status s = open->database->Pin();
  if (!s.ok()) return s;
  *snapshot = std::make_unique<LocalSnapshot>(open->database, *fileNames_);
  return Status();
}

Status LocalNotesServices::CheckDatabase(DbHandle db, bool quick,
                                         std::string* problem) {
  if (problem == nullptr) return err::kInvalidArgument;
  problem->clear();
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  return database->CheckIntegrity(quick, problem);
}

Status LocalNotesServices::CompactDatabase(DbHandle db) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  return database->Compact();
}

std::optional<int> LocalNotesServices::RecordedDataFormat(
    const std::filesystem::path& file) const {
  const std::optional<int32_t> layout =
      store::RecordedLayout(file, store::kApplicationId);
  if (!layout) return std::nullopt;
  return static_cast<int>(*layout);
}

Status LocalNotesServices::PostConsoleCommand(std::string_view queue,
                                              std::string_view command) const {
  if (command.size() > kMaxConsoleCommand) return err::kQueueMessageTooLarge;
  return console::ConsoleQueue::Post(dataDir_.root(), queue, command);
}

std::vector<ServerAdmin::TaskLine> LocalNotesServices::ReadTaskLines() const {
  std::vector<TaskLine> lines;
  for (const console::StatusLineInfo& line :
       console::StatusLines::ReadAll(dataDir_.root())) {
    lines.push_back({line.name, line.text, line.running});
  }
  return lines;
}

std::filesystem::path LocalNotesServices::LogFile() const {
  return dataDir_.RuntimeFolder() / kLogFileName;
}

}  // namespace vt
