// The router's only way to its mail server: the operations of the Notes C API
// it calls, by role name, with the arguments the router passes. The router
// holds a reference to one NotesServices and never reaches past it; the
// embedded server (LocalNotesServices) is one implementation, tests wrap it.
//
// Common contract: an operation that can fail returns a Status, 0 for success.
// Handles are opaque; 0 means none. A stale, closed or unknown handle gives an
// error status (err::kInvalidHandle), never undefined behaviour. Texts are
// NUL-terminated 8-bit strings; output buffers are spans and are always
// terminated within their size.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <span>

#include "notes/Handles.h"
#include "notes/Status.h"
#include "notes/TimeDate.h"

namespace vt {

using DbInfo = std::array<char, kDbInfoSize>;

// A note's universal ID: the same in every database the note is copied to.
using UniversalId = std::array<uint8_t, 16>;

// A note's universal ID and version (its sequence number, which every saved
// change raises), as the platform's originator ID holds them.
struct OriginatorId {
  UniversalId unid{};
  uint32_t sequence = 0;
};

// The identity of a database file, as the platform's database ID gives it:
// two handles on one file give the same value, two files open at the same
// time never do.
using DatabaseId = std::array<uint8_t, 8>;

// What the search hands its callback for each note examined.
struct SearchMatch {
  uint32_t noteId = 0;  // top bit set for a deletion stub
  uint16_t noteClass = 0;
  uint8_t matchFlags = 0;  // kSearchMatchFlag: the formula selects the note
};
using SearchCallback = Status (*)(void* context, const SearchMatch& match);

// A place in a collection (view index), as FindByName returns it.
struct CollectionPosition {
  uint32_t index = 0;  // 0-based entry index in view order
};

// The task body that RunProcessEntry may call (the process entry itself).
using ProcessEntryFunction = int (*)(int argc, char** argv);

class NotesServices {
 public:
  NotesServices() = default;
  NotesServices(const NotesServices&) = delete;
  NotesServices& operator=(const NotesServices&) = delete;
  virtual ~NotesServices() = default;

  // ---- Runtime -----------------------------------------------------------
  // Brings the runtime up for this process (finds the data directory).
  virtual Status StartRuntime(int argc, char** argv) = 0;
  virtual void StopRuntime() = 0;
  // May replace the argument count and vector; callers use the new ones.
  virtual Status StartProcessArguments(int argc, char** argv, int* newArgc,
                                       char*** newArgv) = 0;
  virtual void EndProcessArguments(int argc, char** argv) = 0;
  // 0 = run the task in this call; anything else is the status to end with.
  virtual Status RunProcessEntry(ProcessEntryFunction entry, int argc,
                                 char** argv, uint32_t reserved1,
                                 uint32_t reserved2) = 0;
  virtual Status StartTaskRuntime(int argc, char** argv) = 0;
  virtual void GetTaskModule(ModuleHandle* module, uint32_t reserved1,
                             uint32_t reserved2) = 0;
  // Takes the task's status and gives the process result.
  virtual Status EndTaskRuntime(Status taskStatus) = 0;

  // ---- Error texts -------------------------------------------------------
  // Each writes the text for the status into buffer (at most maxLength
  // characters and a terminator) and returns the text's length.
  virtual uint16_t GetStartupErrorText(Status status, std::span<char> buffer,
                                       uint16_t maxLength) = 0;
  virtual uint16_t GetExitErrorText(Status status, std::span<char> buffer,
                                    uint16_t maxLength) = 0;
  virtual uint16_t LoadStatusText(uint16_t module, Status status,
                                  std::span<char> buffer,
                                  uint16_t bufferSize) = 0;

