// A power cut for SQLite in tests, in the spirit of SQLite's crash tests and
// LevelDB's FaultInjectionTestEnv: a VFS over the unix one that counts the
// operations that change the disk, lets every one from the Nth on fail as if
// the machine had stopped, and afterwards rewrites the files on disk to what
// a disk could hold after losing power at that moment. Only then do tests see
// whether the store keeps what it acknowledged when the lights go out, which
// a plain crash of the process (the page cache survives it) never shows.
//
// What is modelled:
// - The operations counted, in order: xWrite, xSync, xTruncate of a main
//   database, rollback journal, super-journal or WAL file; creating such a
//   file (xOpen with SQLITE_OPEN_CREATE of a name that did not exist); xDelete
//   of any file; and the store's own name changes through fileNames() (see
//   store::FileNames): each link, rename, new folder and folder sync, and
//   each removal of a name that exists. NoteFolderSynced counts as a folder
//   sync. Temporary files are neither counted nor rewound, but fail too once
//   the power is cut.
// - After the cut every xOpen, xRead, xWrite, xSync, xTruncate, xFileSize,
//   xDelete and xAccess fails (SQLITE_IOERR and its extended codes), and
//   every call of fileNames() fails (EIO, or kDiskError for a folder sync)
//   with nothing done. Locks, shared memory and xClose still work, so that
//   connections close cleanly.
// - Per file, the writes and truncations since its last xSync, with the bytes
//   and size they replaced (an undo log). The loss undoes all of them, newest
//   first, back to the synced state; then, with a nonzero seed, the disk may
//   have written some anyway: each change, oldest first, is left lost, kept
//   whole, or (writes) kept torn - a prefix ending at a 512-byte boundary of
//   the file. Nothing outside a write's bytes is ever damaged (SQLite's
//   "powersafe overwrite"); kept changes land in the order they were made.
//   Names linked to one file share its changes and its fate.
// - Names. A name made (a file created, a link, the new name of a rename, a
//   folder made) or removed (xDelete, a removal, the old name of a rename)
//   survives only once its folder was synced: by xDelete's dirSync, by a
//   folder sync through fileNames() or NoteFolderSynced, or by the unix VFS
//   itself, which syncs the folder after the first successful xSync of a file
//   opened with SQLITE_OPEN_CREATE as a main journal, super-journal or WAL
//   (UNIXFILE_DIRSYNC in os_unix.c; a main database file gets no such sync,
//   and none at all where SQLite was built with SQLITE_DISABLE_DIRSYNC). A
//   folder sync makes every name in it durable, as fsync of a folder does. A
//   new name whose folder was not synced since vanishes (a new folder with
//   everything in it); a removed one comes back with its durable bytes (the
//   file is read into memory when its name goes). A name this model meets
//   for the first time already on disk counts as durable as found.
//
// Not modelled: the -shm file's bytes (SQLite opens it itself; it is left as
// the test left it, and SQLite rebuilds it from the WAL on the first open
// after a loss); any file change made neither through this VFS nor through
// fileNames() - in particular the store's owner records (<file>-walid,
// written and synced with plain system calls, their names never synced) and
// whatever a test writes itself; removal of folders; a restored name that
// shared its file with another name comes back as a file of its own;
// memory-mapped I/O (the files offer no xFetch); garbage in unsynced
// sectors; syncs of one file making another's data durable; partial writes
// of a failed real write (assumed to have changed nothing). Size hints
// (SQLITE_FCNTL_SIZE_HINT) are dropped, and the files claim no atomic,
// sequential or safe-append writes, whatever the real disk offers. The real
// disk is not synced unless asked for (realSyncs): the model alone says what
// survives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vt::store {
class FileNames;
}

namespace vt::testing {

struct PowerLossOptions {
  // The VFS's name for sqlite3_open_v2; unique among live instances.
  std::string name = "vt-powerloss";
  // Every connection of the process opened without a VFS name uses it.
  bool makeDefault = false;
  // Also sync the real files and folders; only costs time in tests.
  bool realSyncs = false;
};

// What happened to one file name through this VFS, since registration.
struct PowerLossFileStats {
  uint64_t writes = 0;
  uint64_t syncs = 0;
  uint64_t truncates = 0;
  uint64_t creations = 0;  // files and folders
  uint64_t deletions = 0;
  uint64_t links = 0;    // made to this name
  uint64_t renames = 0;  // away from this name
};

// What ApplyPowerLoss did to the files on disk.
struct PowerLossReport {
  std::string error;  // empty when every file was rewritten as intended
  int filesRewound = 0;
  int changesUndone = 0;
  int writesKept = 0;
  int writesTorn = 0;
  int truncatesKept = 0;
  int filesVanished = 0;
  int filesRestored = 0;
  int foldersVanished = 0;
};

class PowerLossVfs {
 public:
  // Registers the VFS; the destructor unregisters it. Every connection that
  // uses it must be closed before that.
  explicit PowerLossVfs(const PowerLossOptions& options = PowerLossOptions());
  PowerLossVfs(const PowerLossVfs&) = delete;
  PowerLossVfs& operator=(const PowerLossVfs&) = delete;
  ~PowerLossVfs();

  const std::string& name() const;

  // The operation numbered n (from 1, counted as above) and every I/O after
  // it fail; 0 never cuts. Operations() after a run without a cut is the
  // number of cut points that run has.
  void CutPowerAt(uint64_t n);
  uint64_t Operations() const;
  // The numbers of the operations so far that made, removed or renamed a
  // name or synced a folder: a short sweep cuts at and right after each.
  std::vector<uint64_t> NameOperations() const;
  bool PowerIsCut() const;

  // The project's own folder syncs (SyncFolder) report here: the names in
  // folder are durable as they are now. False, with nothing made durable,
  // when the power is already cut.
  bool NoteFolderSynced(const std::filesystem::path& folder);

  // The store's name changes, made for real and modelled as above: give it
  // to LocalNotesServicesOptions::fileNames. Lives as long as this.
  store::FileNames& fileNames();

  PowerLossFileStats Stats(const std::string& file) const;

  // Once every connection is closed: rewrites the files as the disk holds
  // them after the loss (seed 0: every unsynced change lost; otherwise a
  // seeded random choice per change, see above). Then the machine is
  // rebooted: everything on disk counts as durable, the count starts again
  // at 0 and no cut is pending.
  PowerLossReport ApplyPowerLoss(uint64_t seed);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vt::testing
