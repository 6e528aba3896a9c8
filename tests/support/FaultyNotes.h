// A NotesServices wrapper for tests: counts every call by operation name,
// fails the Nth call of a chosen operation with a chosen status (once, or
// from then on), and counts the handles the code under test holds, so a test
// can check that nothing is left open. Failing operations do not reach the
// server. Faults the embedded server cannot be made to produce on demand
// come from here.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "notes/NotesServicesWrapper.h"

namespace vt::testing {

class FaultyNotes : public NotesServicesWrapper {
 public:
  // kAfterward: the Nth call is carried out, then reported as failed (a
  // copy committed before its failure was seen); CopyNote, DeleteNote and
  // UpdateNote only.
  enum class Mode { kOnce, kFromThen, kAfterward };

  explicit FaultyNotes(NotesServices& target) : NotesServicesWrapper(target) {}

  // Fails call number n (1-based, counted from now) of operation op with
  // status; with kFromThen every later call fails too.
  void FailCall(const std::string& op, int n, Status status,
                Mode mode = Mode::kOnce) {
    Fault& f = faults_[op];
    f.failAt = calls_[op] + n;
    f.status = status;
    f.mode = mode;
  }
  void ClearFaults() {
    faults_.clear();
    afterward_.clear();
  }

  int Calls(const std::string& op) const {
    auto it = calls_.find(op);
    return it == calls_.end() ? 0 : it->second;
  }
  int TotalCalls() const { return total_; }
  // How many injected failures have fired.
  int Injected() const { return injected_; }

  int openDatabases() const { return openDatabases_; }
  int openNotes() const { return openNotes_; }
  int idTables() const { return idTables_; }
  int memoryBlocks() const { return memoryBlocks_; }
  int collections() const { return collections_; }

  Status StartRuntime(int argc, char** argv) override {
    Status injected;
    if (Inject("StartRuntime", &injected)) return injected;
    const Status s = NotesServicesWrapper::StartRuntime(argc, argv);
    return s;
  }

  void StopRuntime() override {
    Count("StopRuntime");
    NotesServicesWrapper::StopRuntime();
  }

  Status StartProcessArguments(int argc, char** argv, int* newArgc,
                               char*** newArgv) override {
    Status injected;
    if (Inject("StartProcessArguments", &injected)) return injected;
    const Status s = NotesServicesWrapper::StartProcessArguments(
        argc, argv, newArgc, newArgv);
    return s;
  }

  void EndProcessArguments(int argc, char** argv) override {
    Count("EndProcessArguments");
    NotesServicesWrapper::EndProcessArguments(argc, argv);
  }

  Status RunProcessEntry(ProcessEntryFunction entry, int argc, char** argv,
                         uint32_t reserved1, uint32_t reserved2) override {
    Status injected;
    if (Inject("RunProcessEntry", &injected)) return injected;
    const Status s = NotesServicesWrapper::RunProcessEntry(
        entry, argc, argv, reserved1, reserved2);
    return s;
  }

  Status StartTaskRuntime(int argc, char** argv) override {
    Status injected;
    if (Inject("StartTaskRuntime", &injected)) return injected;
    const Status s = NotesServicesWrapper::StartTaskRuntime(argc, argv);
    return s;
  }

  void GetTaskModule(ModuleHandle* module, uint32_t reserved1,
                     uint32_t reserved2) override {
    Count("GetTaskModule");
    NotesServicesWrapper::GetTaskModule(module, reserved1, reserved2);
  }

  Status EndTaskRuntime(Status taskStatus) override {
    Status injected;
    if (Inject("EndTaskRuntime", &injected)) return injected;
    const Status s = NotesServicesWrapper::EndTaskRuntime(taskStatus);
    return s;
  }

  uint16_t GetStartupErrorText(Status status, std::span<char> buffer,
                               uint16_t maxLength) override {
    Count("GetStartupErrorText");
    return NotesServicesWrapper::GetStartupErrorText(status, buffer, maxLength);
  }

  uint16_t GetExitErrorText(Status status, std::span<char> buffer,
                            uint16_t maxLength) override {
    Count("GetExitErrorText");
    return NotesServicesWrapper::GetExitErrorText(status, buffer, maxLength);
  }

