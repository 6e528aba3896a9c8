// One database as the server sees it, whichever store holds it: its notes
// and their deletion stubs, kept by note ID and universal ID, the change
// sequence that incremental searches follow, and the database-level records
// (information text, class, settings). Two stores keep this contract: a
// SQLite file of this machine (SqliteDatabase) and a database kept in
// PostgreSQL by another server, reached over the network (PgDatabase).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "notes/NotesServices.h"
#include "notes/Status.h"
#include "server/store/FileNames.h"
#include "server/store/NoteRecord.h"

namespace vt::store {

// Marks our files ("VTR1"), so that another program's SQLite file is refused.
inline constexpr int32_t kApplicationId = 0x56545231;
// The layout of the files this version writes; older ones are brought up to
// it (SqliteLayout.h says what each step added).
inline constexpr int32_t kSchemaVersion = 4;

// Note IDs are multiples of 4 below 0x80000000; IDs of the form 0xFFFF0000 |
// class name the first note of that class (kIconNoteId is one of them).
inline constexpr uint32_t kFirstNoteId = 4;
inline constexpr uint32_t kNoteIdStep = 4;
inline constexpr uint32_t kClassNoteIdPrefix = 0xFFFF0000;
// Beyond this the ID would collide with the deleted-note flag.
inline constexpr int64_t kNoteIdLimit = 0x80000000LL;

// The icon note's copy of the database title.
inline constexpr char kTitleItem[] = "$TITLE";

// Every edit must be visible as a change even when the clock stands still.
inline int64_t NextModified(int64_t previous, int64_t now) {
  return now > previous ? now : previous + 1;
}

// A note as it is stored, for copying it from one database to another
// without decoding its items.
struct StoredNote {
  NoteInfo info;
  std::vector<uint8_t> summary;
  std::vector<uint8_t> other;
};

inline bool ContainsUnid(std::span<const StoredNote> notes, const Unid& unid) {
  for (const StoredNote& note : notes) {
    if (note.info.unid == unid) return true;
  }
  return false;
}

// What a scan yields per note; the summary span is valid during the visit.
struct ScanEntry {
  uint32_t id = 0;
  uint16_t noteClass = 0;
  int64_t created = 0;
  int64_t modified = 0;
  Unid unid{};
  std::span<const uint8_t> summary;
  uint32_t sequence = 0;
  // When the note entered this database: its first write here, a new note
  // or a copy from elsewhere (which keeps its created stamp). Later writes
  // of the same note keep it.
  int64_t added = 0;
  int64_t changed = 0;  // set by ForEachChangeSince and ForEachNoteOf only
};

struct StubEntry {
  uint32_t id = 0;
  uint16_t noteClass = 0;
  int64_t deleted = 0;
  int64_t changed = 0;  // set by ForEachChangeSince only
};

class NsfDatabase {
 public:
  // A nonzero status ends the scan and is returned by it.
  using ScanVisitor = std::function<Status(const ScanEntry&)>;
  using StubVisitor = std::function<Status(const StubEntry&)>;
  // Adds content to a database being created, before it appears by name.
  using Filler = std::function<Status(NsfDatabase& fresh)>;

  NsfDatabase() = default;
  NsfDatabase(const NsfDatabase&) = delete;
  NsfDatabase& operator=(const NsfDatabase&) = delete;
  virtual ~NsfDatabase() = default;

  struct OpenOptions {
    // Runs SQLite's quick check first: a damaged file is refused
    // (kCorruptDatabase) before anything is written into it.
    bool quickCheck = false;
    // Brings a file of an earlier layout up to kSchemaVersion; without it
    // such a file is refused with kOlderFormat.
    bool upgrade = true;
    // For a reader only: a file whose folder it may not write is opened
    // read-only, without the identity record it could not make there. On
    // read-only media it is read as it lies, without its write-ahead log;
    // one whose log still holds pages there is refused with kReadOnly, as
    // reading around them would show an earlier state.
    bool readOnly = false;
    // Where leftovers are set aside; null: PosixFileNames. Not owned.
    FileNames* names = nullptr;
    // For tests: runs inside each look at the file's header, after its
    // sizes are first read, so that another connection can write and
    // checkpoint there.
    std::function<void()> duringHeaderCheck;
  };

