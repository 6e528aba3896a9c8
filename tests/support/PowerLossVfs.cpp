// The power-cut VFS (see PowerLossVfs.h): a thin wrapper over SQLite's unix
// VFS that keeps, per file, what a power loss could still take away.
#include "support/PowerLossVfs.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

#include "server/store/FileNames.h"

namespace vt::testing {

namespace fs = std::filesystem;

namespace {

// Disks write whole sectors; a torn write keeps a prefix of them.
constexpr int64_t kSector = 512;

// The bits of xOpen's flags that say what a file is for, as unixOpen reads
// them (eType); others, such as SQLITE_OPEN_NOFOLLOW, may come with them.
constexpr int kFileTypeMask = 0x0FFF00;

// One unsynced change of a file, with what it replaced, so that it can be
// undone exactly and, if the disk wrote it after all, done again.
struct Change {
  enum class Kind { kWrite, kResize };
  Kind kind = Kind::kWrite;
  sqlite3_int64 offset = 0;      // kWrite: where it went
  sqlite3_int64 sizeBefore = 0;  // the file's size before
  sqlite3_int64 sizeAfter = 0;   // kResize: the size after
  std::string before;            // the bytes it overwrote or cut off
  std::string after;             // kWrite: the bytes written
};

// A file's contents (an inode): the changes the disk may still lose.
struct Inode {
  std::vector<Change> unsynced;
  // Set while its name is deleted but the deletion not durable: its bytes,
  // so that the loss can bring it back.
  std::optional<std::string> removedBytes;
};

// A name in a folder: the file it opens now, and the one a power loss
// leaves it naming (as of its folder's last sync). Null: no file. Hard
// links share one Inode. A folder made through the store's FileNames is a
// name too, with an Inode of its own that holds nothing.
struct Name {
  std::shared_ptr<Inode> now;
  std::shared_ptr<Inode> durable;
  bool folder = false;
};

void Put(std::string& bytes, int64_t offset, std::string_view data) {
  const size_t end = static_cast<size_t>(offset) + data.size();
  if (bytes.size() < end) bytes.resize(end);  // a hole reads as zeros
  std::copy(data.begin(), data.end(), bytes.begin() + offset);
}

void Undo(const Change& c, std::string& bytes) {
  if (c.kind == Change::Kind::kWrite) {
    Put(bytes, c.offset, c.before);
    bytes.resize(static_cast<size_t>(c.sizeBefore));
  } else {
    bytes.resize(static_cast<size_t>(c.sizeBefore));
    if (c.sizeAfter < c.sizeBefore) Put(bytes, c.sizeAfter, c.before);
  }
}

bool ReadAll(const std::string& file, std::string* bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

// In place, with no truncation to zero on the way: ext4 flushes a file
// truncated to zero when it is closed, which would make every reboot wait.
bool WriteAll(const std::string& file, const std::string& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == bytes.size() &&
                  ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
  return ::close(fd) == 0 && ok;
}

bool Exists(const char* file) {
  struct stat st {};
  return ::lstat(file, &st) == 0;
}

// SQLite names files by their real path; the store's names and folders must
// be written the same way to meet them.
fs::path RealFolder(const fs::path& folder) {
  std::error_code ignored;
  fs::path real = fs::weakly_canonical(folder, ignored);
  if (real.empty()) real = folder;
  real = real.lexically_normal();
  if (!real.has_filename()) real = real.parent_path();  // "dir/"
  return real;
}

std::string RealName(const fs::path& file) {
  std::error_code ignored;
  const fs::path absolute = fs::absolute(file, ignored).lexically_normal();
  return (RealFolder(absolute.parent_path()) / absolute.filename()).string();
}

bool IsUnder(const std::string& file, const std::string& folder) {
  return file.size() > folder.size() &&
         file.compare(0, folder.size(), folder) == 0 &&
         file[folder.size()] == '/';
}

// The files whose loss matters; temporary ones die with the process anyway.
bool IsDurableKind(int flags) {
  const int type = flags & kFileTypeMask;
  return (flags & SQLITE_OPEN_DELETEONCLOSE) == 0 &&
         (type == SQLITE_OPEN_MAIN_DB || type == SQLITE_OPEN_MAIN_JOURNAL ||
          type == SQLITE_OPEN_SUPER_JOURNAL || type == SQLITE_OPEN_WAL);
}

}  // namespace

class PowerLossVfs::Impl {
 public:
  explicit Impl(const PowerLossOptions& options);
  ~Impl();

  const std::string& name() const { return options_.name; }
  void CutPowerAt(uint64_t n);
  uint64_t Operations() const;
  std::vector<uint64_t> NameOperations() const;
  bool PowerIsCut() const;
  bool NoteFolderSynced(const fs::path& folder);
  PowerLossFileStats Stats(const std::string& file) const;
  PowerLossReport ApplyPowerLoss(uint64_t seed);
  store::FileNames& fileNames() { return storeNames_; }

