// `vtserver compact DIR [PATH]`: gives the free pages of every database file
// (or of PATH) back to the file system, beside a running router. Databases
// kept in PostgreSQL are named as such: PostgreSQL compacts its own.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "notes/HandleOwners.h"
#include "server/ServerIni.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

// The file and its write-ahead log, in bytes.
uintmax_t SizeOnDisk(const fs::path& file) {
  std::error_code ec;
  uintmax_t size = fs::file_size(file, ec);
  if (ec) size = 0;
  fs::path wal = file;
  wal += "-wal";
  const uintmax_t log = fs::file_size(wal, ec);
  return ec ? size : size + log;
}

constexpr char kOnPostgres[] =
    "kept in PostgreSQL, whose autovacuum reuses the space of deleted "
    "messages (VACUUM FULL gives it back to the file system)";

double Megabytes(uintmax_t bytes) {
  return static_cast<double>(bytes) / (1 << 20);
}

class CompactCommand : public DataDirCommand {
 public:
  CompactCommand()
      : DataDirCommand("compact",
                       "Give the free pages of every database (or of PATH) "
                       "back to the file system; the router may run") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("PATH", path_, "one database, relative to DIR");
  }

  Outcome RunOn(LocalNotesServices& server) override {
    const bool ownOnPostgres = !server.serverIni().databases().empty();
    std::vector<std::string> paths{path_};
    if (path_.empty()) {
      // Every file of this server; the servers in PostgreSQL are named.
      paths.clear();
      if (!ownOnPostgres) paths = server.dataDirectory().DatabaseFiles();
      if (ownOnPostgres) {
        std::printf("%s: %s\n", server.serverIni().serverName().c_str(),
                    kOnPostgres);
      }
      for (const ServerEntry& entry : server.serverIni().servers()) {
        if (IsPostgresLocation(entry.directory)) {
          std::printf("%s: %s\n", entry.name.c_str(), kOnPostgres);
        }
      }
    }
    Outcome failure;
    for (const std::string& path : paths) {
      fs::path file;
      Status s = server.dataDirectory().Resolve(path, &file);
      Database db(server);
      if (s.ok()) s = db.Open(path);
      const uintmax_t before = s.ok() ? SizeOnDisk(file) : 0;
      if (s.ok()) s = server.CompactDatabase(db.handle());
      if (s.Is(err::kNotAvailable)) {
        std::printf("%s: %s\n", path.c_str(), kOnPostgres);
        continue;
      }
      if (!s.ok()) {
        const Outcome outcome = StatusFailure("cannot compact " + path, s);
        if (failure.ok()) failure = outcome;
        ReportFailure(outcome);
        continue;
      }
      std::printf("%s: %.1f MB -> %.1f MB\n", path.c_str(), Megabytes(before),
                  Megabytes(SizeOnDisk(file)));
      std::fflush(stdout);
    }
    return failure;
  }

  std::string path_;
};

}  // namespace

std::unique_ptr<Command> MakeCompactCommand() {
  return std::make_unique<CompactCommand>();
}

}  // namespace vt::tool