  // The file store (SqliteDatabase): opens the database file.
  // kFileNotFound when there is no file; kCorruptDatabase when it is not one
  // of our databases or is damaged; kNewerFormat for a file of a later
  // layout. A write-ahead log, shared memory or journal left beside it by a
  // file removed or replaced meanwhile is set aside first, never merged;
  // setAside receives the new paths of those moved, also when the open then
  // fails, for the caller to report.
  static Status Open(const std::filesystem::path& file,
                     std::unique_ptr<NsfDatabase>* out,
                     std::vector<std::filesystem::path>* setAside,
                     const OpenOptions& options);
  static Status Open(const std::filesystem::path& file,
                     std::unique_ptr<NsfDatabase>* out,
                     std::vector<std::filesystem::path>* setAside) {
    return Open(file, out, setAside, OpenOptions());
  }

  // The file store: builds a new database file under a temporary name and
  // links it into place only when complete, so that no half-made database
  // is ever visible. kFileExists when the file exists; missing folders are
  // created. Every new database has an empty information text, an icon note
  // with "$TITLE" and an identity of its own. The file and every folder
  // made for it are durable on success. Names change through names.
  static Status Create(const std::filesystem::path& file, uint16_t dbClass,
                       int64_t nowCentis, const Filler& fill, FileNames& names);

  // ---- Identity -----------------------------------------------------------
  // Where the database lies, for messages: its file, or the server and name
  // it has in PostgreSQL.
  virtual std::string Describe() const = 0;
  // A number no other database open at the same time has, from any store.
  // False while unknown.
  virtual bool IdentityKey(uint64_t* key) const = 0;
  // 0 while the database opened is still the one its name leads to;
  // kFileReplaced once it was removed or another was put in its place.
  virtual Status CheckInPlace() const = 0;
  // The file store's file; empty for a database that is no file.
  virtual std::filesystem::path file() const { return {}; }

  // ---- Notes (time stamps in Unix centiseconds) ---------------------------
  // The ID a class ID (0xFFFF0000 | class) stands for; others are checked.
  Status ResolveNoteId(uint32_t noteId, uint32_t* resolved);
  // kNoteDeleted for a deleted note, kInvalidNote for an ID never used.
  virtual Status GetNoteInfo(uint32_t noteId, NoteInfo* info) = 0;
  virtual Status ReadNote(uint32_t noteId, NoteRecord* note) = 0;
  // Writes the whole note; a new note (id 0) gets its ID. The modified stamp
  // becomes nowCentis, or one more than before if the clock has not moved.
  // An existing note must still be the version it was read as (its
  // sequence): one changed since fails with kUpdateConflict.
  virtual Status WriteNote(NoteRecord* note, int64_t nowCentis) = 0;
  // Writes several notes in one durable transaction: all or none.
  virtual Status WriteNotes(std::span<NoteRecord> notes, int64_t nowCentis) = 0;
  // Leaves a stub. With a sequence, only that version of the note is
  // deleted: another fails with kUpdateConflict and stays. The file store
  // commits it without waiting for the disk (see SqliteDatabase).
  static constexpr uint32_t kAnyVersion = 0;
  virtual Status DeleteNote(uint32_t noteId, int64_t nowCentis,
                            uint32_t sequence = kAnyVersion) = 0;
  // Deletes the notes of ids that are still here in one durable
  // transaction, all or none; *deleted counts them (IDs deleted meanwhile
  // or never used are passed over).
  // With sequences (one per ID), a note that is another version now is
  // passed over too.
  virtual Status DeleteNotes(std::span<const uint32_t> ids, int64_t nowCentis,
                             uint32_t* deleted,
                             std::span<const uint32_t> sequences = {}) = 0;

  virtual Status ReadStoredNote(uint32_t noteId, StoredNote* note) = 0;
  // The note of that universal ID, or else its latest deletion stub (ID with
  // kDeletedNoteFlag, and the version it deleted); kNotFound for neither.
  virtual Status FindByUnid(const Unid& unid, uint32_t* noteId,
                            uint32_t* sequence) = 0;
  // Writes the note under its universal ID, replacing the note of that ID
  // here (which keeps its note ID) or adding one. Keeps class, created stamp,
  // items and the version (sequence) count; durable on return. Writes nothing
  // (noteId 0) when this version or a later one is here, or when a deletion
  // stub here shows that this version, or a later one, was already here and
  // was deleted.
  virtual Status PutStoredNote(const StoredNote& note, int64_t nowCentis,
                               uint32_t* noteId) = 0;