 private:
  // The store's name changes: done for real, then modelled like SQLite's.
  class Names final : public store::FileNames {
   public:
    explicit Names(Impl& owner) : owner_(owner) {}
    int Link(const fs::path& from, const fs::path& to) override {
      return owner_.LinkName(from, to, /*keepFrom=*/true);
    }
    int RenameNoReplace(const fs::path& from, const fs::path& to) override {
      return owner_.LinkName(from, to, /*keepFrom=*/false);
    }
    int Remove(const fs::path& file) override {
      return owner_.RemoveName(file);
    }
    int MakeFolder(const fs::path& folder) override {
      return owner_.MakeFolder(folder);
    }
    Status SyncFolder(const fs::path& folder) override {
      return owner_.NoteFolderSynced(folder) ? Status()
                                             : Status(err::kDiskError);
    }

   private:
    Impl& owner_;
  };

  int LinkName(const fs::path& from, const fs::path& to, bool keepFrom);
  int RemoveName(const fs::path& file);
  int MakeFolder(const fs::path& folder);
  // The name as the model has it, entered as durable as found when the
  // model meets it for the first time on disk. mutex_ held.
  Name& Known(const std::string& file);
  // Until its folder is synced a removed name comes back: keeps the bytes
  // it would come back with; false when it needs none. mutex_ held.
  bool KeepForReturn(const std::string& file, Name& n);
  // SQLite's memory for a file: this, then the unix VFS's own file.
  struct File {
    sqlite3_file base;  // first: what SQLite sees
    Impl* owner = nullptr;
    std::string path;  // empty: not tracked
    std::shared_ptr<Inode> inode;
    bool syncsFolder = false;  // as os_unix.c's UNIXFILE_DIRSYNC
  };
  static constexpr size_t kRealOffset = (sizeof(File) + 15) & ~size_t{15};
  static sqlite3_file* RealOf(File* f) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) +
                                           kRealOffset);
  }

  static Impl* Of(sqlite3_vfs* vfs) {
    return static_cast<Impl*>(vfs->pAppData);
  }
  static File* Of(sqlite3_file* file) { return reinterpret_cast<File*>(file); }

  // Counts one operation that changes the disk; false when the power is
  // already off for it. Called with mutex_ held.
  bool Admit();
  // The names in folder are durable as they are now. mutex_ held.
  void FolderSynced(const fs::path& folder);
  // Reverses inode's unsynced changes in bytes, then lets the disk keep
  // some of them as the seed says.
  static void Rewind(const Inode& inode, uint64_t seed, std::mt19937_64& rng,
                     std::string& bytes, PowerLossReport& report);

  // The VFS.
  static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file,
                  int flags, int* outFlags);
  static int Delete(sqlite3_vfs* vfs, const char* name, int syncDir);
  static int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out);
  static int FullPathname(sqlite3_vfs* vfs, const char* name, int size,
                          char* out);
  static void* DlOpen(sqlite3_vfs* vfs, const char* name);
  static void DlError(sqlite3_vfs* vfs, int size, char* out);
  static void (*DlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))();
  static void DlClose(sqlite3_vfs* vfs, void* handle);
  static int Randomness(sqlite3_vfs* vfs, int size, char* out);
  static int Sleep(sqlite3_vfs* vfs, int micros);
  static int CurrentTime(sqlite3_vfs* vfs, double* now);
  static int GetLastError(sqlite3_vfs* vfs, int size, char* out);
  static int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now);

  // Its files.
  static int Close(sqlite3_file* file);
  static int Read(sqlite3_file* file, void* out, int size, sqlite3_int64 at);
  static int Write(sqlite3_file* file, const void* data, int size,
                   sqlite3_int64 at);
  static int Truncate(sqlite3_file* file, sqlite3_int64 size);
  static int Sync(sqlite3_file* file, int flags);
  static int FileSize(sqlite3_file* file, sqlite3_int64* size);
  static int Lock(sqlite3_file* file, int level);
  static int Unlock(sqlite3_file* file, int level);
  static int CheckReservedLock(sqlite3_file* file, int* out);
  static int FileControl(sqlite3_file* file, int op, void* arg);
  static int SectorSize(sqlite3_file* file);
  static int DeviceCharacteristics(sqlite3_file* file);
  static int ShmMap(sqlite3_file* file, int page, int pageSize, int extend,
                    void volatile** out);
  static int ShmLock(sqlite3_file* file, int offset, int n, int flags);
  static void ShmBarrier(sqlite3_file* file);
  static int ShmUnmap(sqlite3_file* file, int deleteFlag);

  const PowerLossOptions options_;
  sqlite3_vfs* real_ = nullptr;
  bool registered_ = false;
  // The unix VFS syncs the folder of a new journal or WAL at its first
  // sync, unless built without it.
  bool unixSyncsFolders_ = true;
  sqlite3_vfs vfs_{};
  sqlite3_io_methods methods_{};

  mutable std::mutex mutex_;
  std::map<std::string, Name> names_;
  std::map<std::string, PowerLossFileStats> stats_;
  Names storeNames_{*this};
  store::PosixFileNames posix_;
  uint64_t operations_ = 0;
  std::vector<uint64_t> nameOperations_;
  uint64_t cutAt_ = 0;
  bool cut_ = false;
  int openFiles_ = 0;
};

