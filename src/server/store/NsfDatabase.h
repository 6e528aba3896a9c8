// One database: one SQLite file in WAL mode whose every write is durable when
// it returns, shared safely by several processes. Notes live in three tables:
// notes (header and summary items: what a search reads), bodies (the other
// items, kept apart so that a scan never pages through message bodies) and
// stubs (deleted note IDs, which are never reused).
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
#include "server/store/Sqlite.h"

namespace vt::store {

// Marks our files ("VTR1"), so that another program's SQLite file is refused.
inline constexpr int32_t kApplicationId = 0x56545231;
// The layout of the files this version writes; older ones are brought up to
// it (NsfLayout.h says what each step added).
inline constexpr int32_t kSchemaVersion = 4;

// Note IDs are multiples of 4 below 0x80000000; IDs of the form 0xFFFF0000 |
// class name the first note of that class (kIconNoteId is one of them).
inline constexpr uint32_t kFirstNoteId = 4;
inline constexpr uint32_t kNoteIdStep = 4;
inline constexpr uint32_t kClassNoteIdPrefix = 0xFFFF0000;

// A note as it is stored, for copying it from one database to another
// without decoding its items.
struct StoredNote {
  NoteInfo info;
  std::vector<uint8_t> summary;
  std::vector<uint8_t> other;
};

// What a scan yields per note; the summary span is valid during the visit.
struct ScanEntry {
  uint32_t id = 0;
  uint16_t noteClass = 0;
  int64_t created = 0;
  int64_t modified = 0;
  Unid unid{};
  std::span<const uint8_t> summary;
  uint32_t sequence = 0;
  // When the note entered this file: its first write here, a new note or a
  // copy from elsewhere (which keeps its created stamp). Later writes of
  // the same note keep it.
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

  NsfDatabase(const NsfDatabase&) = delete;
  NsfDatabase& operator=(const NsfDatabase&) = delete;
  ~NsfDatabase();

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

  // Builds a new database under a temporary name and links it into place
  // only when complete, so that no half-made database is ever visible.
  // kFileExists when the file exists; missing folders are created. Every new
  // database has an empty information text, an icon note with "$TITLE" and
  // an identity of its own. The file and every folder made for it are
  // durable on success. Names change through names.
  static Status Create(const std::filesystem::path& file, uint16_t dbClass,
                       int64_t nowCentis, const Filler& fill, FileNames& names);

  const std::filesystem::path& file() const { return file_; }
  // 0 while the file opened is still the one at file(); kFileReplaced once
  // it was removed or another file was put in its place.
  Status CheckInPlace() const;
  // The device and inode of the file opened: no other file open at the
  // same time has the same pair. False while unknown.
  bool DeviceAndInode(dev_t* device, ino_t* inode) const;

  // ---- Notes (time stamps in Unix centiseconds) ---------------------------
  // The ID a class ID (0xFFFF0000 | class) stands for; others are checked.
  Status ResolveNoteId(uint32_t noteId, uint32_t* resolved);
  // kNoteDeleted for a deleted note, kInvalidNote for an ID never used.
  Status GetNoteInfo(uint32_t noteId, NoteInfo* info);
  Status ReadNote(uint32_t noteId, NoteRecord* note);
  // Writes the whole note; a new note (id 0) gets its ID. The modified stamp
  // becomes nowCentis, or one more than before if the clock has not moved.
  // An existing note must still be the version it was read as (its
  // sequence): one changed since fails with kUpdateConflict.
  Status WriteNote(NoteRecord* note, int64_t nowCentis);
  // Writes several notes in one durable transaction: all or none.
  Status WriteNotes(std::span<NoteRecord> notes, int64_t nowCentis);
  // Leaves a stub; committed on return, without waiting for the disk: the
  // next durable commit of this database (or a checkpoint) makes it
  // durable. A move deletes after its durable copy, and a deletion lost to
  // a power cut leaves the note in both places, which moving it again
  // finishes without a second copy; so each move waits for the disk once.
  // With a sequence, only that version of the note is deleted: another
  // fails with kUpdateConflict and stays.
  static constexpr uint32_t kAnyVersion = 0;
  Status DeleteNote(uint32_t noteId, int64_t nowCentis,
                    uint32_t sequence = kAnyVersion);
  // Deletes the notes of ids that are still here in one durable
  // transaction, all or none; *deleted counts them (IDs deleted meanwhile
  // or never used are passed over).
  // With sequences (one per ID), a note that is another version now is
  // passed over too.
  Status DeleteNotes(std::span<const uint32_t> ids, int64_t nowCentis,
                     uint32_t* deleted,
                     std::span<const uint32_t> sequences = {});

