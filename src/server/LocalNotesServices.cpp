// The embedded server's NotesServices: handle bookkeeping and argument
// checks here, the storage work in store/.
#include "server/LocalNotesServices.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "base/PosixFiles.h"
#include "notes/DbInfoText.h"
#include "notes/FixedText.h"
#include "notes/ItemValue.h"
#include "server/BufferText.h"
#include "server/ServerNames.h"
#include "server/StatusTexts.h"
#include "server/store/BlobItemSource.h"
#include "server/store/DatabaseFiles.h"
#include "server/store/PgDatabase.h"
#include "server/store/Unid.h"

namespace vt {

namespace fs = std::filesystem;

namespace {

uint32_t Clamp32(uint64_t v) {
  return v > std::numeric_limits<uint32_t>::max()
             ? std::numeric_limits<uint32_t>::max()
             : static_cast<uint32_t>(v);
}

}  // namespace

LocalNotesServices::LocalNotesServices(LocalNotesServicesOptions options)
    : options_(std::move(options)),
      clock_(options_.clock != nullptr ? options_.clock : &systemClock_),
      fileNames_(options_.fileNames != nullptr ? options_.fileNames
                                               : &posixFileNames_) {
  log_.SetEcho(!options_.echoToStdout    ? ServerLog::Echo::kNone
               : options_.echoForJournal ? ServerLog::Echo::kJournal
                                         : ServerLog::Echo::kStamped);
  store::NsfDatabase::OpenOptions open;
  open.quickCheck = options_.checkDatabases;
  open.upgrade = options_.upgradeDatabases;
  open.readOnly = options_.readOnly;
  open.names = fileNames_;
  registry_.SetOpenOptions(open);
}

LocalNotesServices::~LocalNotesServices() {}

Status LocalNotesServices::Start() {
  started_ = false;
  Status s = dataDir_.Open(options_.dataDirectory);
  if (!s.ok()) return s;
  ServerIni ini;
  s = ServerIni::Load(dataDir_.IniFile(), &ini);
  if (!s.ok()) return s;
  if (!ini.databases().empty() && !IsPostgresLocation(ini.databases())) {
    return err::kServerNotFound;  // only PostgreSQL takes a server's own
  }
  ini_ = std::move(ini);
  struct stat st {};
  const bool owner =
      ::stat(dataDir_.root().c_str(), &st) == 0 && st.st_uid == ::geteuid();
  log_.SetFile(dataDir_.RuntimeFolder() / kLogFileName, owner);
  started_ = true;
  for (const int line : ini_.badLines()) {
    LogMessage("server.ini: line %d could not be read and was ignored", 0,
               line);
  }
  std::vector<FormulaMailRules::Problem> problems;
  mailRules_.Load(ini_.mailRules(), &problems);
  for (const FormulaMailRules::Problem& p : problems) {
    LogMessage("server.ini: mail rule %s was ignored: %s", 0, p.rule.c_str(),
               p.message.c_str());
  }
  return Status();
}

Status LocalNotesServices::Start(const fs::path& dataDirectory) {
  options_.dataDirectory = dataDirectory;
  return Start();
}

// ---- Server side ------------------------------------------------------------

store::NsfDatabase* LocalNotesServices::Database(DbHandle db) const {
  const DatabaseRegistry::OpenDb* entry = FindDb(db);
  return entry == nullptr ? nullptr : entry->database.get();
}

store::NoteRecord* LocalNotesServices::Note(NoteHandle note) const {
  DatabaseRegistry::OpenNote* entry = FindNote(note);
  return entry == nullptr ? nullptr : &entry->note;
}

std::span<uint8_t> LocalNotesServices::MemoryBlock(MemHandle memory) const {
  return memory_.Block(memory);
}

bool LocalNotesServices::MemorySize(MemHandle memory, uint32_t* size) const {
  return memory_.Size(memory, size);
}

// ---- Error texts ------------------------------------------------------------

uint16_t LocalNotesServices::GetStartupErrorText(Status status,
                                                 std::span<char> buffer,
                                                 uint16_t maxLength) {
  const std::span<char> out = Limit(buffer, size_t{maxLength} + 1);
  // A runtime that could not start says what is missing.
  if (!startupProblem_.empty()) return CopyOut(out, startupProblem_);
  return static_cast<uint16_t>(WriteStatusText(status.value(), out));
}

uint16_t LocalNotesServices::GetExitErrorText(Status status,
                                              std::span<char> buffer,
                                              uint16_t maxLength) {
  return GetStartupErrorText(status, buffer, maxLength);
}

uint16_t LocalNotesServices::LoadStatusText(uint16_t, Status status,
                                            std::span<char> buffer,
                                            uint16_t bufferSize) {
  return static_cast<uint16_t>(
      WriteStatusText(status.value(), Limit(buffer, bufferSize)));
}

// ---- Log; status lines arrive with the console work -------------------------

void LocalNotesServices::LogMessageV(const char* format, Status status,
                                     va_list args) {
  FixedText<1024> text;
  if (format != nullptr) FormatBoundedV(text.span(), format, args);
  std::string line(text.view());
  // A status flagged as already shown keeps its text to itself.
  if (!status.ok() && !status.hidden()) {
    char statusText[256];
    const size_t n = WriteStatusText(status.value(), statusText);
    // Texts meant to be followed by a status text end with a blank; a
    // sentence gets one, anything else a colon, so the two stay readable.
    if (!line.empty() && line.back() != ' ') {
      line.append(line.back() == '.' ? " " : ": ");
    }
    line.append(statusText, n);
  }
  // A log rotated since the last line is let go before this one.
  if (runtime_ && runtime_->TakeLogReopenRequest()) log_.Reopen(Now());
  log_.Write(Now(), line, !status.ok());
}

// ---- Time -------------------------------------------------------------------

void LocalNotesServices::CurrentTime(TimeDate* now) {
  if (now != nullptr) *now = TimeDateFromUnixCentis(Now());
}

int LocalNotesServices::CompareTimeDates(const TimeDate& a, const TimeDate& b) {
  return CompareTimeDateValues(a, b);
}

int LocalNotesServices::CompareDates(const TimeDate& a, const TimeDate& b) {
  return CompareDateValues(a, b);
}

// ---- Identity ---------------------------------------------------------------

Status LocalNotesServices::GetServerIdName(std::span<char> name) {
  if (!name.empty()) name[0] = '\0';
  if (!started_) return err::kNoDataDirectory;
  if (ini_.serverName().empty()) return err::kMissingValue;
  if (name.empty()) return err::kBufferTooSmall;
  return CopyBounded(name, ini_.serverName()) ? Status()
                                              : Status(err::kBufferTooSmall);
}

// ---- Memory -----------------------------------------------------------------

Status LocalNotesServices::AllocateMemory(uint16_t, uint32_t size,
                                          MemHandle* memory) {
  return memory_.Allocate(size, memory);
}
void* LocalNotesServices::LockMemory(MemHandle memory) {
  return memory_.Lock(memory);
}
void LocalNotesServices::UnlockMemory(MemHandle memory) {
  memory_.Unlock(memory);
}
void LocalNotesServices::FreeMemory(MemHandle memory) { memory_.Free(memory); }

// ---- ID tables --------------------------------------------------------------

Status LocalNotesServices::CreateIdTable(uint16_t, IdTableHandle* table) {
  if (table == nullptr) return err::kInvalidArgument;
  const uint32_t value = idTables_.Add(std::make_unique<IdTable>());
  *table = IdTableHandle(value);
  return value == 0 ? Status(err::kNoMemory) : Status();
}

Status LocalNotesServices::InsertId(IdTableHandle table, uint32_t noteId,
                                    bool* inserted) {
  IdTable* t = idTables_.Find(table.value);
  if (t == nullptr) return err::kInvalidHandle;
  return t->Insert(noteId, inserted);
}

bool LocalNotesServices::ScanIds(IdTableHandle table, bool first,
                                 uint32_t* noteId) {
  IdTable* t = idTables_.Find(table.value);
  return t != nullptr && noteId != nullptr && t->Scan(first, noteId);
}

uint32_t LocalNotesServices::CountIds(IdTableHandle table) {
  const IdTable* t = idTables_.Find(table.value);
  return t == nullptr ? 0 : t->Count();
}

Status LocalNotesServices::ClearIdTable(IdTableHandle table) {
  IdTable* t = idTables_.Find(table.value);
  if (t == nullptr) return err::kInvalidHandle;
  t->Clear();
  return Status();
}

Status LocalNotesServices::DestroyIdTable(IdTableHandle table) {
  return idTables_.Remove(table.value) ? Status() : Status(err::kInvalidHandle);
}

// ---- Databases --------------------------------------------------------------

Status LocalNotesServices::ConstructNetPath(const char*, const char* server,
                                            const char* file,
                                            std::span<char> netPath) {
  if (netPath.empty()) return err::kBufferTooSmall;
  netPath[0] = '\0';
  if (file == nullptr) return err::kInvalidArgument;
  std::string path;
  if (server != nullptr && server[0] != '\0') {
    path.append(server);
    path.append("!!");
  }
  path.append(file);
  return CopyBounded(netPath, path) ? Status() : Status(err::kBufferTooSmall);
}

Status LocalNotesServices::ResolvePath(const char* path,
                                       DatabaseLocation* where) const {
  if (!started_) return err::kNoDataDirectory;
  if (path == nullptr) return err::kInvalidArgument;
  std::string_view text(path);
  *where = DatabaseLocation();
  const size_t bang = text.find("!!");
  if (bang != std::string_view::npos) {
    const std::string_view server = text.substr(0, bang);
    text.remove_prefix(bang + 2);
    if (!server.empty() && !NameMatches(ini_.serverName(), server)) {
      const ServerEntry* entry = ini_.FindServer(server);
      if (entry == nullptr || entry->directory.empty()) {
        return err::kServerNotFound;
      }
      if (IsPostgresLocation(entry->directory)) {
        return OnPostgres(entry->name, entry->directory, text, where);
      }
      fs::path root(entry->directory);
      if (root.is_relative()) root = dataDir_.root() / root;
      DataDirectory other;
      if (!other.Open(root).ok()) return err::kServerNotFound;
      // Another server's mail rules are its own business.
      return other.Resolve(text, &where->file);
    }
  }
  if (!ini_.databases().empty()) {
    const size_t cut = text.find_last_of("/\\");
    where->localMailBox = DataDirectory::IsMailBoxName(
        cut == std::string_view::npos ? text : text.substr(cut + 1));
    return OnPostgres(ini_.serverName(), ini_.databases(), text, where);
  }
  const Status s = dataDir_.Resolve(text, &where->file);
  if (s.ok()) {
    // By the name asked for or the file it leads to: a link named mail.box
    // guards its target as the mail box it stands for.
    const size_t cut = text.find_last_of("/\\");
    const std::string_view asked =
        cut == std::string_view::npos ? text : text.substr(cut + 1);
    where->localMailBox =
        DataDirectory::IsMailBoxName(asked) ||
        DataDirectory::IsMailBoxName(where->file.filename().string());
  }
  return s;
}

Status LocalNotesServices::ListDatabases(
    std::string_view server, std::vector<std::string>* paths) const {
  paths->clear();
  if (!started_) return err::kNoDataDirectory;
  // A path naming no database is resolved for its server alone.
  DatabaseLocation where;
  const std::string probe =
      server.empty() ? std::string("x") : std::string(server) + "!!x";
  Status s = ResolvePath(probe.c_str(), &where);
  if (!s.ok()) return s;
  if (where.pg) return where.pg->List(paths);
  DataDirectory folder;
  s = folder.Open(where.file.parent_path());
  if (s.ok()) *paths = folder.DatabaseFiles();
  return s;
}

Status LocalNotesServices::OnPostgres(const std::string& server,
                                      const std::string& uri,
                                      std::string_view path,
                                      DatabaseLocation* where) const {
  const Status s = store::PgServer::NameOf(path, &where->name);
  if (!s.ok()) return s;
  std::shared_ptr<store::PgServer>& pg = pgServers_[uri];
  if (!pg) pg = std::make_shared<store::PgServer>(server, uri);
  where->pg = pg;
  return Status();
}

void LocalNotesServices::LogSetAside(const fs::path& file,
                                     const std::vector<fs::path>& setAside) {
  // Named as the administrator knows it: within the data directory.
  fs::path name = file.lexically_relative(dataDir_.root());
  if (name.empty() || *name.begin() == "..") name = file;
  std::string moved;
  for (const fs::path& path : setAside) {
    if (!moved.empty()) moved.append(", ");
    moved.append(path.filename().string());
  }
  LogMessage(
      "%s: files left beside it by a removed or replaced database were set "
      "aside as %s",
      0, name.generic_string().c_str(), moved.c_str());
}

Status LocalNotesServices::OpenDatabase(const char* path, DbHandle* db) {
  if (db == nullptr) return err::kInvalidArgument;
  *db = DbHandle();
  DatabaseLocation where;
  Status s = ResolvePath(path, &where);
  if (!s.ok()) return s;
  std::shared_ptr<store::NsfDatabase> database;
  s = registry_.Connect(where, &database);
  if (!s.ok()) return s;
  return registry_.AddDb(std::move(database), where.localMailBox, db);
}

Status LocalNotesServices::CheckDataFormat(std::string* problem) {
  problem->clear();
  const int format = ini_.dataFormat();
  if (format < 0 || format > store::kSchemaVersion) {
    *problem = dataDir_.IniFile().string() +
               ": DataFormat is not one this version of VTRouter knows (at "
               "most " +
               std::to_string(store::kSchemaVersion) + ")";
    return err::kNewerFormat;
  }
  const fs::path& root = dataDir_.root();
  for (const std::string& path : dataDir_.DatabaseFiles()) {
    const std::optional<int32_t> layout =
        store::RecordedLayout(root / path, store::kApplicationId);
    if (!layout || *layout == store::kSchemaVersion) continue;
    if (*layout < store::kSchemaVersion && options_.upgradeDatabases) continue;
    // The main file may lag behind its write-ahead log: an open tells.
    DbHandle db;
    const Status s = OpenDatabase(path.c_str(), &db);
    if (s.ok()) CloseDatabase(db).IgnoreError();
    if (s.Is(err::kOlderFormat)) {
      *problem = path + " is of an older format: run 'vtserver upgrade " +
                 root.string() + "' (it backs the databases up first)";
      return s;
    }
    if (s.Is(err::kNewerFormat)) {
      *problem = path + " was made by a newer version of VTRouter";
      return s;
    }
  }
  return Status();
}

Status LocalNotesServices::CheckOwner(std::string* problem) const {
  problem->clear();
  auto name = [](uid_t uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? std::string(entry->pw_name)
                            : "uid " + std::to_string(uid);
  };
  const uid_t self = ::geteuid();
  struct stat st {};
  if (::stat(dataDir_.root().c_str(), &st) != 0) {
    return FileErrorStatus(errno, dataDir_.root(), problem);
  }
  if (st.st_uid != self) {
    *problem = dataDir_.root().string() + " belongs to " + name(st.st_uid) +
               ", not to " + name(self) + ": run this as " + name(st.st_uid) +
               " (what " + name(self) +
               " wrote there, the owner's router could not use)";
    return err::kPermissionDenied;
  }
  // A runtime folder or log that someone else made (an earlier run as
  // root) would leave the router without its console queue and status
  // lines while it seemed to run.
  const fs::path runtime = dataDir_.RuntimeFolder();
  for (const fs::path& path : {runtime, runtime / kLogFileName}) {
    if (::lstat(path.c_str(), &st) != 0 || st.st_uid == self) continue;
    *problem = path.string() + " belongs to " + name(st.st_uid) + ", not to " +
               name(self) + ": give it back (chown -R " + name(self) + " " +
               runtime.string() + ")";
    return err::kPermissionDenied;
  }
  return Status();
}

Status LocalNotesServices::RemoveDatabase(const char* path) {
  DatabaseLocation where;
  const Status s = ResolvePath(path, &where);
  if (!s.ok()) return s;
  if (registry_.IsConnected(where)) return err::kDatabaseBusy;
  if (where.pg) return where.pg->Remove(where.name);
  std::error_code ec;
  if (!fs::is_regular_file(where.file, ec)) return err::kFileNotFound;
  return store::RemoveDatabaseFiles(where.file, *fileNames_);
}

Status LocalNotesServices::CloseDatabase(DbHandle db) {
  return registry_.CloseDb(db);
}

Status LocalNotesServices::CreateDatabase(const char* path, uint16_t dbClass,
                                          bool) {
  // An existing database is never overwritten, whatever force asks: the
  // router creates only what it found missing.
  DatabaseLocation where;
  Status s = ResolvePath(path, &where);
  if (!s.ok()) return s;
  if (where.pg) return where.pg->Create(where.name, dbClass, Now(), nullptr);
  const fs::path& file = where.file;
  std::error_code ec;
  const bool existed = fs::exists(fs::symlink_status(file, ec));
  s = store::NsfDatabase::Create(file, dbClass, Now(), nullptr, *fileNames_);
  // Only the folder's sync failed once the file is in place: a failure now
  // would leave the caller's database there untitled and unused. It is
  // kept, and the risk to its name is said.
  if (!s.ok() && !existed && !s.Is(err::kFileExists) &&
      fs::is_regular_file(file, ec)) {
    LogMessage(
        "Database %s was created, but its folder could not be synced: "
        "a power cut could still lose its name",
        s, path);
    return Status();
  }
  return s;
}

Status LocalNotesServices::GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                                            uint32_t* freeBytes) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  uint64_t used = 0;
  uint64_t free = 0;
  const Status s = database->GetSpace(&used, &free);
  if (!s.ok()) return s;
  if (usedBytes != nullptr) *usedBytes = Clamp32(used);
  if (freeBytes != nullptr) *freeBytes = Clamp32(free);
  return Status();
}