PowerLossVfs::Impl::Impl(const PowerLossOptions& options) : options_(options) {
  // The unix VFS by name: the folder syncs modelled here are its own.
  real_ = sqlite3_vfs_find("unix");
  if (real_ == nullptr) real_ = sqlite3_vfs_find(nullptr);
  if (real_ == nullptr) return;
  unixSyncsFolders_ = sqlite3_compileoption_used("DISABLE_DIRSYNC") == 0;

  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(kRealOffset) + real_->szOsFile;
  vfs_.mxPathname = real_->mxPathname;
  vfs_.zName = options_.name.c_str();
  vfs_.pAppData = this;
  vfs_.xOpen = Open;
  vfs_.xDelete = Delete;
  vfs_.xAccess = Access;
  vfs_.xFullPathname = FullPathname;
  vfs_.xDlOpen = DlOpen;
  vfs_.xDlError = DlError;
  vfs_.xDlSym = DlSym;
  vfs_.xDlClose = DlClose;
  vfs_.xRandomness = Randomness;
  vfs_.xSleep = Sleep;
  vfs_.xCurrentTime = CurrentTime;
  vfs_.xGetLastError = GetLastError;
  vfs_.xCurrentTimeInt64 = CurrentTimeInt64;

  // Version 2: shared memory for WAL, but no xFetch, so that every read goes
  // through xRead and no page is read behind the model's back.
  methods_.iVersion = 2;
  methods_.xClose = Close;
  methods_.xRead = Read;
  methods_.xWrite = Write;
  methods_.xTruncate = Truncate;
  methods_.xSync = Sync;
  methods_.xFileSize = FileSize;
  methods_.xLock = Lock;
  methods_.xUnlock = Unlock;
  methods_.xCheckReservedLock = CheckReservedLock;
  methods_.xFileControl = FileControl;
  methods_.xSectorSize = SectorSize;
  methods_.xDeviceCharacteristics = DeviceCharacteristics;
  methods_.xShmMap = ShmMap;
  methods_.xShmLock = ShmLock;
  methods_.xShmBarrier = ShmBarrier;
  methods_.xShmUnmap = ShmUnmap;

  registered_ =
      sqlite3_vfs_register(&vfs_, options_.makeDefault ? 1 : 0) == SQLITE_OK;
}

PowerLossVfs::Impl::~Impl() {
  if (!registered_) return;
  if (openFiles_ != 0) {
    // SQLite would call into freed memory later; stop here instead.
    std::fprintf(stderr, "PowerLossVfs %s destroyed with %d files open\n",
                 options_.name.c_str(), openFiles_);
    std::abort();
  }
  sqlite3_vfs_unregister(&vfs_);
}

void PowerLossVfs::Impl::CutPowerAt(uint64_t n) {
  std::lock_guard lock(mutex_);
  cutAt_ = n;
  if (n != 0 && n <= operations_) cut_ = true;
}

uint64_t PowerLossVfs::Impl::Operations() const {
  std::lock_guard lock(mutex_);
  return operations_;
}

std::vector<uint64_t> PowerLossVfs::Impl::NameOperations() const {
  std::lock_guard lock(mutex_);
  return nameOperations_;
}

bool PowerLossVfs::Impl::PowerIsCut() const {
  std::lock_guard lock(mutex_);
  return cut_;
}

PowerLossFileStats PowerLossVfs::Impl::Stats(const std::string& file) const {
  std::lock_guard lock(mutex_);
  const auto it = stats_.find(file);
  return it == stats_.end() ? PowerLossFileStats() : it->second;
}

bool PowerLossVfs::Impl::Admit() {
  if (cut_) return false;
  if (cutAt_ != 0 && operations_ + 1 >= cutAt_) {
    cut_ = true;
    return false;
  }
  ++operations_;
  return true;
}

bool PowerLossVfs::Impl::NoteFolderSynced(const fs::path& folder) {
  const fs::path real = RealFolder(folder);
  std::lock_guard lock(mutex_);
  if (!Admit()) return false;
  nameOperations_.push_back(operations_);
  if (options_.realSyncs && !posix_.SyncFolder(real).ok()) return false;
  FolderSynced(real);
  return true;
}

