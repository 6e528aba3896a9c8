// The router task as a Linux program: the process entry over the embedded
// server and the Linux system services.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/ProcessEntry.h"
#include "server/LocalNotesServices.h"
#include "system/posix/PosixSystemServices.h"

namespace {

constexpr char kUsage[] =
    "Usage: vtrouter [--data DIR]\n"
    "\n"
    "Runs the VTRouter task on the embedded server whose data directory is\n"
    "DIR (or the current directory, when it holds server.ini). It routes\n"
    "mail every two seconds until it receives SIGTERM, SIGINT or the console\n"
    "command 'quit' (vtserver tell DIR vtrouter quit).\n"
    "\n"
    "  --data DIR   the data directory, as made by 'vtserver init DIR'\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 ||
        std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vtrouter %s\n", VT_VERSION);
      return 0;
    }
  }
  vt::LocalNotesServices notes(vt::LocalNotesServicesOptions{});
  vt::PosixSystemServices system;
  // A lock folder or file that another user planted is named in the log.
  system.SetReporter([&notes](const std::string& text) {
    notes.LogMessage("VTRouter: %s", 0, text.c_str());
  });
  return vt::ProcessEntry(notes, system, argc, argv);
}