Status LocalNotesServices::GetDatabaseInfo(DbHandle db, DbInfo& info) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  return database->GetInfo(&info);
}

void LocalNotesServices::SetDatabaseInfoField(DbInfo& info, uint16_t field,
                                              const char* text) {
  SetDbInfoField(info, field, text != nullptr ? text : "");
}

Status LocalNotesServices::SetDatabaseInfo(DbHandle db, const DbInfo& info) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  return database->SetInfo(info, Now());
}

Status LocalNotesServices::CopyDatabaseSettings(DbHandle from, DbHandle to) {
  store::NsfDatabase* source = Database(from);
  store::NsfDatabase* destination = Database(to);
  if (source == nullptr || destination == nullptr) return err::kInvalidHandle;
  return source->CopySettingsTo(*destination, Now());
}

Status LocalNotesServices::GetDatabaseId(DbHandle db, DatabaseId* id) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  if (id == nullptr) return err::kInvalidArgument;
  uint64_t value = 0;
  if (!database->IdentityKey(&value)) return err::kNotAvailable;
  for (size_t i = 0; i < id->size(); ++i) {
    (*id)[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  return Status();
}

Status LocalNotesServices::CreateDatabaseCopy(const char* sourcePath,
                                              const char* newPath,
                                              uint16_t noteClassMask, uint16_t,
                                              uint32_t, DbHandle* newDb) {
  if (newDb != nullptr) *newDb = DbHandle();
  DatabaseLocation from;
  DatabaseLocation to;
  Status s = ResolvePath(sourcePath, &from);
  if (s.ok()) s = ResolvePath(newPath, &to);
  if (!s.ok()) return s;
  std::shared_ptr<store::NsfDatabase> source;
  s = registry_.Connect(from, &source);
  if (!s.ok()) return s;
  uint16_t dbClass = 0;
  s = source->GetDbClass(&dbClass);
  if (!s.ok()) return s;
  const store::NsfDatabase::Filler fill = [&](store::NsfDatabase& fresh) {
    return source->CopyContentInto(fresh, noteClassMask, Now());
  };
  s = to.pg ? to.pg->Create(to.name, dbClass, Now(), fill)
            : store::NsfDatabase::Create(to.file, dbClass, Now(), fill,
                                         *fileNames_);
  if (!s.ok() || newDb == nullptr) return s;
  std::shared_ptr<store::NsfDatabase> created;
  s = registry_.Connect(to, &created);
  if (!s.ok()) return s;
  return registry_.AddDb(std::move(created), to.localMailBox, newDb);
}

// ---- Notes ------------------------------------------------------------------

Status LocalNotesServices::OpenNote(DbHandle db, uint32_t noteId, uint16_t,
                                    NoteHandle* note) {
  return OpenNoteExtended(db, noteId, 0, note);
}

Status LocalNotesServices::OpenNoteExtended(DbHandle db, uint32_t noteId,
                                            uint32_t, NoteHandle* note) {
  if (note == nullptr) return err::kInvalidArgument;
  *note = NoteHandle();
  const DatabaseRegistry::OpenDb* entry = FindDb(db);
  if (entry == nullptr) return err::kInvalidHandle;
  store::NoteRecord record;
  const Status s = entry->database->ReadNote(noteId, &record);
  if (!s.ok()) return s;
  return registry_.AddNote(db, std::move(record), note);
}

Status LocalNotesServices::CreateNote(DbHandle db, NoteHandle* note) {
  if (note == nullptr) return err::kInvalidArgument;
  *note = NoteHandle();
  const DatabaseRegistry::OpenDb* entry = FindDb(db);
  if (entry == nullptr) return err::kInvalidHandle;
  store::NoteRecord record;
  record.unid = store::NewUnid();
  record.noteClass = kNoteClassDocument;
  record.created = Now();
  record.modified = record.created;
  return registry_.AddNote(db, std::move(record), note);
}

Status LocalNotesServices::UpdateNote(NoteHandle note, uint16_t) {
  DatabaseRegistry::OpenNote* entry = FindNote(note);
  if (entry == nullptr) return err::kInvalidHandle;
  return entry->database->WriteNote(&entry->note, Now());
}

Status LocalNotesServices::CloseNote(NoteHandle note) {
  return registry_.CloseNote(note);
}

Status LocalNotesServices::CopyNote(DbHandle source, uint32_t, uint32_t,
                                    uint32_t noteId, DbHandle destination,
                                    uint32_t, uint32_t, uint32_t, uint16_t,
                                    uint32_t* newNoteId,
                                    uint16_t* newNoteClass) {
  uint32_t id = 0;
  const Status s =
      CopyStoredNote(source, noteId, nullptr, destination, nullptr, &id);
  if (!s.ok()) return s;
  if (newNoteId != nullptr) *newNoteId = id;
  if (newNoteClass != nullptr) *newNoteClass = copyBuffer_.info.noteClass;
  return Status();
}

Status LocalNotesServices::CopySelectedNote(DbHandle source, uint32_t noteId,
                                            MemHandle formula,
                                            DbHandle destination,
                                            OriginatorId* copied) {
  if (copied == nullptr) return err::kInvalidArgument;
  *copied = OriginatorId();
  const formula::FormulaProgram* program = nullptr;
  if (formula) {
    const std::span<const uint8_t> blob = memory_.Block(formula);
    if (blob.empty()) return err::kInvalidHandle;
    // A move copies note after note with one formula: decoded once, and
    // again only when the bytes under the handle are not the ones decoded.
    if (!std::equal(blob.begin(), blob.end(), selectionBytes_.begin(),
                    selectionBytes_.end())) {
      selectionBytes_.clear();
      const Status s = formula::DecodeFormula(blob, &selection_);
      if (!s.ok()) return s;
      selectionBytes_.assign(blob.begin(), blob.end());
    }
    program = &selection_;
  }
  uint32_t id = 0;
  return CopyStoredNote(source, noteId, program, destination, copied, &id);
}

Status LocalNotesServices::CopyStoredNote(
    DbHandle source, uint32_t noteId, const formula::FormulaProgram* selection,
    DbHandle destination, OriginatorId* copied, uint32_t* newNoteId) {
  const DatabaseRegistry::OpenDb* from = FindDb(source);
  const DatabaseRegistry::OpenDb* to = FindDb(destination);
  if (from == nullptr || to == nullptr) return err::kInvalidHandle;
  // A note "copied" into its own database would replace itself, and the
  // mover would then delete the only copy.
  uint64_t fromKey = 0;
  uint64_t toKey = 0;
  if (from->database == to->database ||
      (from->database->IdentityKey(&fromKey) &&
       to->database->IdentityKey(&toKey) && fromKey == toKey)) {
    return err::kSameDatabase;
  }
  Status s = from->database->ReadStoredNote(noteId, &copyBuffer_);
  if (!s.ok()) return s;
  if (copied != nullptr) {
    copied->unid = copyBuffer_.info.unid;
    copied->sequence = copyBuffer_.info.sequence;
  }
  const TimeDate now = TimeDateFromUnixCentis(Now());
  if (selection != nullptr) {
    // Judged by the summary items, as the search that chose it judged it.
    const store::BlobItemSource summary(copyBuffer_.summary, {},
                                        copyBuffer_.info.created,
                                        copyBuffer_.info.modified);
    if (!selection->Selects(summary, now)) return err::kNoLongerSelected;
  }
  MailRuleFilter* rules = mailRuleFilter_;
  if (rules == nullptr && !mailRules_.empty()) {
    mailRules_.SetNow(now);
    rules = &mailRules_;
  }
  if (to->localMailBox && rules != nullptr) {
    const store::BlobItemSource note(copyBuffer_.summary, copyBuffer_.other,
                                     copyBuffer_.info.created,
                                     copyBuffer_.info.modified);
    if (rules->Refuses(note)) return err::kMailRuleRefused;
  }
  // Within one PostgreSQL database, the copy waits for the deletion that
  // completes the move (DeleteNoteVersion) to commit with it.
  auto* pgFrom = dynamic_cast<store::PgDatabase*>(from->database.get());
  auto* pgTo = dynamic_cast<store::PgDatabase*>(to->database.get());
  if (pgFrom != nullptr && pgTo != nullptr &&
      pgFrom->server() == pgTo->server()) {
    HeldCopy held;
    Status s =
        pgTo->PutStoredNoteHeld(copyBuffer_, Now(), newNoteId, &held.ticket);
    if (!s.ok()) return s;
    held.source = pgFrom;
    held.noteId = noteId;
    held.sequence = copyBuffer_.info.sequence;
    heldCopy_ = held;
    return Status();
  }
  return to->database->PutStoredNote(copyBuffer_, Now(), newNoteId);
}

Status LocalNotesServices::DeleteNote(DbHandle db, uint32_t noteId, uint16_t) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  return database->DeleteNote(noteId, Now());
}