Name& PowerLossVfs::Impl::Known(const std::string& file) {
  const auto [it, firstSeen] = names_.try_emplace(file);
  if (firstSeen && Exists(file.c_str())) {
    it->second.now = std::make_shared<Inode>();
    it->second.durable = it->second.now;
    it->second.folder = fs::is_directory(file);
  }
  return it->second;
}

bool PowerLossVfs::Impl::KeepForReturn(const std::string& file, Name& n) {
  if (n.now == nullptr || n.durable != n.now || n.folder) return false;
  std::string bytes;
  if (!ReadAll(file, &bytes)) return false;
  n.now->removedBytes = std::move(bytes);
  return true;
}

int PowerLossVfs::Impl::LinkName(const fs::path& from, const fs::path& to,
                                 bool keepFrom) {
  const std::string source = RealName(from);
  const std::string target = RealName(to);
  std::lock_guard lock(mutex_);
  if (!Admit()) return EIO;
  nameOperations_.push_back(operations_);
  Name& src = Known(source);
  const bool kept = !keepFrom && KeepForReturn(source, src);
  const int error =
      keepFrom ? posix_.Link(from, to) : posix_.RenameNoReplace(from, to);
  if (error != 0) {
    if (kept) src.now->removedBytes.reset();
    return error;
  }
  // A file the model never saw made (by hand, outside SQLite) is as found.
  if (src.now == nullptr) src.now = std::make_shared<Inode>();
  Name& dst = names_[target];
  dst.now = src.now;
  dst.folder = src.folder;
  if (keepFrom) {
    ++stats_[target].links;
  } else {
    src.now = nullptr;
    ++stats_[source].renames;
  }
  return 0;
}

int PowerLossVfs::Impl::RemoveName(const fs::path& file) {
  const std::string name = RealName(file);
  std::lock_guard lock(mutex_);
  if (cut_) return EIO;
  // Removing nothing changes nothing: no point to cut at.
  if (!Exists(name.c_str())) return ENOENT;
  if (!Admit()) return EIO;
  nameOperations_.push_back(operations_);
  Name& n = Known(name);
  const bool kept = KeepForReturn(name, n);
  const int error = posix_.Remove(file);
  if (error != 0) {
    if (kept) n.now->removedBytes.reset();
    return error;
  }
  n.now = nullptr;
  ++stats_[name].deletions;
  return 0;
}

int PowerLossVfs::Impl::MakeFolder(const fs::path& folder) {
  const std::string name = RealName(folder);
  std::lock_guard lock(mutex_);
  if (!Admit()) return EIO;
  nameOperations_.push_back(operations_);
  const int error = posix_.MakeFolder(folder);
  if (error != 0) return error;
  Name& n = names_[name];
  n.now = std::make_shared<Inode>();
  n.folder = true;
  ++stats_[name].creations;
  return 0;
}

void PowerLossVfs::Impl::FolderSynced(const fs::path& folder) {
  for (auto& [file, name] : names_) {
    if (fs::path(file).parent_path() == folder) name.durable = name.now;
  }
}

void PowerLossVfs::Impl::Rewind(const Inode& inode, uint64_t seed,
                                std::mt19937_64& rng, std::string& bytes,
                                PowerLossReport& report) {
  for (auto it = inode.unsynced.rbegin(); it != inode.unsynced.rend(); ++it) {
    Undo(*it, bytes);
  }
  report.changesUndone += static_cast<int>(inode.unsynced.size());
  if (seed == 0) return;
  // The disk wrote some of them before the power went: each one lost, kept
  // whole or (writes spanning a sector boundary) torn, in the order made.
  for (const Change& c : inode.unsynced) {
    const int fate = static_cast<int>(rng() % 3);  // 0 lost, 1 kept, 2 torn
    if (c.kind == Change::Kind::kResize) {
      if (fate == 0) continue;
      bytes.resize(static_cast<size_t>(c.sizeAfter));
      ++report.truncatesKept;
      --report.changesUndone;
      continue;
    }
    if (fate == 0 || c.after.empty()) continue;
    const int64_t end = c.offset + static_cast<int64_t>(c.after.size());
    const int64_t boundaries = (end - 1) / kSector - c.offset / kSector;
    int64_t kept = end;
    // A write within one sector cannot tear: it is kept whole.
    if (fate == 2 && boundaries > 0) {
      const int64_t k = 1 + static_cast<int64_t>(rng() % boundaries);
      kept = (c.offset / kSector + k) * kSector;
      ++report.writesTorn;
    } else {
      ++report.writesKept;
    }
    --report.changesUndone;
    Put(bytes, c.offset,
        std::string_view(c.after).substr(0,
                                         static_cast<size_t>(kept - c.offset)));
  }
}