  uint16_t LoadStatusText(uint16_t module, Status status,
                          std::span<char> buffer,
                          uint16_t bufferSize) override {
    Count("LoadStatusText");
    return NotesServicesWrapper::LoadStatusText(module, status, buffer,
                                                bufferSize);
  }

  void LogMessageV(const char* format, Status status, va_list args) override {
    Count("LogMessageV");
    NotesServicesWrapper::LogMessageV(format, status, args);
  }

  void SetStatusTextV(const char* format, va_list args) override {
    Count("SetStatusTextV");
    NotesServicesWrapper::SetStatusTextV(format, args);
  }

  void QueryTaskDefaults(ModuleHandle* module,
                         StatusLineHandle* line) override {
    Count("QueryTaskDefaults");
    NotesServicesWrapper::QueryTaskDefaults(module, line);
  }

  void DeleteStatusLine(StatusLineHandle line) override {
    Count("DeleteStatusLine");
    NotesServicesWrapper::DeleteStatusLine(line);
  }

  StatusLineHandle CreateStatusLine(const char* taskName) override {
    Count("CreateStatusLine");
    return NotesServicesWrapper::CreateStatusLine(taskName);
  }

  void SetTaskDefaults(ModuleHandle module, StatusLineHandle line) override {
    Count("SetTaskDefaults");
    NotesServicesWrapper::SetTaskDefaults(module, line);
  }

  bool IdlePoll() override {
    Count("IdlePoll");
    return NotesServicesWrapper::IdlePoll();
  }

  bool ShouldTerminate() override {
    Count("ShouldTerminate");
    return NotesServicesWrapper::ShouldTerminate();
  }

  bool SecondsElapsed(uint32_t seconds) override {
    Count("SecondsElapsed");
    return NotesServicesWrapper::SecondsElapsed(seconds);
  }

  Status OpenQueue(const char* name, uint16_t options,
                   QueueHandle* queue) override {
    Status injected;
    if (Inject("OpenQueue", &injected)) return injected;
    const Status s = NotesServicesWrapper::OpenQueue(name, options, queue);
    return s;
  }

  Status ReadQueue(QueueHandle queue, std::span<char> buffer,
                   uint16_t maxLength, uint16_t options, uint32_t wait,
                   uint16_t* length) override {
    Status injected;
    if (Inject("ReadQueue", &injected)) return injected;
    const Status s = NotesServicesWrapper::ReadQueue(queue, buffer, maxLength,
                                                     options, wait, length);
    return s;
  }

  Status CloseQueue(QueueHandle queue, uint16_t options) override {
    Status injected;
    if (Inject("CloseQueue", &injected)) return injected;
    const Status s = NotesServicesWrapper::CloseQueue(queue, options);
    return s;
  }

  void CurrentTime(TimeDate* now) override {
    Count("CurrentTime");
    NotesServicesWrapper::CurrentTime(now);
  }

  int CompareTimeDates(const TimeDate& a, const TimeDate& b) override {
    Count("CompareTimeDates");
    return NotesServicesWrapper::CompareTimeDates(a, b);
  }

  int CompareDates(const TimeDate& a, const TimeDate& b) override {
    Count("CompareDates");
    return NotesServicesWrapper::CompareDates(a, b);
  }

  Status GetServerIdName(std::span<char> name) override {
    Status injected;
    if (Inject("GetServerIdName", &injected)) return injected;
    const Status s = NotesServicesWrapper::GetServerIdName(name);
    return s;
  }

  Status AllocateMemory(uint16_t type, uint32_t size,
                        MemHandle* memory) override {
    Status injected;
    if (Inject("AllocateMemory", &injected)) return injected;
    const Status s = NotesServicesWrapper::AllocateMemory(type, size, memory);
    if (s.ok()) ++memoryBlocks_;
    return s;
  }

  void* LockMemory(MemHandle memory) override {
    Count("LockMemory");
    return NotesServicesWrapper::LockMemory(memory);
  }

  void UnlockMemory(MemHandle memory) override {
    Count("UnlockMemory");
    NotesServicesWrapper::UnlockMemory(memory);
  }

  void FreeMemory(MemHandle memory) override {
    Count("FreeMemory");
    NotesServicesWrapper::FreeMemory(memory);
    --memoryBlocks_;
  }

  uint16_t CanonicalSize(uint16_t recordType) override {
    Count("CanonicalSize");
    return NotesServicesWrapper::CanonicalSize(recordType);
  }

