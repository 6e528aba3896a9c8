// The files SQLite keeps beside a database, which must never merge into a
// file that took the database's place, and the folders a database lives in,
// which must be as durable as the file. Every name they change, they change
// through the FileNames given.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "base/PosixFiles.h"
#include "base/UniqueFd.h"
#include "notes/Status.h"
#include "server/store/FileIdentity.h"
#include "server/store/FileNames.h"

namespace vt::store {

// SQLite replays any valid write-ahead log at <file>-wal, and trusts the
// shared memory at <file>-shm while another connection still holds it,
// whichever file they came from. The owner record <file>-walid names the
// identity of the file they belong to; openers decide about them under a
// lock on it, before SQLite looks at them.
class WalOwner {
 public:
  // Takes the lock on the record beside file, waiting at most ten seconds:
  // then kDatabaseBusy. The record is made when missing, readable by its
  // owner alone, so that no other user can hold its lock; one that is not a
  // plain file is refused (kDiskError). Released when this goes.
  Status Lock(const std::filesystem::path& file);
  // nullopt when there is no record or it cannot be read whole.
  std::optional<FileIdentity> Recorded() const;
  // Durable on return.
  Status Record(const FileIdentity& id);

 private:
  UniqueFd fd_;
};

// Whether a write-ahead log, shared memory or rollback journal is beside
// file.
bool HasLeftovers(const std::filesystem::path& file);

// Renames each of them to <name>.aside-<time>-<random> beside it, never over
// another file, and makes the renames durable. The new paths are appended
// to moved, also when a later one fails.
Status SetAsideLeftovers(const std::filesystem::path& file,
                         std::vector<std::filesystem::path>* moved,
                         FileNames& names);

// Looks at the 100-byte SQLite header before SQLite does: a file that is not
// SQLite, does not carry applicationId, or has lost pages it says it has, is
// refused (kCorruptDatabase). Lost pages are judged only on a view that held
// still while it was read: another process's checkpoint meanwhile is no
// damage. duringLook, for tests, runs in each look after the sizes are
// first read.
Status CheckFileHeader(const std::filesystem::path& file, int32_t applicationId,
                       const std::function<void()>& duringLook = nullptr);

// The layout version (SQLite's user_version) the main file of one of our
// databases records, read without SQLite; nullopt for a file that is not
// one of ours or cannot be read. A change still in the write-ahead log is
// not seen: a caller confirms by opening the database.
std::optional<int32_t> RecordedLayout(const std::filesystem::path& file,
                                      int32_t applicationId);

// Links the finished file temp under its name, failing (kFileExists) if the
// name is taken, so that two creators cannot overwrite each other.
Status LinkIntoPlace(const std::filesystem::path& temp,
                     const std::filesystem::path& file, FileNames& names);

// Removes a file and whatever journal SQLite kept beside it.
void RemoveFileAndJournal(const std::filesystem::path& file, FileNames& names);

// Removes a database that nobody writes to any more, with every file beside
// it, under the owner record's lock so that no opener decides about its
// leftovers meanwhile; durable on return. A connection still open elsewhere
// keeps reading the removed file.
Status RemoveDatabaseFiles(const std::filesystem::path& file, FileNames& names);

// Makes the missing folders of a path one level at a time, each durable in
// its parent before the next is made in it.
Status MakeFolders(const std::filesystem::path& folder, FileNames& names);

}  // namespace vt::store
