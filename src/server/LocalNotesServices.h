// The embedded server behind the router's NotesServices seam: databases in a
// data directory on SQLite, their notes and items, ID tables, memory, time,
// status texts and the server log. One instance serves one thread at a time
// (as a task does); several instances and processes may share one data
// directory and its databases.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "notes/NotesServices.h"
#include "server/Clock.h"
#include "server/DataDirectory.h"
#include "server/DatabaseRegistry.h"
#include "server/FormulaMailRules.h"
#include "server/HandleTable.h"
#include "server/IdTable.h"
#include "server/MailRuleFilter.h"
#include "server/MemoryBlocks.h"
#include "server/SearchCache.h"
#include "server/ServerAdmin.h"
#include "server/ServerIni.h"
#include "server/ServerLog.h"
#include "server/console/ConsoleQueue.h"
#include "server/console/StatusLines.h"
#include "server/console/TaskRuntime.h"
#include "server/console/TaskStatus.h"
#include "server/store/NoteRecord.h"
#include "server/store/NsfDatabase.h"
#include "server/view/ViewIndex.h"

namespace vt {

struct LocalNotesServicesOptions {
  std::filesystem::path dataDirectory;
  Clock* clock = nullptr;  // null: the system clock; must outlive the server
  bool echoToStdout = true;
  // SQLite's quick check on every database file when it is first opened: a
  // damaged one is refused before anything is written into it.
  bool checkDatabases = true;
  // Files of an earlier layout are brought up to date when opened; without
  // it they are refused (only `vtserver upgrade` sets it).
  bool upgradeDatabases = false;
  // A reader's server: databases in folders it may not write are read as
  // they lie (see store::NsfDatabase::OpenOptions::readOnly).
  bool readOnly = false;
  // Echoed lines for the systemd journal: no time stamp, a priority prefix.
  bool echoForJournal = false;
  // How the store changes names in folders (links, removals, folder syncs);
  // null: the POSIX calls. Must outlive the server.
  store::FileNames* fileNames = nullptr;
};

// The server log's file name in the data directory's runtime folder.
inline constexpr char kLogFileName[] = "server.log";

class LocalNotesServices : public NotesServices, public ServerAdmin {
 public:
  explicit LocalNotesServices(LocalNotesServicesOptions options);
  ~LocalNotesServices() override;

  // Opens the data directory and reads its server.ini: kNoDataDirectory when
  // either is missing. Until then database operations fail with that code.
  Status Start();
  // The same for a directory found later (StartRuntime's --data DIR).
  Status Start(const std::filesystem::path& dataDirectory);
  bool started() const { return started_; }

  // ---- The server's own side (not part of the seam) ----------------------
  const DataDirectory& dataDirectory() const { return dataDir_; }
  // The databases of a server (empty or this server's name: this server),
  // by their paths there with '/' separators, sorted: the files of its
  // folder (as DataDirectory::DatabaseFiles), or its databases in
  // PostgreSQL. kServerNotFound for a server server.ini does not name.
  Status ListDatabases(std::string_view server,
                       std::vector<std::string>* paths) const;
  const ServerIni& serverIni() const { return ini_; }
  Clock& clock() const { return *clock_; }
  // Consulted by CopyNote into this server's mail boxes; null for none. Not
  // owned; must outlive its use.
  void SetMailRuleFilter(MailRuleFilter* filter) { mailRuleFilter_ = filter; }
  // The latest log lines, oldest first.
  const std::deque<std::string>& LogLines() const { return log_.lines(); }
  // A memory block's bytes (empty if unknown) and size (false if unknown).
  std::span<uint8_t> MemoryBlock(MemHandle memory) const;
  bool MemorySize(MemHandle memory, uint32_t* size) const;
  // Whether this server can use the data directory's databases as they are:
  // kNewerFormat when server.ini's DataFormat or a database is of a later
  // layout than this version knows, kOlderFormat when a database is of an
  // earlier one (unless upgradeDatabases is set); problem names the file.
  Status CheckDataFormat(std::string* problem);
  // kPermissionDenied, with the users named in problem, when the process
  // does not run as the owner of the data directory: whatever it wrote
  // (databases, logs, console commands) the owner's router could not use.
  Status CheckOwner(std::string* problem) const;