PowerLossReport PowerLossVfs::Impl::ApplyPowerLoss(uint64_t seed) {
  std::lock_guard lock(mutex_);
  PowerLossReport report;
  if (openFiles_ != 0) {
    report.error = std::to_string(openFiles_) + " files still open";
    return report;
  }
  std::mt19937_64 rng(seed);
  // What each file holds after the loss, drawn once: names linked to one
  // file hold the same bytes.
  std::map<const Inode*, std::string> settled;
  const auto afterLoss = [&](const Inode& inode,
                             std::string bytes) -> const std::string& {
    const auto [it, fresh] = settled.try_emplace(&inode);
    if (fresh) {
      Rewind(inode, seed, rng, bytes, report);
      it->second = std::move(bytes);
    }
    return it->second;
  };
  // A folder made since its parent's last sync is gone, with all inside.
  std::vector<std::string> lostFolders;
  for (const auto& [file, name] : names_) {
    if (name.folder && name.now != nullptr && name.durable == nullptr) {
      lostFolders.push_back(file);
    }
  }
  const auto lost = [&lostFolders](const std::string& file) {
    return std::any_of(
        lostFolders.begin(), lostFolders.end(),
        [&file](const std::string& folder) { return IsUnder(file, folder); });
  };
  for (auto& [file, name] : names_) {
    if (name.folder || lost(file)) continue;
    std::string bytes;
    if (name.durable == name.now) {
      if (name.now == nullptr || name.now->unsynced.empty()) continue;
      if (settled.count(name.now.get()) == 0 && !ReadAll(file, &bytes)) {
        report.error += "cannot read " + file + "; ";
        continue;
      }
      if (!WriteAll(file, afterLoss(*name.now, std::move(bytes)))) {
        report.error += "cannot write " + file + "; ";
      }
      ++report.filesRewound;
      continue;
    }
    // The folder never learned of the change of name: the file there now
    // was never made durable, and the one before it is still there.
    if (name.now != nullptr) {
      std::error_code error;
      fs::remove(file, error);
      if (error) report.error += "cannot remove " + file + "; ";
      ++report.filesVanished;
    }
    if (name.durable != nullptr) {
      if (!name.durable->removedBytes) {
        report.error += "no bytes kept of deleted " + file + "; ";
        continue;
      }
      if (!WriteAll(file,
                    afterLoss(*name.durable, *name.durable->removedBytes))) {
        report.error += "cannot write " + file + "; ";
      }
      ++report.filesRestored;
    }
  }
  for (const std::string& folder : lostFolders) {
    if (lost(folder)) continue;  // inside another lost one
    std::error_code error;
    fs::remove_all(folder, error);
    if (error) report.error += "cannot remove " + folder + "; ";
    ++report.foldersVanished;
  }
  // The reboot: what is on disk now is all there is.
  names_.clear();
  operations_ = 0;
  nameOperations_.clear();
  cutAt_ = 0;
  cut_ = false;
  return report;
}

// ---- The VFS ----

int PowerLossVfs::Impl::Open(sqlite3_vfs* vfs, const char* name,
                             sqlite3_file* file, int flags, int* outFlags) {
  Impl* self = Of(vfs);
  File* f = new (file) File();
  f->owner = self;
  const bool tracked = name != nullptr && IsDurableKind(flags);
  std::lock_guard lock(self->mutex_);
  bool creates = false;
  if (tracked && (flags & SQLITE_OPEN_CREATE) != 0) creates = !Exists(name);
  if (self->cut_ || (creates && !self->Admit())) {
    f->~File();
    file->pMethods = nullptr;
    return SQLITE_IOERR;
  }
  sqlite3_file* real = RealOf(f);
  const int rc = self->real_->xOpen(self->real_, name, real, flags, outFlags);
  if (rc != SQLITE_OK) {
    if (real->pMethods != nullptr) real->pMethods->xClose(real);
    f->~File();
    file->pMethods = nullptr;
    return rc;
  }
  if (tracked) {
    f->path = name;
    const auto [it, firstSeen] = self->names_.try_emplace(f->path);
    Name& n = it->second;
    if (creates) {
      n.now = std::make_shared<Inode>();
      ++self->stats_[f->path].creations;
    } else if (n.now == nullptr) {
      // A file this VFS did not make: durable as found, unless its name
      // was deleted here before and made again by someone else.
      n.now = std::make_shared<Inode>();
      if (firstSeen) n.durable = n.now;
    }
    f->inode = n.now;
    // unixOpen: isNewJrnl = isCreate && (super-journal, main journal, WAL).
    const int type = flags & kFileTypeMask;
    f->syncsFolder =
        self->unixSyncsFolders_ && (flags & SQLITE_OPEN_CREATE) != 0 &&
        (type == SQLITE_OPEN_MAIN_JOURNAL ||
         type == SQLITE_OPEN_SUPER_JOURNAL || type == SQLITE_OPEN_WAL);
  }
  ++self->openFiles_;
  file->pMethods = &self->methods_;
  return SQLITE_OK;
}