Status LocalNotesServices::DeleteNoteVersion(DbHandle db, uint32_t noteId,
                                             uint32_t sequence, uint16_t) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  // Version 0 is no version: it must not mean "any".
  if (sequence == store::NsfDatabase::kAnyVersion) return err::kInvalidArgument;
  // The deletion that completes a move within one PostgreSQL database
  // commits with its copy.
  const HeldCopy held = std::exchange(heldCopy_, HeldCopy());
  auto* pg = dynamic_cast<store::PgDatabase*>(database);
  if (pg != nullptr && held.ticket != 0 && held.source == database &&
      held.noteId == noteId && held.sequence == sequence) {
    return pg->DeleteCompletingMove(held.ticket, noteId, Now(), sequence);
  }
  return database->DeleteNote(noteId, Now(), sequence);
}

Status LocalNotesServices::GetNoteInfo(DbHandle db, uint32_t noteId,
                                       uint32_t* sequence, TimeDate* modified,
                                       uint16_t* noteClass) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  store::NoteInfo info;
  const Status s = database->GetNoteInfo(noteId, &info);
  if (!s.ok()) return s;
  if (sequence != nullptr) *sequence = info.sequence;
  if (modified != nullptr) *modified = TimeDateFromUnixCentis(info.modified);
  if (noteClass != nullptr) *noteClass = info.noteClass;
  return Status();
}