  // ---- The tools' face (ServerAdmin, LocalServerAdmin.cpp) ----------------
  Status ScanDocuments(DbHandle db, const ScanOptions& options,
                       const DocumentVisitor& visit) override;
  Status ReadNote(NoteHandle note, NoteContents* contents) override;
  Status SetNoteCreated(NoteHandle note, int64_t createdCentis) override;
  Status DeleteDocuments(DbHandle db, std::span<const uint32_t> ids,
                         std::span<const uint32_t> sequences,
                         uint32_t* deleted) override;
  Status RemoveDatabase(const char* path) override;
  Status PinDatabase(DbHandle db, std::unique_ptr<Snapshot>* snapshot) override;
  Status CheckDatabase(DbHandle db, bool quick, std::string* problem) override;
  Status CompactDatabase(DbHandle db) override;
  std::optional<int> RecordedDataFormat(
      const std::filesystem::path& file) const override;
  Status PostConsoleCommand(std::string_view queue,
                            std::string_view command) const override;
  std::vector<TaskLine> ReadTaskLines() const override;
  std::filesystem::path LogFile() const override;

  // ---- Runtime -----------------------------------------------------------
  Status StartRuntime(int argc, char** argv) override;
  void StopRuntime() override;
  Status StartProcessArguments(int argc, char** argv, int* newArgc,
                               char*** newArgv) override;
  void EndProcessArguments(int argc, char** argv) override;
  Status RunProcessEntry(ProcessEntryFunction entry, int argc, char** argv,
                         uint32_t reserved1, uint32_t reserved2) override;
  Status StartTaskRuntime(int argc, char** argv) override;
  void GetTaskModule(ModuleHandle* module, uint32_t reserved1,
                     uint32_t reserved2) override;
  Status EndTaskRuntime(Status taskStatus) override;

  // ---- Error texts -------------------------------------------------------
  uint16_t GetStartupErrorText(Status status, std::span<char> buffer,
                               uint16_t maxLength) override;
  uint16_t GetExitErrorText(Status status, std::span<char> buffer,
                            uint16_t maxLength) override;
  uint16_t LoadStatusText(uint16_t module, Status status,
                          std::span<char> buffer, uint16_t bufferSize) override;

  // ---- Log and status line -----------------------------------------------
  void LogMessageV(const char* format, Status status, va_list args) override
      __attribute__((format(printf, 2, 0)));
  void SetStatusTextV(const char* format, va_list args) override
      __attribute__((format(printf, 2, 0)));
  void QueryTaskDefaults(ModuleHandle* module, StatusLineHandle* line) override;
  void DeleteStatusLine(StatusLineHandle line) override;
  StatusLineHandle CreateStatusLine(const char* taskName) override;
  void SetTaskDefaults(ModuleHandle module, StatusLineHandle line) override;

  // ---- Scheduling --------------------------------------------------------
  bool IdlePoll() override;
  bool ShouldTerminate() override;
  bool SecondsElapsed(uint32_t seconds) override;
  // Whether the task of the latest runtime reached its main loop (asked for
  // its turn). A task that ended before that did not start, whatever status
  // it returned.
  bool taskReachedItsLoop() const { return taskReachedItsLoop_; }

  // ---- Message queue -----------------------------------------------------
  Status OpenQueue(const char* name, uint16_t options,
                   QueueHandle* queue) override;
  Status ReadQueue(QueueHandle queue, std::span<char> buffer,
                   uint16_t maxLength, uint16_t options, uint32_t wait,
                   uint16_t* length) override;
  Status CloseQueue(QueueHandle queue, uint16_t options) override;