  Status ReadStoredNote(uint32_t noteId, StoredNote* note);
  // The note of that universal ID, or else its latest deletion stub (ID with
  // kDeletedNoteFlag, and the version it deleted); kNotFound for neither.
  Status FindByUnid(const Unid& unid, uint32_t* noteId, uint32_t* sequence);
  // Writes the note under its universal ID, replacing the note of that ID
  // here (which keeps its note ID) or adding one. Keeps class, created stamp,
  // items and the version (sequence) count; durable on return. Writes nothing
  // (noteId 0) when this version or a later one is here, or when a deletion
  // stub here
  // shows that this version, or a later one, was already here and was
  // deleted.
  Status PutStoredNote(const StoredNote& note, int64_t nowCentis,
                       uint32_t* noteId);

  // ---- Scans --------------------------------------------------------------
  // Notes of the classes in the mask in ascending ID order, summary only.
  // The visitor may read and write this database (a note added or removed
  // meanwhile may or may not be visited) and may start another scan.
  Status ForEachNote(uint16_t classMask, const ScanVisitor& visit);
  // A mark that differs whenever the content may have changed since it was
  // taken, through this connection or any other (another instance or
  // process): results computed from the content stay valid while it holds.
  struct ChangeMark {
    int64_t dataVersion = -1;
    int64_t localChanges = -1;
    friend bool operator==(const ChangeMark&, const ChangeMark&) = default;
  };
  Status GetChangeMark(ChangeMark* mark);
  // The change sequence: every note written and every deletion stub made
  // takes a number above all before it in the file, so what changed after a
  // moment is what numbers above the last number read then. Notes and stubs
  // written before the file had the sequence count as change 0.
  Status GetLastChange(int64_t* change);
  // The notes written after change `since` (every class, with their change
  // numbers), then the stubs made after it; read a batch at a time, like
  // ForEachNote, and with the same freedom for the visitors. A change made
  // meanwhile may or may not be visited.
  Status ForEachChangeSince(int64_t since, const ScanVisitor& written,
                            const StubVisitor& deleted);
  // The notes of ids that are still here, in the order given.
  Status ForEachNoteOf(std::span<const uint32_t> ids, const ScanVisitor& visit);
  // Deletion stubs made at or after the given time, in ascending ID order.
  Status ForEachStub(int64_t sinceCentis, const StubVisitor& visit);
  // Every stored note of the classes in the mask, items included; the
  // visitor must not write to this database.
  Status ForEachStoredNote(uint16_t classMask,
                           const std::function<Status(const StoredNote&)>& fn);

  // ---- Database -----------------------------------------------------------
  Status GetInfo(DbInfo* info);
  // Also keeps the icon note's "$TITLE" equal to the title field.
  Status SetInfo(const DbInfo& info, int64_t nowCentis);
  Status GetSpace(uint64_t* usedBytes, uint64_t* freeBytes);
  Status GetDbClass(uint16_t* dbClass);
  // The settings record and the ACL notes of this database replace those of
  // the other.
  Status CopySettingsTo(NsfDatabase& to, int64_t nowCentis);
  // ---- Backup and checks (NsfCopy.cpp) -------------------------------------
  // Pins what this connection reads to the database as it is now, until
  // Unpin: CopyTo then copies that moment, whatever is written meanwhile.
  Status Pin();
  void Unpin();
  // Writes a copy of the database to dest (which must not exist), durable on
  // return, with an identity of its own so that the copy put back in place
  // never adopts the log of the file it replaces. Names change through
  // names.
  Status CopyTo(const std::filesystem::path& dest, FileNames& names);
  // Rewrites the file without its free pages (SQLite's VACUUM) and empties
  // the write-ahead log. Writers elsewhere wait meanwhile, and give up as on
  // any busy database after the busy timeout.
  Status Compact();
  // SQLite's integrity check (quick: without the index cross-checks); the
  // first problem it names, empty when it found none.
  Status CheckIntegrity(bool quick, std::string* problem);