int PowerLossVfs::Impl::Delete(sqlite3_vfs* vfs, const char* name,
                               int syncDir) {
  Impl* self = Of(vfs);
  std::lock_guard lock(self->mutex_);
  if (!self->Admit()) return SQLITE_IOERR_DELETE;
  const std::string file = name;
  const auto [it, firstSeen] = self->names_.try_emplace(file);
  Name& n = it->second;
  if (firstSeen && Exists(name)) {
    n.now = std::make_shared<Inode>();
    n.durable = n.now;
  }
  // Until the folder is synced the name comes back after a loss; keep what
  // it would come back with.
  const bool keep = syncDir == 0 && n.now != nullptr && n.durable == n.now;
  if (keep) {
    std::string bytes;
    if (ReadAll(file, &bytes)) n.now->removedBytes = std::move(bytes);
  }
  const int rc = self->real_->xDelete(self->real_, name,
                                      self->options_.realSyncs ? syncDir : 0);
  if (rc != SQLITE_OK) {
    if (keep) n.now->removedBytes.reset();
    return rc;
  }
  n.now = nullptr;
  ++self->stats_[file].deletions;
  if (syncDir != 0) self->FolderSynced(fs::path(file).parent_path());
  return SQLITE_OK;
}

int PowerLossVfs::Impl::Access(sqlite3_vfs* vfs, const char* name, int flags,
                               int* out) {
  Impl* self = Of(vfs);
  {
    std::lock_guard lock(self->mutex_);
    if (self->cut_) return SQLITE_IOERR_ACCESS;
  }
  return self->real_->xAccess(self->real_, name, flags, out);
}

int PowerLossVfs::Impl::FullPathname(sqlite3_vfs* vfs, const char* name,
                                     int size, char* out) {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xFullPathname(real, name, size, out);
}

void* PowerLossVfs::Impl::DlOpen(sqlite3_vfs* vfs, const char* name) {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xDlOpen(real, name);
}

void PowerLossVfs::Impl::DlError(sqlite3_vfs* vfs, int size, char* out) {
  sqlite3_vfs* real = Of(vfs)->real_;
  real->xDlError(real, size, out);
}

void (*PowerLossVfs::Impl::DlSym(sqlite3_vfs* vfs, void* handle,
                                 const char* symbol))() {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xDlSym(real, handle, symbol);
}

void PowerLossVfs::Impl::DlClose(sqlite3_vfs* vfs, void* handle) {
  sqlite3_vfs* real = Of(vfs)->real_;
  real->xDlClose(real, handle);
}

int PowerLossVfs::Impl::Randomness(sqlite3_vfs* vfs, int size, char* out) {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xRandomness(real, size, out);
}

int PowerLossVfs::Impl::Sleep(sqlite3_vfs* vfs, int micros) {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xSleep(real, micros);
}

int PowerLossVfs::Impl::CurrentTime(sqlite3_vfs* vfs, double* now) {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xCurrentTime(real, now);
}

int PowerLossVfs::Impl::GetLastError(sqlite3_vfs* vfs, int size, char* out) {
  sqlite3_vfs* real = Of(vfs)->real_;
  return real->xGetLastError(real, size, out);
}

int PowerLossVfs::Impl::CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* now) {
  sqlite3_vfs* real = Of(vfs)->real_;
  if (real->iVersion >= 2 && real->xCurrentTimeInt64 != nullptr) {
    return real->xCurrentTimeInt64(real, now);
  }
  double days = 0;
  const int rc = real->xCurrentTime(real, &days);
  *now = static_cast<sqlite3_int64>(days * 86400000.0);
  return rc;
}

// ---- Its files ----

int PowerLossVfs::Impl::Close(sqlite3_file* file) {
  File* f = Of(file);
  Impl* self = f->owner;
  sqlite3_file* real = RealOf(f);
  const int rc = real->pMethods->xClose(real);
  {
    std::lock_guard lock(self->mutex_);
    --self->openFiles_;
    f->inode.reset();  // under the lock: ApplyPowerLoss reads the inodes
  }
  f->~File();
  return rc;
}

int PowerLossVfs::Impl::Read(sqlite3_file* file, void* out, int size,
                             sqlite3_int64 at) {
  File* f = Of(file);
  {
    std::lock_guard lock(f->owner->mutex_);
    if (f->owner->cut_) return SQLITE_IOERR_READ;
  }
  sqlite3_file* real = RealOf(f);
  return real->pMethods->xRead(real, out, size, at);
}

