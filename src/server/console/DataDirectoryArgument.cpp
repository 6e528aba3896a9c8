// Finding the data directory from the command line and the current folder.
#include "server/console/DataDirectoryArgument.h"

#include <sys/stat.h>

#include <optional>
#include <string_view>

#include "base/PosixFiles.h"

namespace vt::console {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kOption = "--data";
constexpr char kIniName[] = "server.ini";

bool IsFile(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Without "." or ".." parts and without a trailing separator, as people
// expect to see the folder named.
fs::path Normal(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) {
    normal = normal.parent_path();
  }
  return normal;
}

Status Refuse(std::string text, std::string* problem) {
  if (problem != nullptr) *problem = std::move(text);
  return err::kNoDataDirectory;
}

}  // namespace

Status FindDataDirectory(int argc, char** argv, std::string cwd, fs::path* dir,
                         std::string* problem) {
  if (problem != nullptr) problem->clear();
  if (dir == nullptr) return err::kInvalidArgument;
  dir->clear();

  std::optional<std::string> named;
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
    const std::string_view arg = argv[i];
    if (arg == kOption) {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        return Refuse("--data needs a directory: run vtrouter --data DIR",
                      problem);
      }
      named = argv[++i];
    } else if (arg.starts_with(kOption) && arg.size() > kOption.size() &&
               arg[kOption.size()] == '=') {
      named = std::string(arg.substr(kOption.size() + 1));
    }
  }

  if (named) {
    if (named->empty()) {
      return Refuse("--data needs a directory: run vtrouter --data DIR",
                    problem);
    }
    const fs::path folder = Normal(fs::path(cwd) / *named);
    if (!IsFolder(folder)) {
      return Refuse("no data directory " + folder.string() +
                        "; make one with 'vtserver init " + folder.string() +
                        "'",
                    problem);
    }
    if (!IsFile(folder / kIniName)) {
      return Refuse("no server.ini in " + folder.string() +
                        "; make the data directory with 'vtserver init " +
                        folder.string() + "'",
                    problem);
    }
    *dir = folder;
    return Status();
  }

  const fs::path here = Normal(fs::path(cwd));
  if (!IsFile(here / kIniName)) {
    return Refuse("no server.ini in " + here.string() +
                      "; run vtrouter --data DIR or inside a data directory "
                      "made by 'vtserver init'",
                  problem);
  }
  *dir = here;
  return Status();
}

}  // namespace vt::console
