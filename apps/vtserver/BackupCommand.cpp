// `vtserver backup DIR DEST`: a consistent copy of every database and of
// server.ini, safe beside a running router.
#include <cstdio>
#include <string>

#include "Backup.h"
#include "DataDirCommand.h"

namespace vt::tool {
namespace {

class BackupCommand : public DataDirCommand {
 public:
  BackupCommand()
      : DataDirCommand("backup",
                       "Copy every database and server.ini into DEST, "
                       "consistently, while the router runs") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("DEST", dest_, "a new or empty folder")->required();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    BackupReport report;
    const Outcome outcome = BackupDataDirectory(server, dest_, &report);
    for (const std::string& failure : report.failed) {
      std::fprintf(stderr, "vtserver: not copied: %s\n", failure.c_str());
    }
    if (report.databases > 0) {
      std::printf("%zu databases, %.1f MB copied to %s in %.1f s",
                  report.databases,
                  static_cast<double>(report.bytes) / (1 << 20), dest_.c_str(),
                  report.seconds);
      if (report.routerPaused) {
        std::printf(" (router paused for %lld ms)",
                    static_cast<long long>(report.pausedMillis));
      }
      std::printf("\n");
    }
    std::fflush(stdout);
    return outcome;
  }

  std::string dest_;
};

}  // namespace

std::unique_ptr<Command> MakeBackupCommand() {
  return std::make_unique<BackupCommand>();
}

}  // namespace vt::tool