  void WriteCanonical(uint8_t** cursor, uint16_t recordType, const void* record,
                      uint16_t count) override {
    Count("WriteCanonical");
    NotesServicesWrapper::WriteCanonical(cursor, recordType, record, count);
  }

  Status CreateIdTable(uint16_t entrySize, IdTableHandle* table) override {
    Status injected;
    if (Inject("CreateIdTable", &injected)) return injected;
    const Status s = NotesServicesWrapper::CreateIdTable(entrySize, table);
    if (s.ok()) ++idTables_;
    return s;
  }

  Status InsertId(IdTableHandle table, uint32_t noteId,
                  bool* inserted) override {
    Status injected;
    if (Inject("InsertId", &injected)) return injected;
    const Status s = NotesServicesWrapper::InsertId(table, noteId, inserted);
    return s;
  }

  bool ScanIds(IdTableHandle table, bool first, uint32_t* noteId) override {
    Count("ScanIds");
    return NotesServicesWrapper::ScanIds(table, first, noteId);
  }

  uint32_t CountIds(IdTableHandle table) override {
    Count("CountIds");
    return NotesServicesWrapper::CountIds(table);
  }

  Status ClearIdTable(IdTableHandle table) override {
    Status injected;
    if (Inject("ClearIdTable", &injected)) return injected;
    const Status s = NotesServicesWrapper::ClearIdTable(table);
    return s;
  }

  Status DestroyIdTable(IdTableHandle table) override {
    Status injected;
    if (Inject("DestroyIdTable", &injected)) return injected;
    const Status s = NotesServicesWrapper::DestroyIdTable(table);
    if (s.ok()) --idTables_;
    return s;
  }

  Status ConstructNetPath(const char* port, const char* server,
                          const char* file, std::span<char> netPath) override {
    Status injected;
    if (Inject("ConstructNetPath", &injected)) return injected;
    const Status s =
        NotesServicesWrapper::ConstructNetPath(port, server, file, netPath);
    return s;
  }

  Status OpenDatabase(const char* path, DbHandle* db) override {
    Status injected;
    if (Inject("OpenDatabase", &injected)) return injected;
    const Status s = NotesServicesWrapper::OpenDatabase(path, db);
    if (s.ok()) ++openDatabases_;
    return s;
  }

  Status CloseDatabase(DbHandle db) override {
    Status injected;
    if (Inject("CloseDatabase", &injected)) return injected;
    const Status s = NotesServicesWrapper::CloseDatabase(db);
    if (s.ok()) --openDatabases_;
    return s;
  }

  Status CreateDatabase(const char* path, uint16_t dbClass,
                        bool force) override {
    Status injected;
    if (Inject("CreateDatabase", &injected)) return injected;
    const Status s = NotesServicesWrapper::CreateDatabase(path, dbClass, force);
    return s;
  }

  Status GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                          uint32_t* freeBytes) override {
    Status injected;
    if (Inject("GetDatabaseSpace", &injected)) return injected;
    const Status s =
        NotesServicesWrapper::GetDatabaseSpace(db, usedBytes, freeBytes);
    return s;
  }

  Status GetDatabaseInfo(DbHandle db, DbInfo& info) override {
    Status injected;
    if (Inject("GetDatabaseInfo", &injected)) return injected;
    const Status s = NotesServicesWrapper::GetDatabaseInfo(db, info);
    return s;
  }

  void SetDatabaseInfoField(DbInfo& info, uint16_t field,
                            const char* text) override {
    Count("SetDatabaseInfoField");
    NotesServicesWrapper::SetDatabaseInfoField(info, field, text);
  }

  Status SetDatabaseInfo(DbHandle db, const DbInfo& info) override {
    Status injected;
    if (Inject("SetDatabaseInfo", &injected)) return injected;
    const Status s = NotesServicesWrapper::SetDatabaseInfo(db, info);
    return s;
  }

  Status CopyDatabaseSettings(DbHandle from, DbHandle to) override {
    Status injected;
    if (Inject("CopyDatabaseSettings", &injected)) return injected;
    const Status s = NotesServicesWrapper::CopyDatabaseSettings(from, to);
    return s;
  }