  // ---- Time --------------------------------------------------------------
  void CurrentTime(TimeDate* now) override;
  int CompareTimeDates(const TimeDate& a, const TimeDate& b) override;
  int CompareDates(const TimeDate& a, const TimeDate& b) override;

  // ---- Identity ----------------------------------------------------------
  Status GetServerIdName(std::span<char> name) override;

  // ---- Memory ------------------------------------------------------------
  Status AllocateMemory(uint16_t type, uint32_t size,
                        MemHandle* memory) override;
  void* LockMemory(MemHandle memory) override;
  void UnlockMemory(MemHandle memory) override;
  void FreeMemory(MemHandle memory) override;

  // ---- Stored form -------------------------------------------------------
  uint16_t CanonicalSize(uint16_t recordType) override;
  void WriteCanonical(uint8_t** cursor, uint16_t recordType, const void* record,
                      uint16_t count) override;

  // ---- ID tables ---------------------------------------------------------
  Status CreateIdTable(uint16_t entrySize, IdTableHandle* table) override;
  Status InsertId(IdTableHandle table, uint32_t noteId,
                  bool* inserted) override;
  bool ScanIds(IdTableHandle table, bool first, uint32_t* noteId) override;
  uint32_t CountIds(IdTableHandle table) override;
  Status ClearIdTable(IdTableHandle table) override;
  Status DestroyIdTable(IdTableHandle table) override;

  // ---- Databases ---------------------------------------------------------
  Status ConstructNetPath(const char* port, const char* server,
                          const char* file, std::span<char> netPath) override;
  Status OpenDatabase(const char* path, DbHandle* db) override;
  Status CloseDatabase(DbHandle db) override;
  Status CreateDatabase(const char* path, uint16_t dbClass,
                        bool force) override;
  Status GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                          uint32_t* freeBytes) override;
  Status GetDatabaseInfo(DbHandle db, DbInfo& info) override;
  void SetDatabaseInfoField(DbInfo& info, uint16_t field,
                            const char* text) override;
  Status SetDatabaseInfo(DbHandle db, const DbInfo& info) override;
  Status CopyDatabaseSettings(DbHandle from, DbHandle to) override;
  Status GetDatabaseId(DbHandle db, DatabaseId* id) override;
  Status CreateDatabaseCopy(const char* sourcePath, const char* newPath,
                            uint16_t noteClassMask, uint16_t reserved1,
                            uint32_t reserved2, DbHandle* newDb) override;

  // ---- Notes -------------------------------------------------------------
  Status OpenNote(DbHandle db, uint32_t noteId, uint16_t flags,
                  NoteHandle* note) override;
  Status OpenNoteExtended(DbHandle db, uint32_t noteId, uint32_t flags,
                          NoteHandle* note) override;
  Status CreateNote(DbHandle db, NoteHandle* note) override;
  Status UpdateNote(NoteHandle note, uint16_t flags) override;
  Status CloseNote(NoteHandle note) override;
  Status CopyNote(DbHandle source, uint32_t reserved1, uint32_t reserved2,
                  uint32_t noteId, DbHandle destination, uint32_t reserved3,
                  uint32_t reserved4, uint32_t openFlags, uint16_t updateFlags,
                  uint32_t* newNoteId, uint16_t* newNoteClass) override;
  Status DeleteNote(DbHandle db, uint32_t noteId,
                    uint16_t updateFlags) override;
  Status CopySelectedNote(DbHandle source, uint32_t noteId, MemHandle formula,
                          DbHandle destination, OriginatorId* copied) override;
  Status DeleteNoteVersion(DbHandle db, uint32_t noteId, uint32_t sequence,
                           uint16_t updateFlags) override;
  Status GetNoteInfo(DbHandle db, uint32_t noteId, uint32_t* sequence,
                     TimeDate* modified, uint16_t* noteClass) override;
  Status GetNoteOriginatorId(DbHandle db, uint32_t noteId,
                             OriginatorId* oid) override;
  Status GetNoteInfoByUnid(DbHandle db, const UniversalId& unid,
                           uint32_t* noteId, uint32_t* sequence) override;
  Status GetNoteField(NoteHandle note, uint16_t field,
                      TimeDate* value) override;
  Status SetNoteField(NoteHandle note, uint16_t field, uint16_t value) override;