int PowerLossVfs::Impl::Write(sqlite3_file* file, const void* data, int size,
                              sqlite3_int64 at) {
  File* f = Of(file);
  Impl* self = f->owner;
  sqlite3_file* real = RealOf(f);
  std::lock_guard lock(self->mutex_);
  if (f->path.empty()) {
    if (self->cut_) return SQLITE_IOERR_WRITE;
    return real->pMethods->xWrite(real, data, size, at);
  }
  if (!self->Admit()) return SQLITE_IOERR_WRITE;
  // The bytes and size this write replaces, for the undo log.
  Change c;
  c.kind = Change::Kind::kWrite;
  c.offset = at;
  int rc = real->pMethods->xFileSize(real, &c.sizeBefore);
  if (rc != SQLITE_OK) return SQLITE_IOERR_WRITE;
  if (at < c.sizeBefore) {
    c.before.resize(
        static_cast<size_t>(std::min<sqlite3_int64>(size, c.sizeBefore - at)));
    rc = real->pMethods->xRead(real, c.before.data(),
                               static_cast<int>(c.before.size()), at);
    if (rc != SQLITE_OK) return SQLITE_IOERR_WRITE;
  }
  c.after.assign(static_cast<const char*>(data), static_cast<size_t>(size));
  rc = real->pMethods->xWrite(real, data, size, at);
  if (rc != SQLITE_OK) return rc;  // assumed to have changed nothing
  if (f->inode->removedBytes) Put(*f->inode->removedBytes, at, c.after);
  f->inode->unsynced.push_back(std::move(c));
  ++self->stats_[f->path].writes;
  return SQLITE_OK;
}

int PowerLossVfs::Impl::Truncate(sqlite3_file* file, sqlite3_int64 size) {
  File* f = Of(file);
  Impl* self = f->owner;
  sqlite3_file* real = RealOf(f);
  std::lock_guard lock(self->mutex_);
  if (f->path.empty()) {
    if (self->cut_) return SQLITE_IOERR_TRUNCATE;
    return real->pMethods->xTruncate(real, size);
  }
  if (!self->Admit()) return SQLITE_IOERR_TRUNCATE;
  Change c;
  c.kind = Change::Kind::kResize;
  int rc = real->pMethods->xFileSize(real, &c.sizeBefore);
  if (rc != SQLITE_OK) return SQLITE_IOERR_TRUNCATE;
  if (size < c.sizeBefore) {
    c.before.resize(static_cast<size_t>(c.sizeBefore - size));
    rc = real->pMethods->xRead(real, c.before.data(),
                               static_cast<int>(c.before.size()), size);
    if (rc != SQLITE_OK) return SQLITE_IOERR_TRUNCATE;
  }
  rc = real->pMethods->xTruncate(real, size);
  if (rc != SQLITE_OK) return rc;
  // The unix VFS rounds up to its chunk size, if one is set: record the
  // size the file really got.
  rc = real->pMethods->xFileSize(real, &c.sizeAfter);
  if (rc != SQLITE_OK) return SQLITE_IOERR_TRUNCATE;
  if (c.sizeAfter > size) {
    c.before.erase(0, static_cast<size_t>(c.sizeAfter - size));
  }
  if (f->inode->removedBytes) {
    f->inode->removedBytes->resize(static_cast<size_t>(c.sizeAfter));
  }
  f->inode->unsynced.push_back(std::move(c));
  ++self->stats_[f->path].truncates;
  return SQLITE_OK;
}

int PowerLossVfs::Impl::Sync(sqlite3_file* file, int flags) {
  File* f = Of(file);
  Impl* self = f->owner;
  sqlite3_file* real = RealOf(f);
  std::lock_guard lock(self->mutex_);
  if (f->path.empty()) {
    if (self->cut_) return SQLITE_IOERR_FSYNC;
    return self->options_.realSyncs ? real->pMethods->xSync(real, flags)
                                    : SQLITE_OK;
  }
  if (!self->Admit()) return SQLITE_IOERR_FSYNC;
  if (self->options_.realSyncs) {
    const int rc = real->pMethods->xSync(real, flags);
    if (rc != SQLITE_OK) return rc;
  }
  f->inode->unsynced.clear();
  ++self->stats_[f->path].syncs;
  // unixSync: after the file's own sync, once, the folder's.
  if (f->syncsFolder) {
    f->syncsFolder = false;
    self->FolderSynced(fs::path(f->path).parent_path());
  }
  return SQLITE_OK;
}

int PowerLossVfs::Impl::FileSize(sqlite3_file* file, sqlite3_int64* size) {
  File* f = Of(file);
  {
    std::lock_guard lock(f->owner->mutex_);
    if (f->owner->cut_) return SQLITE_IOERR_FSTAT;
  }
  sqlite3_file* real = RealOf(f);
  return real->pMethods->xFileSize(real, size);
}