  Status GetDatabaseId(DbHandle db, DatabaseId* id) override {
    Status injected;
    if (Inject("GetDatabaseId", &injected)) return injected;
    return NotesServicesWrapper::GetDatabaseId(db, id);
  }

  Status CreateDatabaseCopy(const char* sourcePath, const char* newPath,
                            uint16_t noteClassMask, uint16_t reserved1,
                            uint32_t reserved2, DbHandle* newDb) override {
    Status injected;
    if (Inject("CreateDatabaseCopy", &injected)) return injected;
    const Status s = NotesServicesWrapper::CreateDatabaseCopy(
        sourcePath, newPath, noteClassMask, reserved1, reserved2, newDb);
    if (s.ok()) ++openDatabases_;
    return s;
  }

  Status OpenNote(DbHandle db, uint32_t noteId, uint16_t flags,
                  NoteHandle* note) override {
    Status injected;
    if (Inject("OpenNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::OpenNote(db, noteId, flags, note);
    if (s.ok()) ++openNotes_;
    return s;
  }

  Status OpenNoteExtended(DbHandle db, uint32_t noteId, uint32_t flags,
                          NoteHandle* note) override {
    Status injected;
    if (Inject("OpenNoteExtended", &injected)) return injected;
    const Status s =
        NotesServicesWrapper::OpenNoteExtended(db, noteId, flags, note);
    if (s.ok()) ++openNotes_;
    return s;
  }

  Status CreateNote(DbHandle db, NoteHandle* note) override {
    Status injected;
    if (Inject("CreateNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::CreateNote(db, note);
    if (s.ok()) ++openNotes_;
    return s;
  }

  Status UpdateNote(NoteHandle note, uint16_t flags) override {
    Status injected;
    if (Inject("UpdateNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::UpdateNote(note, flags);
    if (Afterward("UpdateNote", &injected)) return injected;
    return s;
  }

  Status CloseNote(NoteHandle note) override {
    Status injected;
    if (Inject("CloseNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::CloseNote(note);
    if (s.ok()) --openNotes_;
    return s;
  }

  Status CopyNote(DbHandle source, uint32_t reserved1, uint32_t reserved2,
                  uint32_t noteId, DbHandle destination, uint32_t reserved3,
                  uint32_t reserved4, uint32_t openFlags, uint16_t updateFlags,
                  uint32_t* newNoteId, uint16_t* newNoteClass) override {
    Status injected;
    if (Inject("CopyNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::CopyNote(
        source, reserved1, reserved2, noteId, destination, reserved3, reserved4,
        openFlags, updateFlags, newNoteId, newNoteClass);
    if (Afterward("CopyNote", &injected)) return injected;
    return s;
  }

  Status DeleteNote(DbHandle db, uint32_t noteId,
                    uint16_t updateFlags) override {
    Status injected;
    if (Inject("DeleteNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::DeleteNote(db, noteId, updateFlags);
    if (Afterward("DeleteNote", &injected)) return injected;
    return s;
  }

  Status GetNoteInfo(DbHandle db, uint32_t noteId, uint32_t* sequence,
                     TimeDate* modified, uint16_t* noteClass) override {
    Status injected;
    if (Inject("GetNoteInfo", &injected)) return injected;
    const Status s = NotesServicesWrapper::GetNoteInfo(db, noteId, sequence,
                                                       modified, noteClass);
    return s;
  }

  Status GetNoteOriginatorId(DbHandle db, uint32_t noteId,
                             OriginatorId* oid) override {
    Status injected;
    if (Inject("GetNoteOriginatorId", &injected)) return injected;
    return NotesServicesWrapper::GetNoteOriginatorId(db, noteId, oid);
  }

  Status GetNoteInfoByUnid(DbHandle db, const UniversalId& unid,
                           uint32_t* noteId, uint32_t* sequence) override {
    Status injected;
    if (Inject("GetNoteInfoByUnid", &injected)) return injected;
    return NotesServicesWrapper::GetNoteInfoByUnid(db, unid, noteId, sequence);
  }

  Status GetNoteField(NoteHandle note, uint16_t field,
                      TimeDate* value) override {
    Status injected;
    if (Inject("GetNoteField", &injected)) return injected;
    const Status s = NotesServicesWrapper::GetNoteField(note, field, value);
    return s;
  }

  Status SetNoteField(NoteHandle note, uint16_t field,
                      uint16_t value) override {
    Status injected;
    if (Inject("SetNoteField", &injected)) return injected;
    const Status s = NotesServicesWrapper::SetNoteField(note, field, value);
    return s;
  }

  uint16_t GetTextItem(NoteHandle note, const char* name,
                       std::span<char> buffer) override {
    Count("GetTextItem");
    return NotesServicesWrapper::GetTextItem(note, name, buffer);
  }

  double GetNumberItem(NoteHandle note, const char* name,
                       double defaultValue) override {
    Count("GetNumberItem");
    return NotesServicesWrapper::GetNumberItem(note, name, defaultValue);
  }

  uint16_t GetTextListCount(NoteHandle note, const char* name) override {
    Count("GetTextListCount");
    return NotesServicesWrapper::GetTextListCount(note, name);
  }

  uint16_t GetTextListEntry(NoteHandle note, const char* name, uint16_t index,
                            std::span<char> buffer,
                            uint16_t bufferSize) override {
    Count("GetTextListEntry");
    return NotesServicesWrapper::GetTextListEntry(note, name, index, buffer,
                                                  bufferSize);
  }

  Status GetItemInfo(NoteHandle note, const char* name, uint16_t nameLength,
                     uint16_t* dataType, uint16_t* itemFlags,
                     uint32_t* valueLength, uint32_t* reserved) override {
    Status injected;
    if (Inject("GetItemInfo", &injected)) return injected;
    const Status s = NotesServicesWrapper::GetItemInfo(
        note, name, nameLength, dataType, itemFlags, valueLength, reserved);
    return s;
  }

  Status SetTextItem(NoteHandle note, const char* name, const char* text,
                     uint16_t length) override {
    Status injected;
    if (Inject("SetTextItem", &injected)) return injected;
    const Status s =
        NotesServicesWrapper::SetTextItem(note, name, text, length);
    return s;
  }

  Status DeleteItem(NoteHandle note, const char* name,
                    uint16_t nameLength) override {
    Status injected;
    if (Inject("DeleteItem", &injected)) return injected;
    const Status s = NotesServicesWrapper::DeleteItem(note, name, nameLength);
    return s;
  }

  Status AppendItem(NoteHandle note, uint16_t itemFlags, const char* name,
                    uint16_t nameLength, uint16_t dataType, const void* value,
                    uint32_t valueLength) override {
    Status injected;
    if (Inject("AppendItem", &injected)) return injected;
    const Status s = NotesServicesWrapper::AppendItem(
        note, itemFlags, name, nameLength, dataType, value, valueLength);
    return s;
  }

  Status CompileFormula(const char* name, uint16_t nameLength, const char* text,
                        uint16_t textLength, MemHandle* formula,
                        uint16_t* formulaLength, Status* compileError,
                        uint16_t* errorLine, uint16_t* errorColumn,
                        uint16_t* errorOffset, uint16_t* errorLength) override {
    Status injected;
    if (Inject("CompileFormula", &injected)) return injected;
    const Status s = NotesServicesWrapper::CompileFormula(
        name, nameLength, text, textLength, formula, formulaLength,
        compileError, errorLine, errorColumn, errorOffset, errorLength);
    if (s.ok()) ++memoryBlocks_;
    return s;
  }

  Status AddFormulaSummaryName(MemHandle formula, const char* name,
                               uint16_t nameLength) override {
    Status injected;
    if (Inject("AddFormulaSummaryName", &injected)) return injected;
    const Status s =
        NotesServicesWrapper::AddFormulaSummaryName(formula, name, nameLength);
    return s;
  }

  Status MergeFormulas(MemHandle source, MemHandle target) override {
    Status injected;
    if (Inject("MergeFormulas", &injected)) return injected;
    const Status s = NotesServicesWrapper::MergeFormulas(source, target);
    return s;
  }

  Status GetFormulaSize(MemHandle formula, uint16_t* size) override {
    Status injected;
    if (Inject("GetFormulaSize", &injected)) return injected;
    const Status s = NotesServicesWrapper::GetFormulaSize(formula, size);
    return s;
  }

  Status SearchDatabase(DbHandle db, MemHandle formula, const char* viewTitle,
                        uint16_t searchFlags, uint16_t noteClassMask,
                        const TimeDate* since, SearchCallback callback,
                        void* context, TimeDate* until) override {
    Status injected;
    if (Inject("SearchDatabase", &injected)) return injected;
    const Status s = NotesServicesWrapper::SearchDatabase(
        db, formula, viewTitle, searchFlags, noteClassMask, since, callback,
        context, until);
    return s;
  }

  Status FindDesignNote(DbHandle db, const char* name, uint16_t noteClass,
                        const char* flagPattern, uint32_t* noteId,
                        uint32_t options) override {
    Status injected;
    if (Inject("FindDesignNote", &injected)) return injected;
    const Status s = NotesServicesWrapper::FindDesignNote(
        db, name, noteClass, flagPattern, noteId, options);
    return s;
  }

  Status OpenCollection(DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId,
                        uint16_t openFlags, MemHandle unreadList,
                        CollectionHandle* collection, NoteHandle* viewNote,
                        void* viewUnid, MemHandle* collapsedList,
                        MemHandle* selectedList) override {
    Status injected;
    if (Inject("OpenCollection", &injected)) return injected;
    const Status s = NotesServicesWrapper::OpenCollection(
        viewDb, dataDb, viewNoteId, openFlags, unreadList, collection, viewNote,
        viewUnid, collapsedList, selectedList);
    if (s.ok()) ++collections_;
    return s;
  }

  Status UpdateCollection(CollectionHandle collection) override {
    Status injected;
    if (Inject("UpdateCollection", &injected)) return injected;
    const Status s = NotesServicesWrapper::UpdateCollection(collection);
    return s;
  }

  Status FindByName(CollectionHandle collection, const char* key,
                    uint16_t findFlags, CollectionPosition* position,
                    uint32_t* matches) override {
    Status injected;
    if (Inject("FindByName", &injected)) return injected;
    const Status s = NotesServicesWrapper::FindByName(
        collection, key, findFlags, position, matches);
    return s;
  }

  Status ReadEntries(CollectionHandle collection, CollectionPosition* position,
                     uint16_t skipNavigator, uint32_t skipCount,
                     uint16_t returnNavigator, uint32_t returnCount,
                     uint32_t returnMask, MemHandle* buffer,
                     uint16_t* bufferLength, uint32_t* entriesSkipped,
                     uint32_t* entriesReturned,
                     uint16_t* signalFlags) override {
    Status injected;
    if (Inject("ReadEntries", &injected)) return injected;
    const Status s = NotesServicesWrapper::ReadEntries(
        collection, position, skipNavigator, skipCount, returnNavigator,
        returnCount, returnMask, buffer, bufferLength, entriesSkipped,
        entriesReturned, signalFlags);
    if (s.ok() && buffer != nullptr && *buffer) ++memoryBlocks_;
    return s;
  }

  Status CloseCollection(CollectionHandle collection) override {
    Status injected;
    if (Inject("CloseCollection", &injected)) return injected;
    const Status s = NotesServicesWrapper::CloseCollection(collection);
    if (s.ok()) --collections_;
    return s;
  }

 private:
  struct Fault {
    int failAt = 0;
    Status status;
    Mode mode = Mode::kOnce;
  };

  void Count(const char* op) {
    ++calls_[op];
    ++total_;
  }
  bool Inject(const char* op, Status* status) {
    Count(op);
    auto it = faults_.find(op);
    if (it == faults_.end()) return false;
    const int n = calls_[op];
    const Fault& f = it->second;
    if (f.mode == Mode::kAfterward) {
      if (n == f.failAt) afterward_ = op;
      return false;
    }
    if (n == f.failAt || (f.mode == Mode::kFromThen && n > f.failAt)) {
      *status = f.status;
      ++injected_;
      return true;
    }
    return false;
  }
  // After a call was carried out: whether to report it as failed anyway.
  bool Afterward(const char* op, Status* status) {
    if (afterward_ != op) return false;
    afterward_.clear();
    *status = faults_.at(op).status;
    ++injected_;
    return true;
  }

  std::map<std::string, int> calls_;
  std::map<std::string, Fault> faults_;
  std::string afterward_;  // the operation to report as failed once done
  int total_ = 0;
  int injected_ = 0;
  int openDatabases_ = 0;
  int openNotes_ = 0;
  int idTables_ = 0;
  int memoryBlocks_ = 0;
  int collections_ = 0;
};

}  // namespace vt::testing
