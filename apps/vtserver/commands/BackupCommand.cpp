// `vtserver backup DIR DEST`: a consistent copy of every database and of
// server.ini, safe beside a running router.
#include <cstdint>
#include <cstdio>
#include <string>

#include "DataDirCommand.h"
#include "maintenance/Backup.h"

namespace vt::tool {
namespace {

std::string Millis(int64_t millis) { return std::to_string(millis) + " ms"; }

// What the snapshots waited for, and how long mail stood still.
std::string WaitsText(const BackupReport& report) {
  std::string text =
      "waited " + Millis(report.lockWaitMillis) + " for releases and purges";
  if (report.routerPaused) {
    return text + ", " + Millis(report.pauseWaitMillis) +
           " for the router to pause; router paused for " +
           Millis(report.pausedMillis);
  }
  if (report.routerWasPaused) return text + "; the router was paused already";
  if (report.routerAlive) {
    return text + ", " + Millis(report.pauseWaitMillis) +
           " for the router to end";
  }
  return text + "; no router running";
}

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
      std::printf("%zu databases, %.1f MB copied to %s in %.1f s (%s)\n",
                  report.databases,
                  static_cast<double>(report.bytes) / (1 << 20), dest_.c_str(),
                  report.seconds, WaitsText(report).c_str());
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
