// Forwards every operation to another NotesServices. A test double derives
// from it and overrides only what it changes, the way LevelDB's EnvWrapper
// serves its tests: one hook before every call (a counter, an injected
// failure), one after every call that can fail, or the operation itself.
#pragma once

#include "notes/NotesOperations.h"
#include "notes/NotesServices.h"

namespace vt {

class NotesServicesWrapper : public NotesServices {
 public:
  explicit NotesServicesWrapper(NotesServices& target) : target_(&target) {}

  NotesServices& target() const { return *target_; }

  Status StartRuntime(int argc, char** argv) override {
    if (Status s; Before(NotesOp::kStartRuntime, &s)) return s;
    return After(NotesOp::kStartRuntime, target_->StartRuntime(argc, argv));
  }
  void StopRuntime() override {
    Called(NotesOp::kStopRuntime);
    target_->StopRuntime();
  }
  Status StartProcessArguments(int argc, char** argv, int* newArgc,
                               char*** newArgv) override {
    if (Status s; Before(NotesOp::kStartProcessArguments, &s)) return s;
    return After(NotesOp::kStartProcessArguments,
                 target_->StartProcessArguments(argc, argv, newArgc, newArgv));
  }
  void EndProcessArguments(int argc, char** argv) override {
    Called(NotesOp::kEndProcessArguments);
    target_->EndProcessArguments(argc, argv);
  }
  Status RunProcessEntry(ProcessEntryFunction entry, int argc, char** argv,
                         uint32_t reserved1, uint32_t reserved2) override {
    if (Status s; Before(NotesOp::kRunProcessEntry, &s)) return s;
    return After(
        NotesOp::kRunProcessEntry,
        target_->RunProcessEntry(entry, argc, argv, reserved1, reserved2));
  }
  Status StartTaskRuntime(int argc, char** argv) override {
    if (Status s; Before(NotesOp::kStartTaskRuntime, &s)) return s;
    return After(NotesOp::kStartTaskRuntime,
                 target_->StartTaskRuntime(argc, argv));
  }
  void GetTaskModule(ModuleHandle* module, uint32_t reserved1,
                     uint32_t reserved2) override {
    Called(NotesOp::kGetTaskModule);
    target_->GetTaskModule(module, reserved1, reserved2);
  }
  Status EndTaskRuntime(Status taskStatus) override {
    if (Status s; Before(NotesOp::kEndTaskRuntime, &s)) return s;
    return After(NotesOp::kEndTaskRuntime, target_->EndTaskRuntime(taskStatus));
  }
  uint16_t GetStartupErrorText(Status status, std::span<char> buffer,
                               uint16_t maxLength) override {
    Called(NotesOp::kGetStartupErrorText);
    return target_->GetStartupErrorText(status, buffer, maxLength);
  }
  uint16_t GetExitErrorText(Status status, std::span<char> buffer,
                            uint16_t maxLength) override {
    Called(NotesOp::kGetExitErrorText);
    return target_->GetExitErrorText(status, buffer, maxLength);
  }
  uint16_t LoadStatusText(uint16_t module, Status status,
                          std::span<char> buffer,
                          uint16_t bufferSize) override {
    Called(NotesOp::kLoadStatusText);
    return target_->LoadStatusText(module, status, buffer, bufferSize);
  }
  void LogMessageV(const char* format, Status status, va_list args) override {
    Called(NotesOp::kLogMessageV);
    target_->LogMessageV(format, status, args);
  }
  void SetStatusTextV(const char* format, va_list args) override {
    Called(NotesOp::kSetStatusTextV);
    target_->SetStatusTextV(format, args);
  }
  void QueryTaskDefaults(ModuleHandle* module,
                         StatusLineHandle* line) override {
    Called(NotesOp::kQueryTaskDefaults);
    target_->QueryTaskDefaults(module, line);
  }
  void DeleteStatusLine(StatusLineHandle line) override {
    Called(NotesOp::kDeleteStatusLine);
    target_->DeleteStatusLine(line);
  }
  StatusLineHandle CreateStatusLine(const char* taskName) override {
    Called(NotesOp::kCreateStatusLine);
    return target_->CreateStatusLine(taskName);
  }
  void SetTaskDefaults(ModuleHandle module, StatusLineHandle line) override {
    Called(NotesOp::kSetTaskDefaults);
    target_->SetTaskDefaults(module, line);
  }
  bool IdlePoll() override {
    Called(NotesOp::kIdlePoll);
    return target_->IdlePoll();
  }
  bool ShouldTerminate() override {
    Called(NotesOp::kShouldTerminate);
    return target_->ShouldTerminate();
  }
  bool SecondsElapsed(uint32_t seconds) override {
    Called(NotesOp::kSecondsElapsed);
    return target_->SecondsElapsed(seconds);
  }
  Status OpenQueue(const char* name, uint16_t options,
                   QueueHandle* queue) override {
    if (Status s; Before(NotesOp::kOpenQueue, &s)) return s;
    return After(NotesOp::kOpenQueue, target_->OpenQueue(name, options, queue));
  }
  Status ReadQueue(QueueHandle queue, std::span<char> buffer,
                   uint16_t maxLength, uint16_t options, uint32_t wait,
                   uint16_t* length) override {
    if (Status s; Before(NotesOp::kReadQueue, &s)) return s;
    return After(
        NotesOp::kReadQueue,
        target_->ReadQueue(queue, buffer, maxLength, options, wait, length));
  }
  Status CloseQueue(QueueHandle queue, uint16_t options) override {
    if (Status s; Before(NotesOp::kCloseQueue, &s)) return s;
    return After(NotesOp::kCloseQueue, target_->CloseQueue(queue, options));
  }
  void CurrentTime(TimeDate* now) override {
    Called(NotesOp::kCurrentTime);
    target_->CurrentTime(now);
  }
  int CompareTimeDates(const TimeDate& a, const TimeDate& b) override {
    Called(NotesOp::kCompareTimeDates);
    return target_->CompareTimeDates(a, b);
  }
  int CompareDates(const TimeDate& a, const TimeDate& b) override {
    Called(NotesOp::kCompareDates);
    return target_->CompareDates(a, b);
  }
  Status GetServerIdName(std::span<char> name) override {
    if (Status s; Before(NotesOp::kGetServerIdName, &s)) return s;
    return After(NotesOp::kGetServerIdName, target_->GetServerIdName(name));
  }
  Status AllocateMemory(uint16_t type, uint32_t size,
                        MemHandle* memory) override {
    if (Status s; Before(NotesOp::kAllocateMemory, &s)) return s;
    return After(NotesOp::kAllocateMemory,
                 target_->AllocateMemory(type, size, memory));
  }
  void* LockMemory(MemHandle memory) override {
    Called(NotesOp::kLockMemory);
    return target_->LockMemory(memory);
  }
  void UnlockMemory(MemHandle memory) override {
    Called(NotesOp::kUnlockMemory);
    target_->UnlockMemory(memory);
  }
  void FreeMemory(MemHandle memory) override {
    Called(NotesOp::kFreeMemory);
    target_->FreeMemory(memory);
  }
  uint16_t CanonicalSize(uint16_t recordType) override {
    Called(NotesOp::kCanonicalSize);
    return target_->CanonicalSize(recordType);
  }
  void WriteCanonical(uint8_t** cursor, uint16_t recordType, const void* record,
                      uint16_t count) override {
    Called(NotesOp::kWriteCanonical);
    target_->WriteCanonical(cursor, recordType, record, count);
  }
  Status CreateIdTable(uint16_t entrySize, IdTableHandle* table) override {
    if (Status s; Before(NotesOp::kCreateIdTable, &s)) return s;
    return After(NotesOp::kCreateIdTable,
                 target_->CreateIdTable(entrySize, table));
  }
  Status InsertId(IdTableHandle table, uint32_t noteId,
                  bool* inserted) override {
    if (Status s; Before(NotesOp::kInsertId, &s)) return s;
    return After(NotesOp::kInsertId,
                 target_->InsertId(table, noteId, inserted));
  }
  bool ScanIds(IdTableHandle table, bool first, uint32_t* noteId) override {
    Called(NotesOp::kScanIds);
    return target_->ScanIds(table, first, noteId);
  }
  uint32_t CountIds(IdTableHandle table) override {
    Called(NotesOp::kCountIds);
    return target_->CountIds(table);
  }
  Status ClearIdTable(IdTableHandle table) override {
    if (Status s; Before(NotesOp::kClearIdTable, &s)) return s;
    return After(NotesOp::kClearIdTable, target_->ClearIdTable(table));
  }
  Status DestroyIdTable(IdTableHandle table) override {
    if (Status s; Before(NotesOp::kDestroyIdTable, &s)) return s;
    return After(NotesOp::kDestroyIdTable, target_->DestroyIdTable(table));
  }
  Status ConstructNetPath(const char* port, const char* server,
                          const char* file, std::span<char> netPath) override {
    if (Status s; Before(NotesOp::kConstructNetPath, &s)) return s;
    return After(NotesOp::kConstructNetPath,
                 target_->ConstructNetPath(port, server, file, netPath));
  }
  Status OpenDatabase(const char* path, DbHandle* db) override {
    if (Status s; Before(NotesOp::kOpenDatabase, &s)) return s;
    return After(NotesOp::kOpenDatabase, target_->OpenDatabase(path, db));
  }
  Status CloseDatabase(DbHandle db) override {
    if (Status s; Before(NotesOp::kCloseDatabase, &s)) return s;
    return After(NotesOp::kCloseDatabase, target_->CloseDatabase(db));
  }
  Status CreateDatabase(const char* path, uint16_t dbClass,
                        bool force) override {
    if (Status s; Before(NotesOp::kCreateDatabase, &s)) return s;
    return After(NotesOp::kCreateDatabase,
                 target_->CreateDatabase(path, dbClass, force));
  }
  Status GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                          uint32_t* freeBytes) override {
    if (Status s; Before(NotesOp::kGetDatabaseSpace, &s)) return s;
    return After(NotesOp::kGetDatabaseSpace,
                 target_->GetDatabaseSpace(db, usedBytes, freeBytes));
  }
  Status GetDatabaseInfo(DbHandle db, DbInfo& info) override {
    if (Status s; Before(NotesOp::kGetDatabaseInfo, &s)) return s;
    return After(NotesOp::kGetDatabaseInfo, target_->GetDatabaseInfo(db, info));
  }
  void SetDatabaseInfoField(DbInfo& info, uint16_t field,
                            const char* text) override {
    Called(NotesOp::kSetDatabaseInfoField);
    target_->SetDatabaseInfoField(info, field, text);
  }
  Status SetDatabaseInfo(DbHandle db, const DbInfo& info) override {
    if (Status s; Before(NotesOp::kSetDatabaseInfo, &s)) return s;
    return After(NotesOp::kSetDatabaseInfo, target_->SetDatabaseInfo(db, info));
  }
  Status CopyDatabaseSettings(DbHandle from, DbHandle to) override {
    if (Status s; Before(NotesOp::kCopyDatabaseSettings, &s)) return s;
    return After(NotesOp::kCopyDatabaseSettings,
                 target_->CopyDatabaseSettings(from, to));
  }
  Status GetDatabaseId(DbHandle db, DatabaseId* id) override {
    if (Status s; Before(NotesOp::kGetDatabaseId, &s)) return s;
    return After(NotesOp::kGetDatabaseId, target_->GetDatabaseId(db, id));
  }
  Status CreateDatabaseCopy(const char* sourcePath, const char* newPath,
                            uint16_t noteClassMask, uint16_t reserved1,
                            uint32_t reserved2, DbHandle* newDb) override {
    if (Status s; Before(NotesOp::kCreateDatabaseCopy, &s)) return s;
    return After(NotesOp::kCreateDatabaseCopy,
                 target_->CreateDatabaseCopy(sourcePath, newPath, noteClassMask,
                                             reserved1, reserved2, newDb));
  }
  Status OpenNote(DbHandle db, uint32_t noteId, uint16_t flags,
                  NoteHandle* note) override {
    if (Status s; Before(NotesOp::kOpenNote, &s)) return s;
    return After(NotesOp::kOpenNote,
                 target_->OpenNote(db, noteId, flags, note));
  }
  Status OpenNoteExtended(DbHandle db, uint32_t noteId, uint32_t flags,
                          NoteHandle* note) override {
    if (Status s; Before(NotesOp::kOpenNoteExtended, &s)) return s;
    return After(NotesOp::kOpenNoteExtended,
                 target_->OpenNoteExtended(db, noteId, flags, note));
  }
  Status CreateNote(DbHandle db, NoteHandle* note) override {
    if (Status s; Before(NotesOp::kCreateNote, &s)) return s;
    return After(NotesOp::kCreateNote, target_->CreateNote(db, note));
  }
  Status UpdateNote(NoteHandle note, uint16_t flags) override {
    if (Status s; Before(NotesOp::kUpdateNote, &s)) return s;
    return After(NotesOp::kUpdateNote, target_->UpdateNote(note, flags));
  }
  Status CloseNote(NoteHandle note) override {
    if (Status s; Before(NotesOp::kCloseNote, &s)) return s;
    return After(NotesOp::kCloseNote, target_->CloseNote(note));
  }
  Status CopyNote(DbHandle source, uint32_t reserved1, uint32_t reserved2,
                  uint32_t noteId, DbHandle destination, uint32_t reserved3,
                  uint32_t reserved4, uint32_t openFlags, uint16_t updateFlags,
                  uint32_t* newNoteId, uint16_t* newNoteClass) override {
    if (Status s; Before(NotesOp::kCopyNote, &s)) return s;
    return After(NotesOp::kCopyNote,
                 target_->CopyNote(source, reserved1, reserved2, noteId,
                                   destination, reserved3, reserved4, openFlags,
                                   updateFlags, newNoteId, newNoteClass));
  }
  Status DeleteNote(DbHandle db, uint32_t noteId,
                    uint16_t updateFlags) override {
    if (Status s; Before(NotesOp::kDeleteNote, &s)) return s;
    return After(NotesOp::kDeleteNote,
                 target_->DeleteNote(db, noteId, updateFlags));
  }
  Status CopySelectedNote(DbHandle source, uint32_t noteId, MemHandle formula,
                          DbHandle destination, OriginatorId* copied) override {
    if (Status s; Before(NotesOp::kCopySelectedNote, &s)) return s;
    return After(NotesOp::kCopySelectedNote,
                 target_->CopySelectedNote(source, noteId, formula, destination,
                                           copied));
  }
  Status DeleteNoteVersion(DbHandle db, uint32_t noteId, uint32_t sequence,
                           uint16_t updateFlags) override {
    if (Status s; Before(NotesOp::kDeleteNoteVersion, &s)) return s;
    return After(NotesOp::kDeleteNoteVersion,
                 target_->DeleteNoteVersion(db, noteId, sequence, updateFlags));
  }
  Status GetNoteInfo(DbHandle db, uint32_t noteId, uint32_t* sequence,
                     TimeDate* modified, uint16_t* noteClass) override {
    if (Status s; Before(NotesOp::kGetNoteInfo, &s)) return s;
    return After(
        NotesOp::kGetNoteInfo,
        target_->GetNoteInfo(db, noteId, sequence, modified, noteClass));
  }
  Status GetNoteOriginatorId(DbHandle db, uint32_t noteId,
                             OriginatorId* oid) override {
    if (Status s; Before(NotesOp::kGetNoteOriginatorId, &s)) return s;
    return After(NotesOp::kGetNoteOriginatorId,
                 target_->GetNoteOriginatorId(db, noteId, oid));
  }
  Status GetNoteInfoByUnid(DbHandle db, const UniversalId& unid,
                           uint32_t* noteId, uint32_t* sequence) override {
    if (Status s; Before(NotesOp::kGetNoteInfoByUnid, &s)) return s;
    return After(NotesOp::kGetNoteInfoByUnid,
                 target_->GetNoteInfoByUnid(db, unid, noteId, sequence));
  }
  Status GetNoteField(NoteHandle note, uint16_t field,
                      TimeDate* value) override {
    if (Status s; Before(NotesOp::kGetNoteField, &s)) return s;
    return After(NotesOp::kGetNoteField,
                 target_->GetNoteField(note, field, value));
  }
  Status SetNoteField(NoteHandle note, uint16_t field,
                      uint16_t value) override {
    if (Status s; Before(NotesOp::kSetNoteField, &s)) return s;
    return After(NotesOp::kSetNoteField,
                 target_->SetNoteField(note, field, value));
  }
  uint16_t GetTextItem(NoteHandle note, const char* name,
                       std::span<char> buffer) override {
    Called(NotesOp::kGetTextItem);
    return target_->GetTextItem(note, name, buffer);
  }
  double GetNumberItem(NoteHandle note, const char* name,
                       double defaultValue) override {
    Called(NotesOp::kGetNumberItem);
    return target_->GetNumberItem(note, name, defaultValue);
  }
  uint16_t GetTextListCount(NoteHandle note, const char* name) override {
    Called(NotesOp::kGetTextListCount);
    return target_->GetTextListCount(note, name);
  }
  uint16_t GetTextListEntry(NoteHandle note, const char* name, uint16_t index,
                            std::span<char> buffer,
                            uint16_t bufferSize) override {
    Called(NotesOp::kGetTextListEntry);
    return target_->GetTextListEntry(note, name, index, buffer, bufferSize);
  }
  Status GetItemInfo(NoteHandle note, const char* name, uint16_t nameLength,
                     uint16_t* dataType, uint16_t* itemFlags,
                     uint32_t* valueLength, uint32_t* reserved) override {
    if (Status s; Before(NotesOp::kGetItemInfo, &s)) return s;
    return After(NotesOp::kGetItemInfo,
                 target_->GetItemInfo(note, name, nameLength, dataType,
                                      itemFlags, valueLength, reserved));
  }
  Status SetTextItem(NoteHandle note, const char* name, const char* text,
                     uint16_t length) override {
    if (Status s; Before(NotesOp::kSetTextItem, &s)) return s;
    return After(NotesOp::kSetTextItem,
                 target_->SetTextItem(note, name, text, length));
  }
  Status DeleteItem(NoteHandle note, const char* name,
                    uint16_t nameLength) override {
    if (Status s; Before(NotesOp::kDeleteItem, &s)) return s;
    return After(NotesOp::kDeleteItem,
                 target_->DeleteItem(note, name, nameLength));
  }
  Status AppendItem(NoteHandle note, uint16_t itemFlags, const char* name,
                    uint16_t nameLength, uint16_t dataType, const void* value,
                    uint32_t valueLength) override {
    if (Status s; Before(NotesOp::kAppendItem, &s)) return s;
    return After(NotesOp::kAppendItem,
                 target_->AppendItem(note, itemFlags, name, nameLength,
                                     dataType, value, valueLength));
  }
  Status CompileFormula(const char* name, uint16_t nameLength, const char* text,
                        uint16_t textLength, MemHandle* formula,
                        uint16_t* formulaLength, Status* compileError,
                        uint16_t* errorLine, uint16_t* errorColumn,
                        uint16_t* errorOffset, uint16_t* errorLength) override {
    if (Status s; Before(NotesOp::kCompileFormula, &s)) return s;
    return After(
        NotesOp::kCompileFormula,
        target_->CompileFormula(name, nameLength, text, textLength, formula,
                                formulaLength, compileError, errorLine,
                                errorColumn, errorOffset, errorLength));
  }
  Status AddFormulaSummaryName(MemHandle formula, const char* name,
                               uint16_t nameLength) override {
    if (Status s; Before(NotesOp::kAddFormulaSummaryName, &s)) return s;
    return After(NotesOp::kAddFormulaSummaryName,
                 target_->AddFormulaSummaryName(formula, name, nameLength));
  }
  Status MergeFormulas(MemHandle source, MemHandle target) override {
    if (Status s; Before(NotesOp::kMergeFormulas, &s)) return s;
    return After(NotesOp::kMergeFormulas,
                 target_->MergeFormulas(source, target));
  }
  Status GetFormulaSize(MemHandle formula, uint16_t* size) override {
    if (Status s; Before(NotesOp::kGetFormulaSize, &s)) return s;
    return After(NotesOp::kGetFormulaSize,
                 target_->GetFormulaSize(formula, size));
  }
  Status EvaluateSelection(NoteHandle note, MemHandle formula,
                           bool* selected) override {
    if (Status s; Before(NotesOp::kEvaluateSelection, &s)) return s;
    return After(NotesOp::kEvaluateSelection,
                 target_->EvaluateSelection(note, formula, selected));
  }
  Status SearchDatabase(DbHandle db, MemHandle formula, const char* viewTitle,
                        uint16_t searchFlags, uint16_t noteClassMask,
                        const TimeDate* since, SearchCallback callback,
                        void* context, TimeDate* until) override {
    if (Status s; Before(NotesOp::kSearchDatabase, &s)) return s;
    return After(NotesOp::kSearchDatabase,
                 target_->SearchDatabase(db, formula, viewTitle, searchFlags,
                                         noteClassMask, since, callback,
                                         context, until));
  }
  Status FindDesignNote(DbHandle db, const char* name, uint16_t noteClass,
                        const char* flagPattern, uint32_t* noteId,
                        uint32_t options) override {
    if (Status s; Before(NotesOp::kFindDesignNote, &s)) return s;
    return After(NotesOp::kFindDesignNote,
                 target_->FindDesignNote(db, name, noteClass, flagPattern,
                                         noteId, options));
  }
  Status OpenCollection(DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId,
                        uint16_t openFlags, MemHandle unreadList,
                        CollectionHandle* collection, NoteHandle* viewNote,
                        void* viewUnid, MemHandle* collapsedList,
                        MemHandle* selectedList) override {
    if (Status s; Before(NotesOp::kOpenCollection, &s)) return s;
    return After(
        NotesOp::kOpenCollection,
        target_->OpenCollection(viewDb, dataDb, viewNoteId, openFlags,
                                unreadList, collection, viewNote, viewUnid,
                                collapsedList, selectedList));
  }
  Status UpdateCollection(CollectionHandle collection) override {
    if (Status s; Before(NotesOp::kUpdateCollection, &s)) return s;
    return After(NotesOp::kUpdateCollection,
                 target_->UpdateCollection(collection));
  }
  Status FindByName(CollectionHandle collection, const char* key,
                    uint16_t findFlags, CollectionPosition* position,
                    uint32_t* matches) override {
    if (Status s; Before(NotesOp::kFindByName, &s)) return s;
    return After(
        NotesOp::kFindByName,
        target_->FindByName(collection, key, findFlags, position, matches));
  }
  Status ReadEntries(CollectionHandle collection, CollectionPosition* position,
                     uint16_t skipNavigator, uint32_t skipCount,
                     uint16_t returnNavigator, uint32_t returnCount,
                     uint32_t returnMask, MemHandle* buffer,
                     uint16_t* bufferLength, uint32_t* entriesSkipped,
                     uint32_t* entriesReturned,
                     uint16_t* signalFlags) override {
    if (Status s; Before(NotesOp::kReadEntries, &s)) return s;
    return After(
        NotesOp::kReadEntries,
        target_->ReadEntries(collection, position, skipNavigator, skipCount,
                             returnNavigator, returnCount, returnMask, buffer,
                             bufferLength, entriesSkipped, entriesReturned,
                             signalFlags));
  }
  Status CloseCollection(CollectionHandle collection) override {
    if (Status s; Before(NotesOp::kCloseCollection, &s)) return s;
    return After(NotesOp::kCloseCollection,
                 target_->CloseCollection(collection));
  }

 protected:
  // Before an operation that can fail: true when the target is not to be
  // called, and *result is returned in its place.
  virtual bool Before(NotesOp, Status* /*result*/) { return false; }
  // After it: what the caller gets instead of the target's result.
  virtual Status After(NotesOp, Status result) { return result; }
  // Before an operation that cannot fail.
  virtual void Called(NotesOp) {}

 private:
  NotesServices* target_;
};

}  // namespace vt
