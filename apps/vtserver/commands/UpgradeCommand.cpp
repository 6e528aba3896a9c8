// `vtserver upgrade DIR [--backup DEST]`: brings the databases of an older
// format up to this version's, after copying them aside, with the router
// stopped. Nothing else upgrades a database: every other command, and the
// router, refuse an older one and name this command.
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "base/Ascii.h"
#include "base/PosixFiles.h"
#include "maintenance/Backup.h"
#include "maintenance/RouterPause.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

std::string TimeSuffix() {
  const time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y%m%d-%H%M%S", &local);
  return text.data();
}

// Every file of the database (and its log), as they lie: nothing writes
// while the router is stopped and every other command refuses the
// directory. As private as the originals, and durable before any is
// changed.
Outcome CopyAside(const fs::path& root, const std::string& path,
                  const fs::path& dest) {
  Outcome outcome = MakeCopyFolders(root, path, dest);
  std::error_code ec;
  for (const char* suffix : {"", "-wal"}) {
    if (!outcome.ok()) break;
    fs::path from = root / path;
    from += suffix;
    if (!fs::exists(from, ec)) continue;
    fs::path to = dest / path;
    to += suffix;
    outcome = CopyFileDurably(from, to);
  }
  if (outcome.ok() && !SyncFolder((dest / path).parent_path()).ok()) {
    outcome =
        Outcome::Failure("cannot sync " + (dest / path).parent_path().string());
  }
  return outcome;
}

// server.ini with DataFormat set, replaced whole.
Outcome WriteDataFormat(const fs::path& ini) {
  std::ifstream in(ini, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string out;
  bool written = false;
  std::string line;
  std::istringstream lines(text.str());
  const std::string value = "DataFormat=" + std::to_string(kDataFormat);
  while (std::getline(lines, line)) {
    const std::string_view key =
        Trim(std::string_view(line).substr(0, line.find('=')));
    if (!written && line.find('=') != std::string::npos &&
        EqualsIgnoreCase(key, "DataFormat")) {
      out.append(value + "\n");
      written = true;
      continue;
    }
    // Keys before the first section belong to the server.
    if (!written && !line.empty() && line.front() == '[') {
      out.append(value + "\n");
      written = true;
    }
    out.append(line + "\n");
  }
  if (!written) out.append(value + "\n");
  fs::path temp = ini;
  temp += ".new";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file << out;
    if (!file.flush()) return Outcome::Failure("cannot write " + temp.string());
  }
  std::error_code ec;
  fs::rename(temp, ini, ec);
  if (ec || !SyncFolder(ini.parent_path()).ok()) {
    return Outcome::Failure("cannot replace " + ini.string());
  }
  return Outcome();
}

class UpgradeCommand : public DataDirCommand {
 public:
  UpgradeCommand()
      : DataDirCommand("upgrade",
                       "Copy the databases aside, then bring those of an "
                       "older format up to date (the router must be "
                       "stopped)") {}

 private:
  DataDirOptions Options() const override {
    DataDirOptions options;
    options.checkFormat = false;
    options.upgrade = true;
    return options;
  }

  void AddArguments(CLI::App& sub) override {
    sub.add_option("--backup", backup_,
                   "where the copy goes (default: DIR.before-upgrade-TIME "
                   "beside DIR)");
  }

  Outcome RunOn(LocalNotesServices& server) override {
    if (RouterAlive(server)) {
      return Outcome::Failure("the router runs on " + dir() +
                              "; stop it first (vtserver tell " + dir() +
                              " vtrouter quit)");
    }
    const fs::path root = server.dataDirectory().root();
    std::vector<std::string> older;
    for (const std::string& path : server.dataDirectory().DatabaseFiles()) {
      const auto layout = server.RecordedDataFormat(root / path);
      if (layout && *layout > kDataFormat) {
        return Outcome::Failure(path +
                                " was made by a newer version of "
                                "VTRouter; nothing changed");
      }
      if (layout && *layout < kDataFormat) older.push_back(path);
    }
    const bool formatKnown = server.serverIni().dataFormat() == kDataFormat;
    if (older.empty() && formatKnown) {
      std::printf("%s is up to date (format %d)\n", dir().c_str(), kDataFormat);
      return Outcome();
    }
    const fs::path dest =
        backup_.empty()
            ? fs::path(root.string() + ".before-upgrade-" + TimeSuffix())
            : fs::path(backup_);
    std::error_code ec;
    if (fs::exists(dest, ec)) {
      return Outcome::Failure(dest.string() + " exists; nothing changed");
    }
    bool made = false;
    Outcome outcome = MakeCopyFolder(dest, root, &made);
    if (!outcome.ok()) {
      return Outcome::Failure(
          outcome.message() +
          " to set the databases aside; nothing changed (name a folder " +
          "this user may make with --backup DEST)");
    }
    for (const std::string& path : server.dataDirectory().DatabaseFiles()) {
      if (outcome.ok()) outcome = CopyAside(root, path, dest);
    }
    if (outcome.ok()) {
      outcome = CopyFileDurably(server.dataDirectory().IniFile(),
                                dest / "server.ini");
    }
    if (outcome.ok() && !SyncFolder(dest).ok()) {
      outcome = Outcome::Failure("cannot sync " + dest.string());
    }
    if (!outcome.ok()) {
      return Outcome::Failure(outcome.message() + "; nothing changed");
    }
    for (const std::string& path : older) {
      Database db(server);
      const Status s = db.Open(path);
      if (!s.ok()) {
        return StatusFailure("cannot upgrade " + path + " (the copy in " +
                                 dest.string() + " is as it was)",
                             s);
      }
    }
    const Outcome written = WriteDataFormat(server.dataDirectory().IniFile());
    if (!written.ok()) return written;
    std::printf(
        "%zu databases upgraded to format %d; the earlier files are in %s\n",
        older.size(), kDataFormat, dest.c_str());
    return Outcome();
  }

  std::string backup_;
};

}  // namespace

std::unique_ptr<Command> MakeUpgradeCommand() {
  return std::make_unique<UpgradeCommand>();
}

}  // namespace vt::tool
