// The file store: one database is one SQLite file in WAL mode whose every
// write is durable when it returns, shared safely by several processes.
// Notes live in three tables: notes (header and summary items: what a
// search reads), bodies (the other items, kept apart so that a scan never
// pages through message bodies) and stubs (deleted note IDs, which are never
// reused). A deletion commits without waiting for the disk: the next durable
// commit of this database (or a checkpoint) makes it durable. A move deletes
// after its durable copy, and a deletion lost to a power cut leaves the note
// in both places, which moving it again finishes without a second copy; so
// each move waits for the disk once.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/store/NsfDatabase.h"
#include "server/store/Sqlite.h"

namespace vt::store {

class SqliteDatabase final : public NsfDatabase {
 public:
  ~SqliteDatabase() override;

  std::filesystem::path file() const override { return file_; }
  std::string Describe() const override { return file_.string(); }
  // Device and inode: no other file open at the same time has the pair.
  bool IdentityKey(uint64_t* key) const override;
  Status CheckInPlace() const override;

  Status GetNoteInfo(uint32_t noteId, NoteInfo* info) override;
  Status ReadNote(uint32_t noteId, NoteRecord* note) override;
  Status WriteNote(NoteRecord* note, int64_t nowCentis) override;
  Status WriteNotes(std::span<NoteRecord> notes, int64_t nowCentis) override;
  Status DeleteNote(uint32_t noteId, int64_t nowCentis,
                    uint32_t sequence = kAnyVersion) override;
  Status DeleteNotes(std::span<const uint32_t> ids, int64_t nowCentis,
                     uint32_t* deleted,
                     std::span<const uint32_t> sequences = {}) override;
  Status ReadStoredNote(uint32_t noteId, StoredNote* note) override;
  Status FindByUnid(const Unid& unid, uint32_t* noteId,
                    uint32_t* sequence) override;
  Status PutStoredNote(const StoredNote& note, int64_t nowCentis,
                       uint32_t* noteId) override;

  Status ForEachNote(uint16_t classMask, const ScanVisitor& visit) override;
  // data_version moves with other connections' commits; this connection's
  // own changes are counted apart.
  Status GetChangeMark(ChangeMark* mark) override;
  Status GetLastChange(int64_t* change) override;
  Status ForEachChangeSince(int64_t since, const ScanVisitor& written,
                            const StubVisitor& deleted) override;
  Status ForEachNoteOf(std::span<const uint32_t> ids,
                       const ScanVisitor& visit) override;
  Status ForEachStub(int64_t sinceCentis, const StubVisitor& visit) override;
  Status ForEachStoredNote(
      uint16_t classMask,
      const std::function<Status(const StoredNote&)>& fn) override;

  Status GetInfo(DbInfo* info) override;
  Status SetInfo(const DbInfo& info, int64_t nowCentis) override;
  // Pages in use and free pages.
  Status GetSpace(uint64_t* usedBytes, uint64_t* freeBytes) override;
  Status GetDbClass(uint16_t* dbClass) override;
  Status GetSettings(std::vector<uint8_t>* settings) override;

  Status Pin() override;
  void Unpin() override;
  Status CopyTo(const std::filesystem::path& dest, FileNames& names) override;
  Status Compact() override;
  // SQLite's integrity check (quick: without the index cross-checks).
  Status CheckIntegrity(bool quick, std::string* problem) override;

 protected:
  Status AdoptSettings(std::span<const uint8_t> settings,
                       std::span<const StoredNote> acl,
                       int64_t nowCentis) override;
  Status AdoptContent(const DbInfo& info, std::span<const uint8_t> settings,
                      std::span<const StoredNote> notes,
                      int64_t nowCentis) override;

 private:
  friend class NsfDatabase;  // Open and Create make the file store's
  explicit SqliteDatabase(std::filesystem::path file);

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
  Status FirstOfClass(uint16_t noteClass, uint32_t* id) override;
  Status MissingNoteStatus(uint32_t id) override;
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