int PowerLossVfs::Impl::Lock(sqlite3_file* file, int level) {
  sqlite3_file* real = RealOf(Of(file));
  return real->pMethods->xLock(real, level);
}

int PowerLossVfs::Impl::Unlock(sqlite3_file* file, int level) {
  sqlite3_file* real = RealOf(Of(file));
  return real->pMethods->xUnlock(real, level);
}

int PowerLossVfs::Impl::CheckReservedLock(sqlite3_file* file, int* out) {
  sqlite3_file* real = RealOf(Of(file));
  return real->pMethods->xCheckReservedLock(real, out);
}

int PowerLossVfs::Impl::FileControl(sqlite3_file* file, int op, void* arg) {
  // A size hint makes the unix VFS grow the file past xWrite and xTruncate;
  // it is only a hint, so it is not passed on.
  if (op == SQLITE_FCNTL_SIZE_HINT) return SQLITE_OK;
  sqlite3_file* real = RealOf(Of(file));
  return real->pMethods->xFileControl(real, op, arg);
}

int PowerLossVfs::Impl::SectorSize(sqlite3_file* file) {
  sqlite3_file* real = RealOf(Of(file));
  return real->pMethods->xSectorSize(real);
}

int PowerLossVfs::Impl::DeviceCharacteristics(sqlite3_file* file) {
  sqlite3_file* real = RealOf(Of(file));
  // Whatever the real disk promises, the simulated one tears and reorders
  // writes: no atomic or sequential writes, no safe appends.
  constexpr int kNotHere = SQLITE_IOCAP_ATOMIC | SQLITE_IOCAP_ATOMIC512 |
                           SQLITE_IOCAP_ATOMIC1K | SQLITE_IOCAP_ATOMIC2K |
                           SQLITE_IOCAP_ATOMIC4K | SQLITE_IOCAP_ATOMIC8K |
                           SQLITE_IOCAP_ATOMIC16K | SQLITE_IOCAP_ATOMIC32K |
                           SQLITE_IOCAP_ATOMIC64K | SQLITE_IOCAP_SAFE_APPEND |
                           SQLITE_IOCAP_SEQUENTIAL | SQLITE_IOCAP_BATCH_ATOMIC;
  return real->pMethods->xDeviceCharacteristics(real) & ~kNotHere;
}

int PowerLossVfs::Impl::ShmMap(sqlite3_file* file, int page, int pageSize,
                               int extend, void volatile** out) {
  sqlite3_file* real = RealOf(Of(file));
  if (real->pMethods->iVersion < 2) return SQLITE_IOERR_SHMMAP;
  return real->pMethods->xShmMap(real, page, pageSize, extend, out);
}

int PowerLossVfs::Impl::ShmLock(sqlite3_file* file, int offset, int n,
                                int flags) {
  sqlite3_file* real = RealOf(Of(file));
  if (real->pMethods->iVersion < 2) return SQLITE_IOERR_SHMLOCK;
  return real->pMethods->xShmLock(real, offset, n, flags);
}

void PowerLossVfs::Impl::ShmBarrier(sqlite3_file* file) {
  sqlite3_file* real = RealOf(Of(file));
  if (real->pMethods->iVersion >= 2) real->pMethods->xShmBarrier(real);
}

int PowerLossVfs::Impl::ShmUnmap(sqlite3_file* file, int deleteFlag) {
  sqlite3_file* real = RealOf(Of(file));
  if (real->pMethods->iVersion < 2) return SQLITE_OK;
  return real->pMethods->xShmUnmap(real, deleteFlag);
}

// ---- The public face ----

PowerLossVfs::PowerLossVfs(const PowerLossOptions& options)
    : impl_(std::make_unique<Impl>(options)) {}

PowerLossVfs::~PowerLossVfs() = default;

const std::string& PowerLossVfs::name() const { return impl_->name(); }

void PowerLossVfs::CutPowerAt(uint64_t n) { impl_->CutPowerAt(n); }

uint64_t PowerLossVfs::Operations() const { return impl_->Operations(); }

std::vector<uint64_t> PowerLossVfs::NameOperations() const {
  return impl_->NameOperations();
}

bool PowerLossVfs::PowerIsCut() const { return impl_->PowerIsCut(); }

bool PowerLossVfs::NoteFolderSynced(const fs::path& folder) {
  return impl_->NoteFolderSynced(folder);
}

store::FileNames& PowerLossVfs::fileNames() { return impl_->fileNames(); }

PowerLossFileStats PowerLossVfs::Stats(const std::string& file) const {
  return impl_->Stats(file);
}

PowerLossReport PowerLossVfs::ApplyPowerLoss(uint64_t seed) {
  return impl_->ApplyPowerLoss(seed);
}

}  // namespace vt::testing