  // ---- Items -------------------------------------------------------------
  uint16_t GetTextItem(NoteHandle note, const char* name,
                       std::span<char> buffer) override;
  double GetNumberItem(NoteHandle note, const char* name,
                       double defaultValue) override;
  uint16_t GetTextListCount(NoteHandle note, const char* name) override;
  uint16_t GetTextListEntry(NoteHandle note, const char* name, uint16_t index,
                            std::span<char> buffer,
                            uint16_t bufferSize) override;
  Status GetItemInfo(NoteHandle note, const char* name, uint16_t nameLength,
                     uint16_t* dataType, uint16_t* itemFlags,
                     uint32_t* valueLength, uint32_t* reserved) override;
  Status SetTextItem(NoteHandle note, const char* name, const char* text,
                     uint16_t length) override;
  Status DeleteItem(NoteHandle note, const char* name,
                    uint16_t nameLength) override;
  Status AppendItem(NoteHandle note, uint16_t itemFlags, const char* name,
                    uint16_t nameLength, uint16_t dataType, const void* value,
                    uint32_t valueLength) override;

  // ---- Formulas ----------------------------------------------------------
  Status CompileFormula(const char* name, uint16_t nameLength, const char* text,
                        uint16_t textLength, MemHandle* formula,
                        uint16_t* formulaLength, Status* compileError,
                        uint16_t* errorLine, uint16_t* errorColumn,
                        uint16_t* errorOffset, uint16_t* errorLength) override;
  Status AddFormulaSummaryName(MemHandle formula, const char* name,
                               uint16_t nameLength) override;
  Status MergeFormulas(MemHandle source, MemHandle target) override;
  Status GetFormulaSize(MemHandle formula, uint16_t* size) override;
  Status EvaluateSelection(NoteHandle note, MemHandle formula,
                           bool* selected) override;

  // ---- Search ------------------------------------------------------------
  Status SearchDatabase(DbHandle db, MemHandle formula, const char* viewTitle,
                        uint16_t searchFlags, uint16_t noteClassMask,
                        const TimeDate* since, SearchCallback callback,
                        void* context, TimeDate* until) override;

  // ---- Views -------------------------------------------------------------
  Status FindDesignNote(DbHandle db, const char* name, uint16_t noteClass,
                        const char* flagPattern, uint32_t* noteId,
                        uint32_t options) override;
  Status OpenCollection(DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId,
                        uint16_t openFlags, MemHandle unreadList,
                        CollectionHandle* collection, NoteHandle* viewNote,
                        void* viewUnid, MemHandle* collapsedList,
                        MemHandle* selectedList) override;
  Status UpdateCollection(CollectionHandle collection) override;
  Status FindByName(CollectionHandle collection, const char* key,
                    uint16_t findFlags, CollectionPosition* position,
                    uint32_t* matches) override;
  Status ReadEntries(CollectionHandle collection, CollectionPosition* position,
                     uint16_t skipNavigator, uint32_t skipCount,
                     uint16_t returnNavigator, uint32_t returnCount,
                     uint32_t returnMask, MemHandle* buffer,
                     uint16_t* bufferLength, uint32_t* entriesSkipped,
                     uint32_t* entriesReturned, uint16_t* signalFlags) override;
  Status CloseCollection(CollectionHandle collection) override;

