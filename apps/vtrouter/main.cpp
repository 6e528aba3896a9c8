// The router task as a Linux program: the process entry over the embedded
// server and the Linux system services.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/ProcessEntry.h"
#include "server/LocalNotesServices.h"
#include "system/posix/PosixSystemServices.h"

namespace {

constexpr char kUsage[] =
    "Usage: vtrouter [--data DIR] [--journal]\n"
    "\n"
    "Runs the VTRouter task on the embedded server whose data directory is\n"
    "DIR (or the current directory, when it holds server.ini). It routes\n"
    "mail every two seconds until it receives SIGTERM, SIGINT, SIGQUIT,\n"
    "SIGUSR2 or the console command 'quit' (vtserver tell DIR vtrouter\n"
    "quit). SIGHUP and SIGUSR1 make it reopen DIR/.vtserver/server.log.\n"
    "\n"
    "  --data DIR   the data directory, as made by 'vtserver init DIR'\n"
    "  --journal    log lines on standard output for the systemd journal:\n"
    "               without time, with priority (the default when standard\n"
    "               output is the journal)\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "\n"
    "Exit status: 0 after an orderly end; 2 for an unknown option or a stray\n"
    "argument; 78 when the router did not start (standard error or the\n"
    "server log says why); another nonzero value after any other failure.\n";

// A command line it cannot read, as vtserver and the BSD convention have it.
constexpr int kUsageError = 2;

// The data directory, its server.ini or its configuration document need
// mending, or another router serves the same server name: EX_CONFIG, which
// the systemd unit does not restart in a loop.
constexpr int kExitDidNotStart = 78;

// systemd sets JOURNAL_STREAM to "DEVICE:INODE" of the stream it connects
// to the journal; standard output is the journal while it is that stream
// (not, for example, a file a wrapper script redirected it to).
bool StdoutIsTheJournal() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char extra = 0;
  if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &extra) != 2) {
    return false;
  }
  struct stat st {};
  return ::fstat(STDOUT_FILENO, &st) == 0 && st.st_dev == device &&
         st.st_ino == inode;
}

// A misspelt option must not route the current directory instead. The data
// directory itself is found (and a wrong one named) by the server.
bool ReadCommandLine(int argc, char** argv, bool* journal) {
  CLI::App app("vtrouter");
  app.set_help_flag();
  std::string data;
  app.add_option("--data", data)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--journal", *journal);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "vtrouter: %s (see vtrouter --help)\n", error.what());
    return false;
  }
  return true;
}

// The console keeps its text; standard error gets the reason on one line,
// which the journal files as an error. The journal never gets a CR.
class RouterSystemServices : public vt::PosixSystemServices {
 public:
  explicit RouterSystemServices(bool journal) : journal_(journal) {}

  void ConsoleWrite(const char* text) override {
    if (text == nullptr) return;
    if (!journal_) vt::PosixSystemServices::ConsoleWrite(text);
    std::string line = journal_ ? "<3>vtrouter: " : "vtrouter: ";
    for (const char* c = text; *c != '\0'; ++c) {
      if (*c != '\r' && *c != '\n') line.push_back(*c);
    }
    line.push_back('\n');
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

 private:
  const bool journal_;
};

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
  bool journalOption = false;
  if (!ReadCommandLine(argc, argv, &journalOption)) return kUsageError;
  const bool journal = journalOption || StdoutIsTheJournal();
  // Output to a reader that went away (a closed pipe, a journal restart)
  // fails the write; it must not end the task.
  ::signal(SIGPIPE, SIG_IGN);

  vt::LocalNotesServicesOptions options;
  options.echoForJournal = journal;
  vt::LocalNotesServices notes(options);
  RouterSystemServices system(journal);
  // A lock folder or file that another user planted is named in the log.
  system.SetReporter([&notes](const std::string& text) {
    notes.LogMessage("VTRouter: %s", 0, text.c_str());
  });
  const int code = vt::ProcessEntry(notes, system, argc, argv);
  // The task ends with status 0 even when it could not start (it said why in
  // the log); the process must not report success for that.
  if (notes.taskReachedItsLoop()) return code;
  if (code == 0) {
    std::fprintf(stderr,
                 "%svtrouter: the router did not start; its log says why\n",
                 journal ? "<3>" : "");
  }
  return kExitDidNotStart;
}
