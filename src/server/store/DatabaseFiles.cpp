// The files beside a database and its folders (see DatabaseFiles.h).
#include "server/store/DatabaseFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "base/ByteOrder.h"
#include "base/PosixFiles.h"
#include "notes/FixedText.h"
#include "server/store/Unid.h"

namespace vt::store {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLeftovers[] = {"-wal", "-shm", "-journal"};
constexpr char kRecordSuffix[] = "-walid";
constexpr char kRecordMagic[8] = {'V', 'T', 'W', 'A', 'L', 'I', 'D', '1'};
constexpr size_t kRecordSize = sizeof kRecordMagic + kEncodedIdentitySize;

// Openers hold the lock for a few file operations; SQLite's own busy wait
// is as long.
constexpr auto kLockWait = std::chrono::seconds(10);
constexpr auto kLockPoll = std::chrono::milliseconds(5);

fs::path Beside(const fs::path& file, const char* suffix) {
  fs::path p = file;
  p += suffix;
  return p;
}

fs::path FolderOf(const fs::path& file) {
  const fs::path folder = file.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

bool Exists(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// When the leftovers were set aside, and a random part, so that two set
// aside within a second keep apart.
std::string AsideTag() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char when[32];
  const size_t n = std::strftime(when, sizeof when, "%Y%m%dT%H%M%S", &local);
  const Unid random = NewUnid();
  FixedText<64> tag;
  tag.Format(".aside-%.*s-%02x%02x%02x", static_cast<int>(n), when, random[0],
             random[1], random[2]);
  return std::string(tag.view());
}

constexpr size_t kHeaderSize = 100;

// A checkpoint in another process grows the file, writes the header that
// counts the new pages, then empties the log; a vacuum's shrinks the file.
// Sizes and header read at different moments can thus show pages lost that
// never were. So the sizes are read before and after the header, and a look
// in which one moved is taken again: a few stats more on each open, where
// SQLite's own lock would cost a connection.
constexpr int kHeaderLooks = 4;

struct LookSizes {
  uintmax_t file = 0;
  uintmax_t log = 0;  // also when there is none
  friend bool operator==(const LookSizes&, const LookSizes&) = default;
};

bool FileSize(int fd, uintmax_t* size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  *size = static_cast<uintmax_t>(st.st_size);
  return true;
}

uintmax_t LogSize(const fs::path& file) {
  struct stat st {};
  return ::stat(Beside(file, "-wal").c_str(), &st) == 0
             ? static_cast<uintmax_t>(st.st_size)
             : 0;
}

Status JudgeHeader(const unsigned char (&h)[kHeaderSize],
                   const LookSizes& sizes, int32_t applicationId) {
  static constexpr char kMagic[] = "SQLite format 3";
  if (std::memcmp(h, kMagic, sizeof kMagic) != 0) return err::kCorruptDatabase;
  if (static_cast<int32_t>(LoadBe32(h + 68)) != applicationId) {
    return err::kCorruptDatabase;
  }
  uint32_t pageSize = (static_cast<uint32_t>(h[16]) << 8) | h[17];
  if (pageSize == 1) pageSize = 65536;
  const uint32_t pages = LoadBe32(h + 28);
  // SQLite trusts the page count only when these two agree; so do we. A
  // write-ahead log may hold pages a crashed checkpoint had not yet placed,
  // so the size is only checked when there is none.
  const bool countValid = LoadBe32(h + 24) == LoadBe32(h + 92);
  if (countValid && sizes.log == 0 &&
      static_cast<uintmax_t>(pages) * pageSize > sizes.file) {
    return err::kCorruptDatabase;
  }
  return Status();
}

}  // namespace

Status WalOwner::Lock(const fs::path& file) {
  fd_.Reset();
  const fs::path record = Beside(file, kRecordSuffix);
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    UniqueFd fd(::open(record.c_str(),
                       O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
      return errno == ELOOP ? Status(err::kDiskError)
                            : FileErrorStatus(errno, record);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return err::kDiskError;
    }
    // An administrator's command run as root leaves the record to the
    // database's owner, as SQLite does with its own files beside it, so that
    // the router can still take it.
    struct stat owner {};
    if (::geteuid() == 0 &&
        (::stat(file.c_str(), &owner) == 0 ||
         ::stat(FolderOf(file).c_str(), &owner) == 0) &&
        (owner.st_uid != st.st_uid || owner.st_gid != st.st_gid) &&
        ::fchown(fd.get(), owner.st_uid, owner.st_gid) == 0) {
      st.st_uid = owner.st_uid;
    }
    // flock needs no write access: a record others can read, they could
    // hold.
    if ((st.st_mode & 077) != 0 &&
        (::geteuid() == 0 || st.st_uid == ::geteuid())) {
      if (::fchmod(fd.get(), 0600) != 0) return err::kDiskError;
    }
    int rc;
    while ((rc = ::flock(fd.get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc == 0) {
      // A record removed while we waited is no lock any more: the next
      // opener makes and takes another.
      struct stat now {};
      if (::lstat(record.c_str(), &now) == 0 && now.st_dev == st.st_dev &&
          now.st_ino == st.st_ino) {
        fd_ = std::move(fd);
        return Status();
      }
    } else if (errno != EWOULDBLOCK) {
      return err::kDiskError;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return err::kDatabaseBusy;
    }
    std::this_thread::sleep_for(kLockPoll);
  }
}

std::optional<FileIdentity> WalOwner::Recorded() const {
  if (!fd_) return std::nullopt;
  uint8_t bytes[kRecordSize + 1];
  ssize_t n;
  while ((n = ::pread(fd_.get(), bytes, sizeof bytes, 0)) < 0 &&
         errno == EINTR) {
  }
  if (n != static_cast<ssize_t>(kRecordSize) ||
      std::memcmp(bytes, kRecordMagic, sizeof kRecordMagic) != 0) {
    return std::nullopt;
  }
  return DecodeFileIdentity(std::span<const uint8_t>(
      bytes + sizeof kRecordMagic, kEncodedIdentitySize));
}

Status WalOwner::Record(const FileIdentity& id) {
  if (!fd_) return err::kInvalidHandle;
  uint8_t bytes[kRecordSize];
  std::memcpy(bytes, kRecordMagic, sizeof kRecordMagic);
  const auto encoded = EncodeFileIdentity(id);
  std::memcpy(bytes + sizeof kRecordMagic, encoded.data(), encoded.size());
  size_t done = 0;
  while (done < kRecordSize) {
    const ssize_t n = ::pwrite(fd_.get(), bytes + done, kRecordSize - done,
                               static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return err::kDiskError;
    done += static_cast<size_t>(n);
  }
  // A record that went back to its old content after a crash would disown
  // the log of the file now in place.
  if (::ftruncate(fd_.get(), kRecordSize) != 0 || ::fdatasync(fd_.get()) != 0) {
    return err::kDiskError;
  }
  return Status();
}

bool HasLeftovers(const fs::path& file) {
  for (const char* suffix : kLeftovers) {
    if (Exists(Beside(file, suffix))) return true;
  }
  return false;
}

Status SetAsideLeftovers(const fs::path& file, std::vector<fs::path>* moved,
                         FileNames& names) {
  std::string tag = AsideTag();
  bool any = false;
  for (const char* suffix : kLeftovers) {
    const fs::path from = Beside(file, suffix);
    for (int attempt = 0;; ++attempt) {
      fs::path to = from;
      to += tag;
      const int error = names.RenameNoReplace(from, to);
      if (error == 0) {
        moved->push_back(std::move(to));
        any = true;
        break;
      }
      if (error == ENOENT) break;  // not there: nothing to set aside
      if (error != EEXIST || attempt == 3) return err::kDiskError;
      tag = AsideTag();
    }
  }
  return any ? names.SyncFolder(FolderOf(file)) : Status();
}

Status MakeFolders(const fs::path& folder, FileNames& names) {
  std::vector<fs::path> missing;
  for (fs::path p = folder; !p.empty(); p = p.parent_path()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return err::kDiskError;
      break;
    }
    if (errno != ENOENT) return err::kDiskError;
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Another creator may make the same folder at once; it is synced again
    // here all the same.
    const int error = names.MakeFolder(*it);
    if (error != 0 && error != EEXIST) return err::kDiskError;
    const Status s = names.SyncFolder(FolderOf(*it));
    if (!s.ok()) return s;
  }
  return Status();
}

Status CheckFileHeader(const fs::path& file, int32_t applicationId,
                       const std::function<void()>& duringLook) {
  // Non-blocking: a pipe put in the file's place meanwhile must not hang the
  // open.
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  // A file of another user's is a permission problem, not a failing disk.
  if (!fd) return FileErrorStatus(errno, file);
  for (int look = 0; look < kHeaderLooks; ++look) {
    LookSizes before;
    if (!FileSize(fd.get(), &before.file)) return err::kDiskError;
    before.log = LogSize(file);
    if (duringLook) duringLook();
    unsigned char header[kHeaderSize];
    ssize_t n;
    while ((n = ::pread(fd.get(), header, sizeof header, 0)) < 0 &&
           errno == EINTR) {
    }
    if (n < 0) return err::kDiskError;
    // The log before the file: a checkpoint empties the log only once the
    // file holds every page the header counts.
    LookSizes after;
    after.log = LogSize(file);
    if (!FileSize(fd.get(), &after.file)) return err::kDiskError;
    if (after != before) continue;
    if (n != static_cast<ssize_t>(sizeof header)) return err::kCorruptDatabase;
    return JudgeHeader(header, after, applicationId);
  }
  // Never still: a database in use, which SQLite's own checks judge at open.
  return Status();
}

void RemoveFileAndJournal(const fs::path& file, FileNames& names) {
  // Best effort: what cannot be removed is only a leftover.
  names.Remove(file);
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    names.Remove(Beside(file, suffix));
  }
}

std::optional<int32_t> RecordedLayout(const fs::path& file,
                                      int32_t applicationId) {
  static constexpr char kMagic[] = "SQLite format 3";
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return std::nullopt;
  uint8_t header[100];
  if (::pread(fd.get(), header, sizeof header, 0) !=
      static_cast<ssize_t>(sizeof header)) {
    return std::nullopt;
  }
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0 ||
      static_cast<int32_t>(LoadBe32(header + 68)) != applicationId) {
    return std::nullopt;
  }
  return static_cast<int32_t>(LoadBe32(header + 60));
}

Status RemoveDatabaseFiles(const fs::path& file, FileNames& names) {
  WalOwner owner;
  Status s = owner.Lock(file);
  if (!s.ok()) return s;
  int error = names.Remove(file);
  if (error != 0 && error != ENOENT) return FileErrorStatus(error, file);
  for (const char* suffix : {"-wal", "-shm", "-journal", kRecordSuffix}) {
    const fs::path beside = Beside(file, suffix);
    error = names.Remove(beside);
    if (error != 0 && error != ENOENT) return FileErrorStatus(error, beside);
  }
  return names.SyncFolder(FolderOf(file));
}

Status LinkIntoPlace(const fs::path& temp, const fs::path& file,
                     FileNames& names) {
  const int error = names.Link(temp, file);
  if (error == 0) {
    // The temporary name is only clutter now.
    names.Remove(temp);
    return Status();
  }
  if (error == EEXIST) return err::kFileExists;
  // File systems without hard links: a rename that never replaces.
  const int renamed = names.RenameNoReplace(temp, file);
  if (renamed == EEXIST) return err::kFileExists;
  return renamed == 0 ? Status() : Status(err::kDiskError);
}

}  // namespace vt::store
