// The PostgreSQL store: one database of a server whose databases live in a
// PostgreSQL database (see PgServer). The same contract as the file store.
// Every write is one transaction that first locks the database's row: so
// writers of one database take turns, as in a SQLite file, a lock waited
// on too long ends with kDatabaseBusy, and the row's change number, raised
// by each write as it ends, is the change sequence and the change mark. A
// commit returns once PostgreSQL has it durable (synchronous_commit);
// deletions too, as a connection may be lost between two statements.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/store/NsfDatabase.h"
#include "server/store/PgServer.h"

namespace vt::store {

class PgResult;

class PgDatabase final : public NsfDatabase {
 public:
  PgDatabase(std::shared_ptr<PgServer> server, std::string name, int64_t id,
             const Unid& identity);

  std::string Describe() const override;
  // From the identity made with the database, with the top bit set.
  bool IdentityKey(uint64_t* key) const override;
  // kFileReplaced once the name holds another database, or none.
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
  // The bytes its notes and stubs take; nothing is counted free.
  Status GetSpace(uint64_t* usedBytes, uint64_t* freeBytes) override;
  Status GetDbClass(uint16_t* dbClass) override;
  Status GetSettings(std::vector<uint8_t>* settings) override;
  // PostgreSQL keeps its pages sound; this checks what the store keeps
  // beside them: no note ID at or past the next one handed out, none both
  // a note and a stub, no change past the database's change number, and
  // the space as its notes and stubs add up. In full, every note's items
  // are decoded too.
  Status CheckIntegrity(bool quick, std::string* problem) override;

  // ---- A move within one PostgreSQL database: one transaction ---------------
  // PutStoredNote, with the transaction held open on the connection
  // (PgConnection::HoldTransaction) for the deletion that completes the
  // move; ticket names it.
  Status PutStoredNoteHeld(const StoredNote& note, int64_t nowCentis,
                           uint32_t* noteId, uint64_t* ticket);
  // DeleteNote inside the transaction of ticket, which it commits: copy and
  // deletion together. A deletion that fails (the note changed meanwhile)
  // leaves the copy to commit alone, as a move between stores would, and
  // says why. kServerNotResponding when the held copy was lost: then
  // nothing is deleted.
  Status DeleteCompletingMove(uint64_t ticket, uint32_t noteId,
                              int64_t nowCentis, uint32_t sequence);
  PgServer* server() const { return server_.get(); }

  // For PgServer::Create: the writes join the transaction that makes the
  // database, which PgServer commits.
  void JoinCreation(bool joined) { creating_ = joined; }
  using NsfDatabase::EnsureIconNote;

 protected:
  Status AdoptSettings(std::span<const uint8_t> settings,
                       std::span<const StoredNote> acl,
                       int64_t nowCentis) override;
  Status AdoptContent(const DbInfo& info, std::span<const uint8_t> settings,
                      std::span<const StoredNote> notes,
                      int64_t nowCentis) override;

 private:
  // One write: the database's row locked, its change number raised.
  struct Write {
    int64_t change = 0;
    int64_t nextId = 0;
    int64_t startNextId = 0;
    int64_t usedDelta = 0;
    bool finished = false;  // the row holds this write's change number
    bool begun = false;     // this write commits: it began the transaction
  };
  // joinOpen: the transaction is open already, and this write ends it.
  Status BeginWrite(Write* write, bool joinOpen = false);
  // Stores the change number, the next note ID and the space, without
  // committing.
  Status FinishWrite(Write* write);
  // Stores the next note ID and the space, and commits.
  Status CommitWrite(Write* write);
  void AbandonWrite(Write* write);
  // Runs body inside one write, all or nothing.
  Status InWrite(const std::function<Status(Write&)>& body);

  Status Query(const char* sql, const PgParams& params, PgResult* result);
  // One column of the database's row; kFileReplaced when the row is gone.
  Status ReadRecord(const char* column, PgResult* row);
  Status FirstOfClass(uint16_t noteClass, uint32_t* id) override;
  Status MissingNoteStatus(uint32_t id) override;
  Status AllocateNoteId(Write& write, uint32_t* id);
  Status InsertNote(Write& write, const NoteInfo& info, int64_t addedCentis,
                    std::span<const uint8_t> summary,
                    std::span<const uint8_t> other);
  Status UpdateNoteRow(Write& write, const NoteInfo& info,
                       std::span<const uint8_t> summary,
                       std::span<const uint8_t> other, int64_t oldBytes);
  Status WriteNoteInWrite(Write& write, NoteRecord* note, int64_t nowCentis);
  Status DeleteNoteInWrite(Write& write, uint32_t id, int64_t nowCentis,
                           uint32_t sequence);
  Status PutStoredNoteInWrite(Write& write, const StoredNote& note,
                              int64_t nowCentis, uint32_t* noteId);
  Status SyncIconTitle(Write& write, const DbInfo& info, int64_t nowCentis);
  // Reads rows of (id, class, created, modified, summary, unid, sequence,
  // added[, changed]) and visits them with no statement open.
  Status VisitNotes(const PgResult& rows, const ScanVisitor& visit,
                    bool withChange);

  std::shared_ptr<PgServer> server_;
  PgConnection& connection_;
  std::string name_;
  int64_t id_;
  Unid identity_;
  bool creating_ = false;
};

}  // namespace vt::store