  // Adds the notes of the classes in the mask to a database being created,
  // keeping their note IDs, with this database's information text.
  Status CopyContentInto(NsfDatabase& fresh, uint16_t classMask,
                         int64_t nowCentis);

 private:
  explicit NsfDatabase(std::filesystem::path file);

  Status Configure();
  // A file opened read-only as it lies (OpenOptions::readOnly).
  static Status OpenAsItLies(const std::filesystem::path& file,
                             std::unique_ptr<NsfDatabase>* out,
                             const OpenOptions& options);
  // After Configure's first steps (or alone, for a file read as it lies):
  // the checks and the statements.
  Status FinishOpen(const OpenOptions& options);
  // Brings a file of an earlier layout up to kSchemaVersion, or refuses it
  // (kOlderFormat) when upgrade is not set; kNewerFormat for a later one.
  Status UpgradeLayout(bool upgrade);
  Status PrepareStatements();
  Status CheckStructure();
  void RememberFile(const struct stat& st);

  // Begins a write transaction on the file this database was opened from:
  // one removed or replaced since (the connection still writes into the old
  // file, which nobody will read again) is refused with kFileReplaced. Its
  // commit waits for the disk unless durable is false (a move's deletion);
  // the connection stays so until the next write that waits.
  Status BeginWrite(WriteTransaction& txn, bool durable = true);

  Status ReadNoteUnlocked(uint32_t id, NoteRecord* note);
  Status MissingNoteStatus(uint32_t id);
  Status AllocateNoteId(uint32_t* id);
  Status RaiseNextNoteId(uint32_t atLeast);
  Status InsertNote(const NoteInfo& info, int64_t addedCentis,
                    std::span<const uint8_t> summary,
                    std::span<const uint8_t> other);
  Status UpdateStoredNote(const NoteInfo& info,
                          std::span<const uint8_t> summary,
                          std::span<const uint8_t> other);
  Status WriteNoteInTransaction(NoteRecord* note, int64_t nowCentis);
  Status DeleteNoteInTransaction(uint32_t id, int64_t nowCentis,
                                 uint32_t sequence);
  Status PutStoredNoteInTransaction(const StoredNote& note, int64_t nowCentis,
                                    uint32_t* noteId);
  Status GetMetaBlob(const char* key, std::vector<uint8_t>* value);
  Status PutMetaBlob(const char* key, std::span<const uint8_t> value);
  Status PutMetaInt(const char* key, int64_t value);
  Status EnsureIconNote(int64_t nowCentis);
  Status SyncIconTitle(const DbInfo& info, int64_t nowCentis);

  std::filesystem::path file_;
  // The identity of the file when it was opened (unknown while creating).
  bool fileKnown_ = false;
  dev_t fileDevice_ = 0;
  ino_t fileInode_ = 0;
  SqliteConnection db_;
  // Statements are declared after the connection so they finalize first.
  Statement begin_, commit_, rollback_;
  Statement readNote_, noteInfo_, stubExists_, firstOfClass_, findByUnid_;
  Statement getMeta_, putMeta_, highestId_;
  Statement insertNote_, updateNote_, putBody_, deleteBody_, deleteNote_;
  Statement insertStub_, stubSequence_, lookUpUnid_;
  Statement scan_, lastChange_, changed_, noteOf_;
};

}  // namespace vt::store