  // ---- Scans --------------------------------------------------------------
  // Notes of the classes in the mask in ascending ID order, summary only.
  // The visitor may read and write this database (a note added or removed
  // meanwhile may or may not be visited) and may start another scan.
  virtual Status ForEachNote(uint16_t classMask, const ScanVisitor& visit) = 0;
  // A mark that differs whenever the content may have changed since it was
  // taken, through this connection or any other (another instance or
  // process): results computed from the content stay valid while it holds.
  struct ChangeMark {
    int64_t dataVersion = -1;
    int64_t localChanges = -1;
    friend bool operator==(const ChangeMark&, const ChangeMark&) = default;
  };
  virtual Status GetChangeMark(ChangeMark* mark) = 0;
  // The change sequence: every note written and every deletion stub made
  // takes a number above all before it in the database, so what changed
  // after a moment is what numbers above the last number read then. Notes
  // and stubs written before the file had the sequence count as change 0.
  virtual Status GetLastChange(int64_t* change) = 0;
  // The notes written after change `since` (every class, with their change
  // numbers), then the stubs made after it; read a batch at a time, like
  // ForEachNote, and with the same freedom for the visitors. A change made
  // meanwhile may or may not be visited.
  virtual Status ForEachChangeSince(int64_t since, const ScanVisitor& written,
                                    const StubVisitor& deleted) = 0;
  // The notes of ids that are still here, in the order given.
  virtual Status ForEachNoteOf(std::span<const uint32_t> ids,
                               const ScanVisitor& visit) = 0;
  // Deletion stubs made at or after the given time, in ascending ID order.
  virtual Status ForEachStub(int64_t sinceCentis, const StubVisitor& visit) = 0;
  // Every stored note of the classes in the mask, items included; the
  // visitor must not write to this database.
  virtual Status ForEachStoredNote(
      uint16_t classMask,
      const std::function<Status(const StoredNote&)>& fn) = 0;

  // ---- Database -----------------------------------------------------------
  virtual Status GetInfo(DbInfo* info) = 0;
  // Also keeps the icon note's "$TITLE" equal to the title field.
  virtual Status SetInfo(const DbInfo& info, int64_t nowCentis) = 0;
  // usedBytes is what the roll-over compares with its limit.
  virtual Status GetSpace(uint64_t* usedBytes, uint64_t* freeBytes) = 0;
  virtual Status GetDbClass(uint16_t* dbClass) = 0;
  virtual Status GetSettings(std::vector<uint8_t>* settings) = 0;
  // The settings record and the ACL notes of this database replace those of
  // the other, in one transaction of the other.
  Status CopySettingsTo(NsfDatabase& to, int64_t nowCentis);
  // Adds the notes of the classes in the mask to a database being created,
  // keeping their note IDs, with this database's information text.
  Status CopyContentInto(NsfDatabase& fresh, uint16_t classMask,
                         int64_t nowCentis);

  // ---- Backup and checks: the file store's (others: kNotAvailable) ---------
  // Pins what this connection reads to the database as it is now, until
  // Unpin: CopyTo then copies that moment, whatever is written meanwhile.
  virtual Status Pin() { return err::kNotAvailable; }
  virtual void Unpin() {}
  // Writes a copy of the database to dest (which must not exist), durable on
  // return, with an identity of its own so that the copy put back in place
  // never adopts the log of the file it replaces. Names change through
  // names.
  virtual Status CopyTo(const std::filesystem::path&, FileNames&) {
    return err::kNotAvailable;
  }
  // Rewrites the file without its free pages (SQLite's VACUUM) and empties
  // the write-ahead log. Writers elsewhere wait meanwhile, and give up as on
  // any busy database after the busy timeout.
  virtual Status Compact() { return err::kNotAvailable; }
  // The store's own integrity check (quick: the cheaper part of it); the
  // first problem it names, empty when it found none.
  virtual Status CheckIntegrity(bool, std::string* problem) {
    problem->clear();
    return err::kNotAvailable;
  }

 protected:
  // The first note of a class (by ID); kInvalidNote when there is none.
  virtual Status FirstOfClass(uint16_t noteClass, uint32_t* id) = 0;
  // What an ID no note has is: kNoteDeleted where a stub has it, else
  // kInvalidNote.
  virtual Status MissingNoteStatus(uint32_t id) = 0;
  // Makes the icon note, which carries the title, unless there is one.
  Status EnsureIconNote(int64_t nowCentis);
  // Gives the icon note the title of info; false when it has it already.
  static bool TakeTitle(const DbInfo& info, NoteRecord* icon);

  // The receiving ends of CopySettingsTo and CopyContentInto: settings and
  // ACL notes replace this database's own in one transaction; a database
  // being created takes the information text, the settings and the notes
  // with their note IDs.
  virtual Status AdoptSettings(std::span<const uint8_t> settings,
                               std::span<const StoredNote> acl,
                               int64_t nowCentis) = 0;
  virtual Status AdoptContent(const DbInfo& info,
                              std::span<const uint8_t> settings,
                              std::span<const StoredNote> notes,
                              int64_t nowCentis) = 0;
};

}  // namespace vt::store