 private:
  // The store behind the handles, for this server's own code and, through
  // LocalStoreAccess, for tests of the store's behaviour under the server.
  friend class LocalStoreAccess;
  store::NsfDatabase* Database(DbHandle db) const;
  store::NoteRecord* Note(NoteHandle note) const;
  store::FileNames& fileNames() const { return *fileNames_; }

  int64_t Now() const { return clock_->NowUnixCentis(); }
  // A database path, possibly "server!!path", as a file of this server or
  // of a [Servers] entry, or as a database of a server whose entry names a
  // PostgreSQL database.
  Status ResolvePath(const char* path, DatabaseLocation* where) const;
  // A path of the server whose databases live in PostgreSQL at uri.
  Status OnPostgres(const std::string& server, const std::string& uri,
                    std::string_view path, DatabaseLocation* where) const;
  // One line naming the database and where its leftovers went.
  void LogSetAside(const std::filesystem::path& file,
                   const std::vector<std::filesystem::path>& setAside);
  struct OpenCollectionEntry {
    std::shared_ptr<store::NsfDatabase> viewDatabase;
    std::shared_ptr<store::NsfDatabase> dataDatabase;
    uint32_t viewNoteId = 0;
    view::ViewDesign design;
    view::ViewIndex index;
  };

  // CopyNote and CopySelectedNote: the note read into copyBuffer_, tested
  // against selection (null: none) and the mail rules, and written.
  Status CopyStoredNote(DbHandle source, uint32_t noteId,
                        const formula::FormulaProgram* selection,
                        DbHandle destination, OriginatorId* copied,
                        uint32_t* newNoteId);
  // Reads the view note's design and indexes the data database.
  Status BuildCollection(OpenCollectionEntry* entry);
  DatabaseRegistry::OpenDb* FindDb(DbHandle db) const {
    return registry_.FindDb(db);
  }
  DatabaseRegistry::OpenNote* FindNote(NoteHandle note) const {
    return registry_.FindNote(note);
  }

  LocalNotesServicesOptions options_;
  SystemClock systemClock_;
  Clock* clock_;
  store::PosixFileNames posixFileNames_;
  store::FileNames* fileNames_;
  bool started_ = false;
  DataDirectory dataDir_;
  ServerIni ini_;
  ServerLog log_;
  MailRuleFilter* mailRuleFilter_ = nullptr;
  MemoryBlocks memory_;
  HandleTable<IdTable> idTables_;
  // The servers of [Servers] kept in PostgreSQL, by connection string: one
  // connection each, made when first used.
  mutable std::map<std::string, std::shared_ptr<store::PgServer>> pgServers_;
  DatabaseRegistry registry_{
      [this](const std::filesystem::path& file,
             const std::vector<std::filesystem::path>& moved) {
        LogSetAside(file, moved);
      }};
  // The copy of a move within one PostgreSQL database, held uncommitted for
  // the deletion of that version from its source.
  struct HeldCopy {
    store::NsfDatabase* source = nullptr;
    uint32_t noteId = 0;
    uint32_t sequence = 0;
    uint64_t ticket = 0;
  };
  HeldCopy heldCopy_;
  // Reused by CopyNote so that a run of copies does not reallocate.
  store::StoredNote copyBuffer_;
  // The selection CopySelectedNote decoded last, and the bytes it came from.
  std::vector<uint8_t> selectionBytes_;
  formula::FormulaProgram selection_;

  // The rules of server.ini's [MailRules], used unless a filter is set.
  FormulaMailRules mailRules_;
  HandleTable<OpenCollectionEntry> collections_;
  SearchCache searches_;

  // The task side, present between StartRuntime and StopRuntime.
  std::string startupProblem_;
  bool taskReachedItsLoop_ = false;
  std::unique_ptr<console::TaskRuntime> runtime_;
  std::unique_ptr<console::StatusLines> statusLines_;
  console::TaskStatus taskStatus_;
  HandleTable<console::ConsoleQueue> queues_;
};

}  // namespace vt
