// Forwards every operation to another NotesServices. A test double derives
// from it and overrides only what it changes (a failing call, a counter), the
// way LevelDB's EnvWrapper serves its tests.
#pragma once

#include "notes/NotesServices.h"

namespace vt {

class NotesServicesWrapper : public NotesServices {
 public:
  explicit NotesServicesWrapper(NotesServices& target) : target_(&target) {}

  NotesServices& target() const { return *target_; }

  Status StartRuntime(int argc, char** argv) override {
    return target_->StartRuntime(argc, argv);
  }
  void StopRuntime() override { target_->StopRuntime(); }
  Status StartProcessArguments(int argc, char** argv, int* newArgc,
                               char*** newArgv) override {
    return target_->StartProcessArguments(argc, argv, newArgc, newArgv);
  }
  void EndProcessArguments(int argc, char** argv) override {
    target_->EndProcessArguments(argc, argv);
  }
  Status RunProcessEntry(ProcessEntryFunction entry, int argc, char** argv,
                         uint32_t reserved1, uint32_t reserved2) override {
    return target_->RunProcessEntry(entry, argc, argv, reserved1, reserved2);
  }
  Status StartTaskRuntime(int argc, char** argv) override {
    return target_->StartTaskRuntime(argc, argv);
  }
  void GetTaskModule(ModuleHandle* module, uint32_t reserved1,
                     uint32_t reserved2) override {
    target_->GetTaskModule(module, reserved1, reserved2);
  }
  Status EndTaskRuntime(Status taskStatus) override {
    return target_->EndTaskRuntime(taskStatus);
  }
  uint16_t GetStartupErrorText(Status status, std::span<char> buffer,
                               uint16_t maxLength) override {
    return target_->GetStartupErrorText(status, buffer, maxLength);
  }
  uint16_t GetExitErrorText(Status status, std::span<char> buffer,
                            uint16_t maxLength) override {
    return target_->GetExitErrorText(status, buffer, maxLength);
  }
  uint16_t LoadStatusText(uint16_t module, Status status,
                          std::span<char> buffer,
                          uint16_t bufferSize) override {
    return target_->LoadStatusText(module, status, buffer, bufferSize);
  }
  void LogMessageV(const char* format, Status status, va_list args) override {
    target_->LogMessageV(format, status, args);
  }
  void SetStatusTextV(const char* format, va_list args) override {
    target_->SetStatusTextV(format, args);
  }
  void QueryTaskDefaults(ModuleHandle* module,
                         StatusLineHandle* line) override {
    target_->QueryTaskDefaults(module, line);
  }
  void DeleteStatusLine(StatusLineHandle line) override {
    target_->DeleteStatusLine(line);
  }
  StatusLineHandle CreateStatusLine(const char* taskName) override {
    return target_->CreateStatusLine(taskName);
  }
  void SetTaskDefaults(ModuleHandle module, StatusLineHandle line) override {
    target_->SetTaskDefaults(module, line);
  }
  bool IdlePoll() override { return target_->IdlePoll(); }
  bool ShouldTerminate() override { return target_->ShouldTerminate(); }
  bool SecondsElapsed(uint32_t seconds) override {
    return target_->SecondsElapsed(seconds);
  }
  Status OpenQueue(const char* name, uint16_t options,
                   QueueHandle* queue) override {
    return target_->OpenQueue(name, options, queue);
  }
  Status ReadQueue(QueueHandle queue, std::span<char> buffer,
                   uint16_t maxLength, uint16_t options, uint32_t wait,
                   uint16_t* length) override {
    return target_->ReadQueue(queue, buffer, maxLength, options, wait, length);
  }
  Status CloseQueue(QueueHandle queue, uint16_t options) override {
    return target_->CloseQueue(queue, options);
  }
  void CurrentTime(TimeDate* now) override { target_->CurrentTime(now); }
  int CompareTimeDates(const TimeDate& a, const TimeDate& b) override {
    return target_->CompareTimeDates(a, b);
  }
  int CompareDates(const TimeDate& a, const TimeDate& b) override {
    return target_->CompareDates(a, b);
  }
  Status GetServerIdName(std::span<char> name) override {
    return target_->GetServerIdName(name);
  }
  Status AllocateMemory(uint16_t type, uint32_t size,
                        MemHandle* memory) override {
    return target_->AllocateMemory(type, size, memory);
  }
  void* LockMemory(MemHandle memory) override {
    return target_->LockMemory(memory);
  }
  void UnlockMemory(MemHandle memory) override {
    target_->UnlockMemory(memory);
  }
  void FreeMemory(MemHandle memory) override { target_->FreeMemory(memory); }
  uint16_t CanonicalSize(uint16_t recordType) override {
    return target_->CanonicalSize(recordType);
  }
  void WriteCanonical(uint8_t** cursor, uint16_t recordType, const void* record,
                      uint16_t count) override {
    target_->WriteCanonical(cursor, recordType, record, count);
  }
  Status CreateIdTable(uint16_t entrySize, IdTableHandle* table) override {
    return target_->CreateIdTable(entrySize, table);
  }
  Status InsertId(IdTableHandle table, uint32_t noteId,
                  bool* inserted) override {
    return target_->InsertId(table, noteId, inserted);
  }
  bool ScanIds(IdTableHandle table, bool first, uint32_t* noteId) override {
    return target_->ScanIds(table, first, noteId);
  }
  uint32_t CountIds(IdTableHandle table) override {
    return target_->CountIds(table);
  }
  Status ClearIdTable(IdTableHandle table) override {
    return target_->ClearIdTable(table);
  }
  Status DestroyIdTable(IdTableHandle table) override {
    return target_->DestroyIdTable(table);
  }
  Status ConstructNetPath(const char* port, const char* server,
                          const char* file, std::span<char> netPath) override {
    return target_->ConstructNetPath(port, server, file, netPath);
  }
  Status OpenDatabase(const char* path, DbHandle* db) override {
    return target_->OpenDatabase(path, db);
  }
  Status CloseDatabase(DbHandle db) override {
    return target_->CloseDatabase(db);
  }
  Status CreateDatabase(const char* path, uint16_t dbClass,
                        bool force) override {
    return target_->CreateDatabase(path, dbClass, force);
  }
  Status GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                          uint32_t* freeBytes) override {
    return target_->GetDatabaseSpace(db, usedBytes, freeBytes);
  }
  Status GetDatabaseInfo(DbHandle db, DbInfo& info) override {
    return target_->GetDatabaseInfo(db, info);
  }
  void SetDatabaseInfoField(DbInfo& info, uint16_t field,
                            const char* text) override {
    target_->SetDatabaseInfoField(info, field, text);
  }
  Status SetDatabaseInfo(DbHandle db, const DbInfo& info) override {
    return target_->SetDatabaseInfo(db, info);
  }
  Status CopyDatabaseSettings(DbHandle from, DbHandle to) override {
    return target_->CopyDatabaseSettings(from, to);
  }
  Status GetDatabaseId(DbHandle db, DatabaseId* id) override {
    return target_->GetDatabaseId(db, id);
  }
  Status CreateDatabaseCopy(const char* sourcePath, const char* newPath,
                            uint16_t noteClassMask, uint16_t reserved1,
                            uint32_t reserved2, DbHandle* newDb) override {
    return target_->CreateDatabaseCopy(sourcePath, newPath, noteClassMask,
                                       reserved1, reserved2, newDb);
  }
  Status OpenNote(DbHandle db, uint32_t noteId, uint16_t flags,
                  NoteHandle* note) override {
    return target_->OpenNote(db, noteId, flags, note);
  }
  Status OpenNoteExtended(DbHandle db, uint32_t noteId, uint32_t flags,
                          NoteHandle* note) override {
    return target_->OpenNoteExtended(db, noteId, flags, note);
  }
  Status CreateNote(DbHandle db, NoteHandle* note) override {
    return target_->CreateNote(db, note);
  }
  Status UpdateNote(NoteHandle note, uint16_t flags) override {
    return target_->UpdateNote(note, flags);
  }
  Status CloseNote(NoteHandle note) override {
    return target_->CloseNote(note);
  }
  Status CopyNote(DbHandle source, uint32_t reserved1, uint32_t reserved2,
                  uint32_t noteId, DbHandle destination, uint32_t reserved3,
                  uint32_t reserved4, uint32_t openFlags, uint16_t updateFlags,
                  uint32_t* newNoteId, uint16_t* newNoteClass) override {
    return target_->CopyNote(source, reserved1, reserved2, noteId, destination,
                             reserved3, reserved4, openFlags, updateFlags,
                             newNoteId, newNoteClass);
  }
  Status DeleteNote(DbHandle db, uint32_t noteId,
                    uint16_t updateFlags) override {
    return target_->DeleteNote(db, noteId, updateFlags);
  }
  Status GetNoteInfo(DbHandle db, uint32_t noteId, uint32_t* sequence,
                     TimeDate* modified, uint16_t* noteClass) override {
    return target_->GetNoteInfo(db, noteId, sequence, modified, noteClass);
  }
  Status GetNoteOriginatorId(DbHandle db, uint32_t noteId,
                             OriginatorId* oid) override {
    return target_->GetNoteOriginatorId(db, noteId, oid);
  }
  Status GetNoteInfoByUnid(DbHandle db, const UniversalId& unid,
                           uint32_t* noteId, uint32_t* sequence) override {
    return target_->GetNoteInfoByUnid(db, unid, noteId, sequence);
  }
  Status GetNoteField(NoteHandle note, uint16_t field,
                      TimeDate* value) override {
    return target_->GetNoteField(note, field, value);
  }
  Status SetNoteField(NoteHandle note, uint16_t field,
                      uint16_t value) override {
    return target_->SetNoteField(note, field, value);
  }
  uint16_t GetTextItem(NoteHandle note, const char* name,
                       std::span<char> buffer) override {
    return target_->GetTextItem(note, name, buffer);
  }
  double GetNumberItem(NoteHandle note, const char* name,
                       double defaultValue) override {
    return target_->GetNumberItem(note, name, defaultValue);
  }
  uint16_t GetTextListCount(NoteHandle note, const char* name) override {
    return target_->GetTextListCount(note, name);
  }
  uint16_t GetTextListEntry(NoteHandle note, const char* name, uint16_t index,
                            std::span<char> buffer,
                            uint16_t bufferSize) override {
    return target_->GetTextListEntry(note, name, index, buffer, bufferSize);
  }
  Status GetItemInfo(NoteHandle note, const char* name, uint16_t nameLength,
                     uint16_t* dataType, uint16_t* itemFlags,
                     uint32_t* valueLength, uint32_t* reserved) override {
    return target_->GetItemInfo(note, name, nameLength, dataType, itemFlags,
                                valueLength, reserved);
  }
  Status SetTextItem(NoteHandle note, const char* name, const char* text,
                     uint16_t length) override {
    return target_->SetTextItem(note, name, text, length);
  }
  Status DeleteItem(NoteHandle note, const char* name,
                    uint16_t nameLength) override {
    return target_->DeleteItem(note, name, nameLength);
  }
  Status AppendItem(NoteHandle note, uint16_t itemFlags, const char* name,
                    uint16_t nameLength, uint16_t dataType, const void* value,
                    uint32_t valueLength) override {
    return target_->AppendItem(note, itemFlags, name, nameLength, dataType,
                               value, valueLength);
  }
  Status CompileFormula(const char* name, uint16_t nameLength, const char* text,
                        uint16_t textLength, MemHandle* formula,
                        uint16_t* formulaLength, Status* compileError,
                        uint16_t* errorLine, uint16_t* errorColumn,
                        uint16_t* errorOffset, uint16_t* errorLength) override {
    return target_->CompileFormula(name, nameLength, text, textLength, formula,
                                   formulaLength, compileError, errorLine,
                                   errorColumn, errorOffset, errorLength);
  }
  Status AddFormulaSummaryName(MemHandle formula, const char* name,
                               uint16_t nameLength) override {
    return target_->AddFormulaSummaryName(formula, name, nameLength);
  }
  Status MergeFormulas(MemHandle source, MemHandle target) override {
    return target_->MergeFormulas(source, target);
  }
  Status GetFormulaSize(MemHandle formula, uint16_t* size) override {
    return target_->GetFormulaSize(formula, size);
  }
  Status SearchDatabase(DbHandle db, MemHandle formula, const char* viewTitle,
                        uint16_t searchFlags, uint16_t noteClassMask,
                        const TimeDate* since, SearchCallback callback,
                        void* context, TimeDate* until) override {
    return target_->SearchDatabase(db, formula, viewTitle, searchFlags,
                                   noteClassMask, since, callback, context,
                                   until);
  }
  Status FindDesignNote(DbHandle db, const char* name, uint16_t noteClass,
                        const char* flagPattern, uint32_t* noteId,
                        uint32_t options) override {
    return target_->FindDesignNote(db, name, noteClass, flagPattern, noteId,
                                   options);
  }
  Status OpenCollection(DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId,
                        uint16_t openFlags, MemHandle unreadList,
                        CollectionHandle* collection, NoteHandle* viewNote,
                        void* viewUnid, MemHandle* collapsedList,
                        MemHandle* selectedList) override {
    return target_->OpenCollection(viewDb, dataDb, viewNoteId, openFlags,
                                   unreadList, collection, viewNote, viewUnid,
                                   collapsedList, selectedList);
  }
  Status UpdateCollection(CollectionHandle collection) override {
    return target_->UpdateCollection(collection);
  }
  Status FindByName(CollectionHandle collection, const char* key,
                    uint16_t findFlags, CollectionPosition* position,
                    uint32_t* matches) override {
    return target_->FindByName(collection, key, findFlags, position, matches);
  }
  Status ReadEntries(CollectionHandle collection, CollectionPosition* position,
                     uint16_t skipNavigator, uint32_t skipCount,
                     uint16_t returnNavigator, uint32_t returnCount,
                     uint32_t returnMask, MemHandle* buffer,
                     uint16_t* bufferLength, uint32_t* entriesSkipped,
                     uint32_t* entriesReturned,
                     uint16_t* signalFlags) override {
    return target_->ReadEntries(collection, position, skipNavigator, skipCount,
                                returnNavigator, returnCount, returnMask,
                                buffer, bufferLength, entriesSkipped,
                                entriesReturned, signalFlags);
  }
  Status CloseCollection(CollectionHandle collection) override {
    return target_->CloseCollection(collection);
  }

 private:
  NotesServices* target_;
};

}  // namespace vt
