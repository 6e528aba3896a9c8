// A NotesServices wrapper for tests: counts every call by operation, fails
// the Nth call of a chosen operation with a chosen status (once, from then
// on, or after carrying it out), and counts the handles the code under test
// holds, so a test can check that nothing is left open. Failing operations
// do not reach the server. Faults the embedded server cannot be made to
// produce on demand come from here.
#pragma once

#include <gtest/gtest.h>

#include <array>

#include "notes/NotesOperations.h"
#include "notes/NotesServicesWrapper.h"

namespace vt::testing {

class FaultyNotes : public NotesServicesWrapper {
 public:
  // kAfterward: the Nth call is carried out, then reported as failed (a
  // copy committed before its failure was seen).
  enum class Mode { kOnce, kFromThen, kAfterward };

  explicit FaultyNotes(NotesServices& target) : NotesServicesWrapper(target) {}

  // Fails call number n (1-based, counted from now) of operation op with
  // status; with kFromThen every later call fails too.
  void FailCall(NotesOp op, int n, Status status, Mode mode = Mode::kOnce) {
    if (!NotesOpCanFail(op)) {
      ADD_FAILURE() << NotesOpName(op) << " cannot fail";
      return;
    }
    Fault& f = faults_[Index(op)];
    f.armed = true;
    f.failAt = calls_[Index(op)] + n;
    f.status = status;
    f.mode = mode;
  }
  void ClearFaults() { faults_ = {}; }

  int Calls(NotesOp op) const { return calls_[Index(op)]; }
  int TotalCalls() const { return total_; }
  // How many injected failures have fired.
  int Injected() const { return injected_; }

  int openDatabases() const { return openDatabases_; }
  int openNotes() const { return openNotes_; }
  int idTables() const { return idTables_; }
  int memoryBlocks() const { return memoryBlocks_; }
  int collections() const { return collections_; }

  // ---- the handles the code under test holds -------------------------------
  Status OpenDatabase(const char* path, DbHandle* db) override {
    return Count(NotesServicesWrapper::OpenDatabase(path, db), openDatabases_);
  }
  Status CreateDatabaseCopy(const char* sourcePath, const char* newPath,
                            uint16_t noteClassMask, uint16_t reserved1,
                            uint32_t reserved2, DbHandle* newDb) override {
    return Count(
        NotesServicesWrapper::CreateDatabaseCopy(
            sourcePath, newPath, noteClassMask, reserved1, reserved2, newDb),
        openDatabases_);
  }
  Status CloseDatabase(DbHandle db) override {
    return Count(NotesServicesWrapper::CloseDatabase(db), openDatabases_, -1);
  }
  Status OpenNote(DbHandle db, uint32_t noteId, uint16_t flags,
                  NoteHandle* note) override {
    return Count(NotesServicesWrapper::OpenNote(db, noteId, flags, note),
                 openNotes_);
  }
  Status OpenNoteExtended(DbHandle db, uint32_t noteId, uint32_t flags,
                          NoteHandle* note) override {
    return Count(
        NotesServicesWrapper::OpenNoteExtended(db, noteId, flags, note),
        openNotes_);
  }
  Status CreateNote(DbHandle db, NoteHandle* note) override {
    return Count(NotesServicesWrapper::CreateNote(db, note), openNotes_);
  }
  Status CloseNote(NoteHandle note) override {
    return Count(NotesServicesWrapper::CloseNote(note), openNotes_, -1);
  }
  Status CreateIdTable(uint16_t entrySize, IdTableHandle* table) override {
    return Count(NotesServicesWrapper::CreateIdTable(entrySize, table),
                 idTables_);
  }
  Status DestroyIdTable(IdTableHandle table) override {
    return Count(NotesServicesWrapper::DestroyIdTable(table), idTables_, -1);
  }
  Status AllocateMemory(uint16_t type, uint32_t size,
                        MemHandle* memory) override {
    return Count(NotesServicesWrapper::AllocateMemory(type, size, memory),
                 memoryBlocks_);
  }
  Status CompileFormula(const char* name, uint16_t nameLength, const char* text,
                        uint16_t textLength, MemHandle* formula,
                        uint16_t* formulaLength, Status* compileError,
                        uint16_t* errorLine, uint16_t* errorColumn,
                        uint16_t* errorOffset, uint16_t* errorLength) override {
    return Count(
        NotesServicesWrapper::CompileFormula(
            name, nameLength, text, textLength, formula, formulaLength,
            compileError, errorLine, errorColumn, errorOffset, errorLength),
        memoryBlocks_);
  }
  Status ReadEntries(CollectionHandle collection, CollectionPosition* position,
                     uint16_t skipNavigator, uint32_t skipCount,
                     uint16_t returnNavigator, uint32_t returnCount,
                     uint32_t returnMask, MemHandle* buffer,
                     uint16_t* bufferLength, uint32_t* entriesSkipped,
                     uint32_t* entriesReturned,
                     uint16_t* signalFlags) override {
    const Status s = NotesServicesWrapper::ReadEntries(
        collection, position, skipNavigator, skipCount, returnNavigator,
        returnCount, returnMask, buffer, bufferLength, entriesSkipped,
        entriesReturned, signalFlags);
    if (s.ok() && buffer != nullptr && *buffer) ++memoryBlocks_;
    return s;
  }
  void FreeMemory(MemHandle memory) override {
    NotesServicesWrapper::FreeMemory(memory);
    --memoryBlocks_;
  }
  Status OpenCollection(DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId,
                        uint16_t openFlags, MemHandle unreadList,
                        CollectionHandle* collection, NoteHandle* viewNote,
                        void* viewUnid, MemHandle* collapsedList,
                        MemHandle* selectedList) override {
    return Count(
        NotesServicesWrapper::OpenCollection(
            viewDb, dataDb, viewNoteId, openFlags, unreadList, collection,
            viewNote, viewUnid, collapsedList, selectedList),
        collections_);
  }
  Status CloseCollection(CollectionHandle collection) override {
    return Count(NotesServicesWrapper::CloseCollection(collection),
                 collections_, -1);
  }

 protected:
  bool Before(NotesOp op, Status* result) override {
    Called(op);
    const Fault& f = faults_[Index(op)];
    if (!f.armed || f.mode == Mode::kAfterward) return false;
    const int n = calls_[Index(op)];
    if (n != f.failAt && !(f.mode == Mode::kFromThen && n > f.failAt)) {
      return false;
    }
    ++injected_;
    *result = f.status;
    return true;
  }
  Status After(NotesOp op, Status result) override {
    const Fault& f = faults_[Index(op)];
    if (!f.armed || f.mode != Mode::kAfterward) return result;
    if (calls_[Index(op)] != f.failAt) return result;
    ++injected_;
    return f.status;
  }
  void Called(NotesOp op) override {
    ++calls_[Index(op)];
    ++total_;
  }

 private:
  struct Fault {
    bool armed = false;
    int failAt = 0;
    Status status;
    Mode mode = Mode::kOnce;
  };

  static size_t Index(NotesOp op) { return static_cast<size_t>(op); }
  // A successful opening (+1) or closing (-1) of a handle.
  static Status Count(Status s, int& counter, int step = 1) {
    if (s.ok()) counter += step;
    return s;
  }

  std::array<int, kNotesOpCount> calls_{};
  std::array<Fault, kNotesOpCount> faults_{};
  int total_ = 0;
  int injected_ = 0;
  int openDatabases_ = 0;
  int openNotes_ = 0;
  int idTables_ = 0;
  int memoryBlocks_ = 0;
  int collections_ = 0;
};

}  // namespace vt::testing