  // ---- Log and status line -----------------------------------------------
  // One line in the server log (and on standard output): local date and
  // time, two blanks, the formatted text, and for a nonzero status its text.
  void LogMessage(const char* format, Status status, ...)
      __attribute__((format(printf, 2, 4)));
  virtual void LogMessageV(const char* format, Status status, va_list args) = 0;
  void SetStatusText(const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  virtual void SetStatusTextV(const char* format, va_list args) = 0;
  virtual void QueryTaskDefaults(ModuleHandle* module,
                                 StatusLineHandle* line) = 0;
  virtual void DeleteStatusLine(StatusLineHandle line) = 0;
  virtual StatusLineHandle CreateStatusLine(const char* taskName) = 0;
  virtual void SetTaskDefaults(ModuleHandle module, StatusLineHandle line) = 0;

  // ---- Scheduling --------------------------------------------------------
  // Nonzero (true) when the task must end. IdlePoll gives the server its turn
  // and may pause briefly; ShouldTerminate only asks.
  virtual bool IdlePoll() = 0;
  virtual bool ShouldTerminate() = 0;
  // True once that many seconds have passed since it last returned true for
  // the same number; each number keeps its own clock.
  virtual bool SecondsElapsed(uint32_t seconds) = 0;

  // ---- Message queue -----------------------------------------------------
  virtual Status OpenQueue(const char* name, uint16_t options,
                           QueueHandle* queue) = 0;
  // 0 when one message was copied (unterminated) and its length stored.
  virtual Status ReadQueue(QueueHandle queue, std::span<char> buffer,
                           uint16_t maxLength, uint16_t options, uint32_t wait,
                           uint16_t* length) = 0;
  virtual Status CloseQueue(QueueHandle queue, uint16_t options) = 0;

  // ---- Time --------------------------------------------------------------
  virtual void CurrentTime(TimeDate* now) = 0;
  // 0 when equal, nonzero (-1, 1) when they differ.
  virtual int CompareTimeDates(const TimeDate& a, const TimeDate& b) = 0;
  virtual int CompareDates(const TimeDate& a, const TimeDate& b) = 0;

  // ---- Identity ----------------------------------------------------------
  // The name of the ID the server runs under (257-byte buffer).
  virtual Status GetServerIdName(std::span<char> name) = 0;

  // ---- Memory ------------------------------------------------------------
  virtual Status AllocateMemory(uint16_t type, uint32_t size,
                                MemHandle* memory) = 0;
  // Null for an unknown handle.
  virtual void* LockMemory(MemHandle memory) = 0;
  virtual void UnlockMemory(MemHandle memory) = 0;
  virtual void FreeMemory(MemHandle memory) = 0;

  // ---- Stored form -------------------------------------------------------
  virtual uint16_t CanonicalSize(uint16_t recordType) = 0;
  // Writes count records of recordType at *cursor and advances it.
  virtual void WriteCanonical(uint8_t** cursor, uint16_t recordType,
                              const void* record, uint16_t count) = 0;

  // ---- ID tables ---------------------------------------------------------
  virtual Status CreateIdTable(uint16_t entrySize, IdTableHandle* table) = 0;
  virtual Status InsertId(IdTableHandle table, uint32_t noteId,
                          bool* inserted) = 0;
  // True while an ID is returned; first = true starts from the lowest ID.
  virtual bool ScanIds(IdTableHandle table, bool first, uint32_t* noteId) = 0;
  virtual uint32_t CountIds(IdTableHandle table) = 0;
  virtual Status ClearIdTable(IdTableHandle table) = 0;
  virtual Status DestroyIdTable(IdTableHandle table) = 0;

  // ---- Databases ---------------------------------------------------------
  virtual Status ConstructNetPath(const char* port, const char* server,
                                  const char* file,
                                  std::span<char> netPath) = 0;
  // Status code kFileNotFound (0x0103) when the file does not exist.
  virtual Status OpenDatabase(const char* path, DbHandle* db) = 0;
  virtual Status CloseDatabase(DbHandle db) = 0;
  virtual Status CreateDatabase(const char* path, uint16_t dbClass,
                                bool force) = 0;
  virtual Status GetDatabaseSpace(DbHandle db, uint32_t* usedBytes,
                                  uint32_t* freeBytes) = 0;
  virtual Status GetDatabaseInfo(DbHandle db, DbInfo& info) = 0;
  virtual void SetDatabaseInfoField(DbInfo& info, uint16_t field,
                                    const char* text) = 0;
  virtual Status SetDatabaseInfo(DbHandle db, const DbInfo& info) = 0;
  virtual Status CopyDatabaseSettings(DbHandle from, DbHandle to) = 0;
  virtual Status GetDatabaseId(DbHandle db, DatabaseId* id) = 0;
  // Creates newPath with the notes of source whose class is in noteClassMask
  // and leaves it open; kFileNotFound when the source does not exist.
  virtual Status CreateDatabaseCopy(const char* sourcePath, const char* newPath,
                                    uint16_t noteClassMask, uint16_t reserved1,
                                    uint32_t reserved2, DbHandle* newDb) = 0;

  // ---- Notes -------------------------------------------------------------
  virtual Status OpenNote(DbHandle db, uint32_t noteId, uint16_t flags,
                          NoteHandle* note) = 0;
  virtual Status OpenNoteExtended(DbHandle db, uint32_t noteId, uint32_t flags,
                                  NoteHandle* note) = 0;
  virtual Status CreateNote(DbHandle db, NoteHandle* note) = 0;
  // Saves the note. kUpdateConflict, with nothing written, when the note was
  // changed by anyone since it was opened; kNoteDeleted when it was deleted.
  virtual Status UpdateNote(NoteHandle note, uint16_t flags) = 0;
  virtual Status CloseNote(NoteHandle note) = 0;
  // 0 once the note exists, durably, in the destination: a note there with
  // the same universal ID is replaced by a later version, and nothing is
  // written when the destination holds this version or a later one, or
  // deleted it. kMailRuleRefused when a mail rule of the destination refuses
  // it, and kSameDatabase when source and destination are one database, both
  // with nothing written.
  virtual Status CopyNote(DbHandle source, uint32_t reserved1,
                          uint32_t reserved2, uint32_t noteId,
                          DbHandle destination, uint32_t reserved3,
                          uint32_t reserved4, uint32_t openFlags,
                          uint16_t updateFlags, uint32_t* newNoteId,
                          uint16_t* newNoteClass) = 0;
  // Returns once the deletion is committed: every reader sees it and a
  // crash of the process keeps it. Against a power cut it becomes durable
  // with the database's next durable commit; one lost with the power leaves
  // the note where it was (a move's copy is durable first, so a move cut
  // short that way is in both places until it is made again).
  virtual Status DeleteNote(DbHandle db, uint32_t noteId,
                            uint16_t updateFlags) = 0;
  // A move's copy: as CopyNote, but only of the note as the formula selects
  // it. The note is read, tested and written in one step, so that a change
  // another writer made after a search cannot ride along unselected (no
  // formula: every note is selected). *copied receives the universal ID and
  // the version that was read, also when the destination already held it or
  // a mail rule refused it. kNoLongerSelected, with nothing written, when
  // the note as it is now does not match.
  virtual Status CopySelectedNote(DbHandle source, uint32_t noteId,
                                  MemHandle formula, DbHandle destination,
                                  OriginatorId* copied) = 0;
  // A move's deletion: as DeleteNote, but only while the note is still the
  // version given, so that a move never takes away a change made after its
  // copy. kUpdateConflict, with nothing deleted, when the note is another
  // version now; kNoteDeleted when it is gone.
  virtual Status DeleteNoteVersion(DbHandle db, uint32_t noteId,
                                   uint32_t sequence, uint16_t updateFlags) = 0;
  // kNoteDeleted (549) for a note that has been deleted.
  virtual Status GetNoteInfo(DbHandle db, uint32_t noteId, uint32_t* sequence,
                             TimeDate* modified, uint16_t* noteClass) = 0;
  // kNoteDeleted for a deleted note.
  virtual Status GetNoteOriginatorId(DbHandle db, uint32_t noteId,
                                     OriginatorId* oid) = 0;
  // The note of that universal ID in the database, or else its deletion
  // stub: the note ID (kDeletedNoteFlag set for a stub) and the version (for
  // a stub, the latest version it deleted). kNotFound when there is neither.
  virtual Status GetNoteInfoByUnid(DbHandle db, const UniversalId& unid,
                                   uint32_t* noteId, uint32_t* sequence) = 0;
  // Field kNoteFieldModified gives the last-modified stamp.
  virtual Status GetNoteField(NoteHandle note, uint16_t field,
                              TimeDate* value) = 0;
  // Field kNoteFieldClass sets the note class.
  virtual Status SetNoteField(NoteHandle note, uint16_t field,
                              uint16_t value) = 0;

  // ---- Items -------------------------------------------------------------
  // Length of the text written (0 when absent); the first entry of a list.
  virtual uint16_t GetTextItem(NoteHandle note, const char* name,
                               std::span<char> buffer) = 0;
  virtual double GetNumberItem(NoteHandle note, const char* name,
                               double defaultValue) = 0;
  virtual uint16_t GetTextListCount(NoteHandle note, const char* name) = 0;
  virtual uint16_t GetTextListEntry(NoteHandle note, const char* name,
                                    uint16_t index, std::span<char> buffer,
                                    uint16_t bufferSize) = 0;
  // 0 when the item is present; each place may be null.
  virtual Status GetItemInfo(NoteHandle note, const char* name,
                             uint16_t nameLength, uint16_t* dataType,
                             uint16_t* itemFlags, uint32_t* valueLength,
                             uint32_t* reserved) = 0;
  // length 0xFFFF: up to the terminator.
  virtual Status SetTextItem(NoteHandle note, const char* name,
                             const char* text, uint16_t length) = 0;
  // A missing item is no error.
  virtual Status DeleteItem(NoteHandle note, const char* name,
                            uint16_t nameLength) = 0;
  virtual Status AppendItem(NoteHandle note, uint16_t itemFlags,
                            const char* name, uint16_t nameLength,
                            uint16_t dataType, const void* value,
                            uint32_t valueLength) = 0;

  // ---- Formulas ----------------------------------------------------------
  // The compiled formula is held in platform memory (free with FreeMemory).
  virtual Status CompileFormula(const char* name, uint16_t nameLength,
                                const char* text, uint16_t textLength,
                                MemHandle* formula, uint16_t* formulaLength,
                                Status* compileError, uint16_t* errorLine,
                                uint16_t* errorColumn, uint16_t* errorOffset,
                                uint16_t* errorLength) = 0;
  virtual Status AddFormulaSummaryName(MemHandle formula, const char* name,
                                       uint16_t nameLength) = 0;
  virtual Status MergeFormulas(MemHandle source, MemHandle target) = 0;
  virtual Status GetFormulaSize(MemHandle formula, uint16_t* size) = 0;
  // Whether the formula selects the open note as it was read: what acts on
  // the result of a search tests again on the note it opened, which saving
  // then guards against any later change (UpdateNote's conflict).
  virtual Status EvaluateSelection(NoteHandle note, MemHandle formula,
                                   bool* selected) = 0;

  // ---- Search ------------------------------------------------------------
  // Visits the notes whose class is in noteClassMask in ascending note-ID
  // order; a nonzero callback status ends the search and is returned.
  virtual Status SearchDatabase(DbHandle db, MemHandle formula,
                                const char* viewTitle, uint16_t searchFlags,
                                uint16_t noteClassMask, const TimeDate* since,
                                SearchCallback callback, void* context,
                                TimeDate* until) = 0;

  // ---- Views -------------------------------------------------------------
  // kNotFound (0x0404) when there is no such design note.
  virtual Status FindDesignNote(DbHandle db, const char* name,
                                uint16_t noteClass, const char* flagPattern,
                                uint32_t* noteId, uint32_t options) = 0;
  virtual Status OpenCollection(
      DbHandle viewDb, DbHandle dataDb, uint32_t viewNoteId, uint16_t openFlags,
      MemHandle unreadList, CollectionHandle* collection, NoteHandle* viewNote,
      void* viewUnid, MemHandle* collapsedList, MemHandle* selectedList) = 0;
  virtual Status UpdateCollection(CollectionHandle collection) = 0;
  // findFlags 2: whole key, without regard to case. kNotFound (1028) when no
  // entry has that key.
  virtual Status FindByName(CollectionHandle collection, const char* key,
                            uint16_t findFlags, CollectionPosition* position,
                            uint32_t* matches) = 0;
  // With returnMask 1, the buffer holds the 32-bit note IDs of the returned
  // entries in view order.
  virtual Status ReadEntries(CollectionHandle collection,
                             CollectionPosition* position,
                             uint16_t skipNavigator, uint32_t skipCount,
                             uint16_t returnNavigator, uint32_t returnCount,
                             uint32_t returnMask, MemHandle* buffer,
                             uint16_t* bufferLength, uint32_t* entriesSkipped,
                             uint32_t* entriesReturned,
                             uint16_t* signalFlags) = 0;
  virtual Status CloseCollection(CollectionHandle collection) = 0;
};

}  // namespace vt
