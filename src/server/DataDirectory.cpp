// Confining database paths to a data directory.
#include "server/DataDirectory.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/Ascii.h"
#include "server/ServerNames.h"

namespace vt {

namespace fs = std::filesystem;

namespace {

bool IsUnder(const fs::path& root, const fs::path& p) {
  auto r = root.begin();
  auto q = p.begin();
  for (; r != root.end(); ++r, ++q) {
    // A trailing separator shows up as an empty last component.
    if (r->empty() && std::next(r) == root.end()) return true;
    if (q == p.end() || *r != *q) return false;
  }
  return true;
}

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return parts;
}

// Walks the path from the root as the kernel would, following every link,
// dangling ones included (a dangling link is where a new file would be
// made), so that where the path really leads can be checked.
Status FollowLinks(const fs::path& root,
                   const std::vector<std::string_view>& parts,
                   fs::path* resolved) {
  constexpr int kMaxLinks = 40;  // as the kernel's ELOOP limit
  std::vector<std::string> pending(parts.begin(), parts.end());
  std::reverse(pending.begin(), pending.end());  // next part at the back
  fs::path current = root;
  int links = 0;
  std::error_code ec;
  while (!pending.empty()) {
    const std::string part = std::move(pending.back());
    pending.pop_back();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      current = current.parent_path();
      continue;
    }
    fs::path next = current / part;
    if (!fs::is_symlink(fs::symlink_status(next, ec))) {
      current = std::move(next);
      continue;
    }
    if (++links > kMaxLinks) return err::kPathOutsideData;
    const fs::path target = fs::read_symlink(next, ec);
    if (ec) return err::kDiskError;
    if (target.is_absolute()) current = "/";
    std::vector<std::string> more;
    for (const fs::path& p : target.relative_path()) more.push_back(p.string());
    for (auto it = more.rbegin(); it != more.rend(); ++it) {
      pending.push_back(*it);
    }
  }
  *resolved = std::move(current);
  return Status();
}

}  // namespace

Status DataDirectory::Open(const fs::path& root) {
  std::error_code ec;
  if (root.empty() || !fs::is_directory(root, ec)) {
    return err::kNoDataDirectory;
  }
  fs::path canonical = fs::canonical(root, ec);
  if (ec) return err::kNoDataDirectory;
  root_ = std::move(canonical);
  return Status();
}

Status DataDirectory::Resolve(std::string_view path, fs::path* file) const {
  if (root_.empty()) return err::kNoDataDirectory;
  if (path.empty()) return err::kInvalidArgument;
  std::string text(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  // A drive letter is an absolute Windows path, never inside this tree.
  if (text.size() >= 2 && text[1] == ':' &&
      ((text[0] >= 'A' && text[0] <= 'Z') ||
       (text[0] >= 'a' && text[0] <= 'z'))) {
    return err::kPathOutsideData;
  }

  std::string_view relative = text;
  std::error_code ec;
  if (text.front() == '/') {
    const fs::path absolute = fs::path(text).lexically_normal();
    const std::vector<std::string_view> parts = Components(text);
    if (IsUnder(root_, absolute)) {
      // The data directory's own absolute path (as the router may build it).
      text = absolute.lexically_relative(root_).generic_string();
      relative = text;
    } else if (!parts.empty() && parts.front() != ".." &&
               parts.front() != "." &&
               fs::exists(fs::path("/") / std::string(parts.front()), ec) &&
               !fs::exists(root_ / std::string(parts.front()), ec)) {
      // "/etc/..." names a place on this machine, not in the data directory:
      // only a leading separator whose first folder is not one of the
      // machine's own means the root of the data directory.
      return err::kPathOutsideData;
    } else {
      relative.remove_prefix(1);
    }
  }

  std::vector<std::string_view> kept;
  for (std::string_view part : Components(relative)) {
    if (part == ".") continue;
    if (part == "..") {
      if (kept.empty()) return err::kPathOutsideData;
      kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  if (kept.empty()) return err::kInvalidArgument;

  fs::path resolved;
  const Status s = FollowLinks(root_, kept, &resolved);
  if (!s.ok()) return s;
  if (!IsUnder(root_, resolved) || resolved == root_) {
    return err::kPathOutsideData;
  }
  *file = std::move(resolved);
  return Status();
}

std::vector<std::string> DataDirectory::DatabaseFiles() const {
  std::vector<std::string> files;
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(
      root_, std::filesystem::directory_options::skip_permission_denied, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.empty() && name.front() == '.') {
      if (it->is_directory(ec)) it.disable_recursion_pending();
      continue;
    }
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || !it->is_regular_file(ec)) continue;
    const std::string_view extension = std::string_view(name).substr(dot);
    if (EqualsIgnoreCase(extension, ".nsf") ||
        EqualsIgnoreCase(extension, ".ntf") ||
        EqualsIgnoreCase(extension, ".box")) {
      files.push_back(it->path().lexically_relative(root_).generic_string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool DataDirectory::IsMailBoxName(std::string_view fileName) {
  if (fileName.size() < 8) return false;
  if (!EqualsIgnoreCase(fileName.substr(0, 4), "mail") ||
      !EqualsIgnoreCase(fileName.substr(fileName.size() - 4), ".box")) {
    return false;
  }
  const std::string_view digits = fileName.substr(4, fileName.size() - 8);
  return std::all_of(digits.begin(), digits.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace vt
