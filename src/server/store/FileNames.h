// The store's changes to names in folders that SQLite does not make: links,
// renames, removals, new folders and folder syncs. They go through this
// seam, as LevelDB's go through its Env, so that a test can watch them (a
// simulated power cut must know which names a folder sync made durable).
// PosixFileNames is the only real implementation.
#pragma once

#include <filesystem>

#include "notes/Status.h"

namespace vt::store {

class FileNames {
 public:
  FileNames() = default;
  FileNames(const FileNames&) = delete;
  FileNames& operator=(const FileNames&) = delete;
  virtual ~FileNames() = default;

  // Each returns 0 or the errno of the failure, as the system call does.
  // A second name for the file from; EEXIST when to is taken.
  virtual int Link(const std::filesystem::path& from,
                   const std::filesystem::path& to) = 0;
  // Moves from to to, never over another file (EEXIST).
  virtual int RenameNoReplace(const std::filesystem::path& from,
                              const std::filesystem::path& to) = 0;
  // Removes a name (not a folder); ENOENT when it is not there.
  virtual int Remove(const std::filesystem::path& file) = 0;
  // One folder, in a parent that exists; EEXIST when it is there.
  virtual int MakeFolder(const std::filesystem::path& folder) = 0;
  // Makes the names in folder durable (vt::SyncFolder).
  virtual Status SyncFolder(const std::filesystem::path& folder) = 0;
};

class PosixFileNames final : public FileNames {
 public:
  int Link(const std::filesystem::path& from,
           const std::filesystem::path& to) override;
  int RenameNoReplace(const std::filesystem::path& from,
                      const std::filesystem::path& to) override;
  int Remove(const std::filesystem::path& file) override;
  int MakeFolder(const std::filesystem::path& folder) override;
  Status SyncFolder(const std::filesystem::path& folder) override;
};

// Forwards every call, for a test's subclass to override what it watches.
class FileNamesWrapper : public FileNames {
 public:
  explicit FileNamesWrapper(FileNames& target) : target_(target) {}
  int Link(const std::filesystem::path& from,
           const std::filesystem::path& to) override {
    return target_.Link(from, to);
  }
  int RenameNoReplace(const std::filesystem::path& from,
                      const std::filesystem::path& to) override {
    return target_.RenameNoReplace(from, to);
  }
  int Remove(const std::filesystem::path& file) override {
    return target_.Remove(file);
  }
  int MakeFolder(const std::filesystem::path& folder) override {
    return target_.MakeFolder(folder);
  }
  Status SyncFolder(const std::filesystem::path& folder) override {
    return target_.SyncFolder(folder);
  }

 private:
  FileNames& target_;
};

}  // namespace vt::store
