// What the server's own tools may do beyond NotesServices: read whole
// databases in one scan, copy one as it is at one moment, check, compact and
// remove databases, delete in durable batches, reach the console (its queue,
// the tasks' status lines, the log). The tools (vtserver) reach the server
// through NotesServices and this face alone, never through the store, the
// console or the formula engine behind them, so that every guarantee of the
// server holds for them as it holds for the router.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "notes/NoteItem.h"
#include "notes/NotesServices.h"

namespace vt {

// The layout of the databases this version writes, as server.ini's
// DataFormat names it.
inline constexpr int kDataFormat = 4;

class ServerAdmin {
 public:
  ServerAdmin() = default;
  ServerAdmin(const ServerAdmin&) = delete;
  ServerAdmin& operator=(const ServerAdmin&) = delete;
  virtual ~ServerAdmin() = default;

  // ---- Reading whole databases -------------------------------------------
  // One document of a scan; valid during the visit only. Times are Unix
  // centiseconds.
  struct Document {
    uint32_t noteId = 0;
    UniversalId unid{};
    uint32_t sequence = 0;  // its version
    int64_t created = 0;
    int64_t modified = 0;
    // When it entered this database, kept by the server alone: a copy keeps
    // created (a message intercepted into a scan box keeps its creation
    // time), so only this tells how long it has waited there.
    int64_t added = 0;
    // Bit i: selection i of the scan selects the document.
    uint32_t selected = 0;
    // Its summary items (those a search reads), when the scan asked.
    const std::vector<NoteItem>* summary = nullptr;
  };
  using DocumentVisitor = std::function<Status(const Document&)>;
  struct ScanOptions {
    // Compiled selections (CompileFormula), each judged on every document
    // as a search judges it; at most 32.
    std::span<const MemHandle> selections;
    bool summary = false;
    // Only these note IDs, in this order, those still there; empty: all
    // documents in ascending note-ID order.
    std::span<const uint32_t> only;
  };
  // Visits the documents of db; a nonzero visitor status ends the scan and
  // is returned. The visitor must not write to db.
  virtual Status ScanDocuments(DbHandle db, const ScanOptions& options,
                               const DocumentVisitor& visit) = 0;

  // An open note whole: header and every item, in order.
  struct NoteContents {
    uint32_t noteId = 0;
    UniversalId unid{};
    uint32_t sequence = 0;
    int64_t created = 0;
    int64_t modified = 0;
    std::vector<NoteItem> items;
  };
  virtual Status ReadNote(NoteHandle note, NoteContents* contents) = 0;
  // The creation time an open note is saved with (a stand-in's old mail).
  virtual Status SetNoteCreated(NoteHandle note, int64_t createdCentis) = 0;

  // ---- Changing databases ------------------------------------------------
  // Deletes the documents of ids still there in one durable transaction, all
  // or none; with sequences (one per ID), only those still that version.
  // *deleted counts them.
  virtual Status DeleteDocuments(DbHandle db, std::span<const uint32_t> ids,
                                 std::span<const uint32_t> sequences,
                                 uint32_t* deleted) = 0;
  // Removes a database file nobody writes to any more. kDatabaseBusy while
  // a handle of this server has it open; kFileNotFound when it is gone.
  virtual Status RemoveDatabase(const char* path) = 0;

  // ---- Maintenance -------------------------------------------------------
  // A database as it was when it was pinned, whatever is written meanwhile;
  // let go when destroyed. Pinning takes no lock a writer waits for.
  class Snapshot {
   public:
    virtual ~Snapshot() = default;
    // A copy at dest (which must not exist), durable on return, with an
    // identity of its own.
    virtual Status CopyTo(const std::filesystem::path& dest) = 0;
  };
  virtual Status PinDatabase(DbHandle db,
                             std::unique_ptr<Snapshot>* snapshot) = 0;
  // The integrity check (quick: without the index cross-checks); problem
  // names the first problem found, empty when there is none.
  virtual Status CheckDatabase(DbHandle db, bool quick,
                               std::string* problem) = 0;
  // Gives free pages back; writers elsewhere wait meanwhile.
  virtual Status CompactDatabase(DbHandle db) = 0;
  // The layout a database file records, read without opening it; nullopt
  // for a file that is not one of this server's databases.
  virtual std::optional<int> RecordedDataFormat(
      const std::filesystem::path& file) const = 0;

  // ---- The console -------------------------------------------------------
  static constexpr size_t kMaxConsoleCommand = 500;
  // One command to the task listening on that queue: kQueueNotFound when
  // none listens.
  virtual Status PostConsoleCommand(std::string_view queue,
                                    std::string_view command) const = 0;
  struct TaskLine {
    std::string name;
    std::string text;
    bool running = false;  // its task still holds it
  };
  virtual std::vector<TaskLine> ReadTaskLines() const = 0;
  // The server log's file.
  virtual std::filesystem::path LogFile() const = 0;
};

}  // namespace vt