Status LocalNotesServices::GetNoteOriginatorId(DbHandle db, uint32_t noteId,
                                               OriginatorId* oid) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  if (oid == nullptr) return err::kInvalidArgument;
  store::NoteInfo info;
  const Status s = database->GetNoteInfo(noteId, &info);
  if (!s.ok()) return s;
  oid->unid = info.unid;
  oid->sequence = info.sequence;
  return Status();
}

Status LocalNotesServices::GetNoteInfoByUnid(DbHandle db,
                                             const UniversalId& unid,
                                             uint32_t* noteId,
                                             uint32_t* sequence) {
  store::NsfDatabase* database = Database(db);
  if (database == nullptr) return err::kInvalidHandle;
  uint32_t id = 0;
  uint32_t version = 0;
  const Status s = database->FindByUnid(unid, &id, &version);
  if (!s.ok()) return s;
  if (noteId != nullptr) *noteId = id;
  if (sequence != nullptr) *sequence = version;
  return Status();
}

Status LocalNotesServices::GetNoteField(NoteHandle note, uint16_t field,
                                        TimeDate* value) {
  const store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  if (value == nullptr || field != kNoteFieldModified) {
    return err::kInvalidArgument;
  }
  *value = TimeDateFromUnixCentis(record->modified);
  return Status();
}

Status LocalNotesServices::SetNoteField(NoteHandle note, uint16_t field,
                                        uint16_t value) {
  store::NoteRecord* record = Note(note);
  if (record == nullptr) return err::kInvalidHandle;
  if (field != kNoteFieldClass) return err::kInvalidArgument;
  record->noteClass = value;
  return Status();
}

}  // namespace vt
