// One server's data directory: the root every database path is relative to,
// and the fence no path may cross. Paths use '\' or '/' as separators; a
// leading separator means the root. A path that climbs out with "..", names
// an absolute place outside, or follows a link out is refused.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "notes/Status.h"

namespace vt {

class DataDirectory {
 public:
  DataDirectory() = default;

  // kNoDataDirectory when root is not an existing directory.
  Status Open(const std::filesystem::path& root);
  bool isOpen() const { return !root_.empty(); }

  // The canonical root (links resolved).
  const std::filesystem::path& root() const { return root_; }
  // Where the server keeps its runtime files (log, status lines, queues).
  std::filesystem::path RuntimeFolder() const { return root_ / ".vtserver"; }
  std::filesystem::path IniFile() const { return root_ / "server.ini"; }

  // The file a database path names, every link in it resolved (dangling
  // ones too). kInvalidArgument for an empty path or one naming the root,
  // kPathOutsideData for a path leading out.
  Status Resolve(std::string_view path, std::filesystem::path* file) const;

  // The database files (*.nsf, *.ntf, *.box in any case) under the root,
  // relative to it with '/' separators, sorted; hidden folders and files
  // (the runtime folder, half-made databases) are left out.
  std::vector<std::string> DatabaseFiles() const;

  // mail.box or mailN.box, as Domino names its mail boxes, in any case.
  static bool IsMailBoxName(std::string_view fileName);

 private:
  std::filesystem::path root_;
};

}  // namespace vt
