// The demonstration's steps, each one waiting (a bounded time) for the
// router to do its part and showing the router's log lines meanwhile.
#include "standins/Demo.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "datadir/DataDir.h"
#include "datadir/DataDirInit.h"
#include "datadir/Databases.h"
#include "datadir/LogFollower.h"
#include "datadir/MailItems.h"
#include "datadir/Outcome.h"
#include "notes/HandleOwners.h"
#include "standins/ChildProcess.h"
#include "standins/Deposit.h"
#include "standins/Verdicts.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

constexpr int kStepMillis = 20000;  // the router works every two seconds
constexpr int kPollMillis = 200;
// A pause before each step, so that a person can read along.
constexpr int kPaceMillis = 2000;
constexpr char kMailBox[] = "mail.box";
constexpr char kScanBoxFolder[] = "Veltrane/Scan/";
// The router's first quarantines, made when it starts.
constexpr char kQuarantineB[] = "Veltrane/QuarantineB_1.nsf";
constexpr char kQuarantineC[] = "Veltrane/QuarantineC_1.nsf";
constexpr char kQuarantineD[] = "Veltrane/QuarantineD_1.nsf";

enum class Kind { kPlain, kHeld, kDead, kUnprocessed };

struct DemoMessage {
  const char* subject;
  Kind kind;
  char verdict;          // 0: never scanned
  const char* expected;  // where the verdict sends it
  std::string messageId;
};

// The demonstration's folder, removed with everything in it unless kept.
class DemoFolder {
 public:
  DemoFolder() = default;
  DemoFolder(const DemoFolder&) = delete;
  DemoFolder& operator=(const DemoFolder&) = delete;
  ~DemoFolder() {
    if (path_.empty() || keep_) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Outcome Make() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / "vtserver-demo-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      return Outcome::Failure("cannot make a folder in " + base.string());
    }
    path_ = pattern;
    return Outcome();
  }
  void Keep() { keep_ = true; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool keep_ = false;
};

void Heading(const char* text) { std::printf("\n== %s\n", text); }

void Pause() {
  std::this_thread::sleep_for(std::chrono::milliseconds(kPaceMillis));
}

class Demo {
 public:
  explicit Demo(bool keep) : keep_(keep) {}

  int Run() {
    Outcome outcome = MakeDataDirectory();
    for (const Step step :
         {&Demo::StartRouter, &Demo::SendMail, &Demo::AwaitInterception,
          &Demo::Scan, &Demo::AwaitDelivery, &Demo::AskRouter,
          &Demo::StopRouter}) {
      if (!outcome.ok()) break;
      Pause();
      outcome = (this->*step)();
    }
    const bool placed = outcome.ok() && ReportPlaces();
    if (keep_ && !folder_.path().empty()) {
      folder_.Keep();
      std::printf("\nThe data directory is kept: %s\n", dir_.c_str());
    }
    if (!outcome.ok()) {
      ShowLog();
      return ReportFailure(outcome);
    }
    return placed ? 0 : 1;
  }

 private:
  using Step = Outcome (Demo::*)();

  Outcome MakeDataDirectory() {
    Heading("1. A new data directory");
    Outcome outcome = folder_.Make();
    if (!outcome.ok()) return outcome;
    dir_ = (folder_.path() / "data").string();
    // A name of its own: the router's single-instance guard is per server
    // name and machine-wide.
    const std::string name =
        "CN=Demo" + std::to_string(::getpid()) + "/O=Example";
    outcome = InitDataDirectory(dir_, name);
    if (!outcome.ok()) return outcome;
    std::printf("vtserver init %s --server %s\n", dir_.c_str(), name.c_str());
    outcome = OpenDataDirectory(dir_, &server_);
    if (!outcome.ok()) return outcome;
    log_ = std::make_unique<LogFollower>(server_->LogFile());
    ListDatabases();
    return Outcome();
  }

  Outcome StartRouter() {
    Heading("2. Starting the router");
    const std::string program = FindRouterExecutable();
    if (program.empty()) {
      return Outcome::Failure(
          "cannot find vtrouter beside vtserver or on PATH");
    }
    const std::string output = (folder_.path() / "vtrouter.out").string();
    Outcome outcome = router_.Start(program, {"--data", dir_}, output);
    if (!outcome.ok()) return outcome;
    std::printf("%s --data %s   (process %d, its output in %s)\n",
                program.c_str(), dir_.c_str(), static_cast<int>(router_.pid()),
                output.c_str());
    outcome = WaitFor("the router to start", [this] {
      return Logged("started") && !RunningTasks().empty();
    });
    if (!outcome.ok()) return outcome;
    ShowTasks();
    return Outcome();
  }

  Outcome SendMail() {
    Heading("3. The mail server deposits mail into mail.box");
    messages_ = {
        {"Ordinary mail", Kind::kPlain, 'M', kMailBox, {}},
        {"Spam for perimeter B", Kind::kPlain, 'B', kQuarantineB, {}},
        {"Spam for perimeter C", Kind::kPlain, 'C', kQuarantineC, {}},
        {"Spam for perimeter D", Kind::kPlain, 'D', kQuarantineD, {}},
        {"Held mail", Kind::kHeld, 'M', kMailBox, {}},
        {"Dead mail", Kind::kDead, 'M', kMailBox, {}},
        {"Mail not for scanning", Kind::kUnprocessed, 0, kMailBox, {}},
    };
    for (DemoMessage& m : messages_) {
      DepositOptions options;
      options.subject = m.subject;
      options.process = m.kind != Kind::kUnprocessed;
      options.hold = m.kind == Kind::kHeld;
      options.dead = m.kind == Kind::kDead;
      std::vector<DepositedMessage> sent;
      const Outcome outcome = DepositMessages(*server_, options, &sent);
      if (!outcome.ok()) return outcome;
      m.messageId = sent.front().messageId;
      std::printf(
          "  %-22s %s%s%s  VTMessageId %s\n", m.subject,
          options.process ? "VeltraneProcess \"1\"" : "no VeltraneProcess",
          options.hold ? ", RoutingState \"HOLD\"" : "",
          options.dead ? ", RoutingState \"DEAD\"" : "", m.messageId.c_str());
    }
    return Outcome();
  }

  Outcome AwaitInterception() {
    Heading("4. The router intercepts the mail that is to be scanned");
    return WaitFor("the mail to reach the scan box", [this] {
      const Sightings seen = LocateMessages(*server_);
      for (const DemoMessage& m : messages_) {
        if (m.verdict == 0) continue;
        const auto it = seen.find(m.messageId);
        if (it == seen.end() || it->second.size() != 1 ||
            it->second.front().path.rfind(kScanBoxFolder, 0) != 0) {
          return false;
        }
      }
      return true;
    });
  }

  Outcome Scan() {
    Heading("5. The scanner gives its verdicts");
    std::map<std::string, char> verdicts;
    for (const DemoMessage& m : messages_) {
      if (m.verdict != 0) verdicts[m.messageId] = m.verdict;
    }
    VerdictCounts counts;
    for (const char* box : kDefaultScanBoxes) {
      Database db(*server_);
      const Status s = db.Open(box);
      if (!s.ok()) return StatusFailure(std::string("cannot open ") + box, s);
      const Outcome outcome = GiveVerdicts(
          *server_, db.handle(), box,
          [&verdicts](const std::string& id) {
            const auto it = verdicts.find(id);
            return it == verdicts.end() ? '\0' : it->second;
          },
          &counts);
      if (!outcome.ok()) return outcome;
    }
    for (const DemoMessage& m : messages_) {
      if (m.verdict != 0) std::printf("  %c  %s\n", m.verdict, m.subject);
    }
    if (counts.given != static_cast<int>(verdicts.size())) {
      return Outcome::Failure("the scanner found " +
                              std::to_string(counts.given) + " of " +
                              std::to_string(verdicts.size()) + " messages");
    }
    return Outcome();
  }

  Outcome AwaitDelivery() {
    Heading("6. The router delivers by verdict and removes the hold");
    const Outcome outcome = WaitFor("the mail to be delivered", [this] {
      const Sightings seen = LocateMessages(*server_);
      for (const DemoMessage& m : messages_) {
        if (!InPlace(m, seen)) return false;
      }
      return true;
    });
    if (outcome.ok()) ShowTasks();
    return outcome;
  }

  Outcome AskRouter() {
    Heading("7. Console commands: tell vtrouter totals, tell vtrouter version");
    for (const char* command : {"totals", "version"}) {
      const Status s = server_->PostConsoleCommand(kQueueName, command);
      if (!s.ok()) return StatusFailure("cannot tell vtrouter", s);
    }
    return WaitFor("the router to answer", [this] {
      return Logged("Totals for today") && Logged("VTRouter: Version ");
    });
  }

  Outcome StopRouter() {
    Heading("8. tell vtrouter quit");
    const Status s = server_->PostConsoleCommand(kQueueName, "quit");
    if (!s.ok()) return StatusFailure("cannot tell vtrouter", s);
    Outcome outcome = WaitFor(
        "the router to end", [this] { return !router_.Running(); },
        /*routerMayEnd=*/true);
    if (!outcome.ok()) return outcome;
    ShowNewLogLines();
    if (router_.exitCode() != 0) {
      return Outcome::Failure("vtrouter ended with exit status " +
                              std::to_string(router_.exitCode()));
    }
    if (!Logged("Shutdown complete")) {
      return Outcome::Failure("vtrouter ended without \"Shutdown complete\"");
    }
    std::printf("vtrouter ended with exit status 0\n");
    ShowTasks();
    return Outcome();
  }

  bool ReportPlaces() {
    Heading("9. Where each message went");
    const Sightings seen = LocateMessages(*server_);
    int misplaced = 0;
    std::printf("  %-22s %-8s %-28s %s\n", "MESSAGE", "VERDICT", "EXPECTED",
                "FOUND IN");
    for (const DemoMessage& m : messages_) {
      std::string found;
      const auto it = seen.find(m.messageId);
      if (it != seen.end()) {
        for (const Sighting& s : it->second) {
          found.append(found.empty() ? "" : ", ");
          found.append(s.path);
        }
      }
      if (found.empty()) found = "(nowhere)";
      const bool ok = InPlace(m, seen);
      if (!ok) ++misplaced;
      const std::string verdict(1, m.verdict == 0 ? '-' : m.verdict);
      std::printf("  %-22s %-8s %-28s %s%s\n", m.subject, verdict.c_str(),
                  m.expected, found.c_str(), ok ? "" : "   <-- wrong");
    }
    ListDatabases();
    if (misplaced == 0) {
      std::printf("\nEvery message ended where its verdict sends it.\n");
      return true;
    }
    std::printf("\n%d message%s did not end where %s verdict sends it.\n",
                misplaced, misplaced == 1 ? "" : "s",
                misplaced == 1 ? "its" : "their");
    return false;
  }

  // In its one expected database, verified as its verdict says, and
  // released from the hold once delivered.
  static bool InPlace(const DemoMessage& m, const Sightings& seen) {
    const auto it = seen.find(m.messageId);
    if (it == seen.end() || it->second.size() != 1) return false;
    const Sighting& s = it->second.front();
    if (s.path != m.expected) return false;
    const std::string verified = ItemValue(s.document, kItemVeltraneVerified);
    if (m.verdict == 0) return verified.empty();
    if (verified != kYes) return false;
    if (ItemValue(s.document, kItemKestoRouter) != std::string(1, m.verdict)) {
      return false;
    }
    return m.kind != Kind::kHeld ||
           ItemValue(s.document, kItemRoutingState).empty();
  }

  // Polls done, showing new log lines, until it holds or the step's time is
  // up; the router ending early fails the step at once.
  Outcome WaitFor(const std::string& what, const std::function<bool()>& done,
                  bool routerMayEnd = false) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(kStepMillis);
    while (true) {
      ShowNewLogLines();
      if (done()) {
        ShowNewLogLines();
        return Outcome();
      }
      if (!routerMayEnd && !router_.Running()) {
        return Outcome::Failure(
            "vtrouter ended unexpectedly while waiting "
            "for " +
            what);
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        return Outcome::Failure("gave up waiting for " + what + " after " +
                                std::to_string(kStepMillis / 1000) + " s");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMillis));
    }
  }

  void ShowNewLogLines() {
    if (!log_) return;
    for (std::string& line : log_->NewLines()) {
      std::printf("  log | %s\n", line.c_str());
      std::fflush(stdout);
      logged_.push_back(std::move(line));
    }
  }

  bool Logged(const std::string& text) const {
    for (const std::string& line : logged_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<ServerAdmin::TaskLine> RunningTasks() const {
    std::vector<ServerAdmin::TaskLine> running;
    for (ServerAdmin::TaskLine& line : server_->ReadTaskLines()) {
      if (line.running) running.push_back(std::move(line));
    }
    return running;
  }

  void ShowTasks() const {
    const std::vector<ServerAdmin::TaskLine> running = RunningTasks();
    std::printf("  show tasks:%s\n",
                running.empty() ? " no tasks running" : "");
    for (const ServerAdmin::TaskLine& line : running) {
      std::printf("    %s  %s\n", line.name.c_str(), line.text.c_str());
    }
  }

  void ListDatabases() const {
    std::printf("  %-30s %9s  %s\n", "DATABASE", "DOCUMENTS", "TITLE");
    for (const DatabaseSummary& d : SummarizeDatabases(*server_)) {
      std::printf("  %-30s %9u  %s\n", d.path.c_str(), d.documents,
                  d.problem.empty() ? d.title.c_str() : d.problem.c_str());
    }
  }

  // On a failure, what the router said is the best clue.
  void ShowLog() { ShowNewLogLines(); }

  bool keep_;
  std::string dir_;
  // Declared so that the router ends before the folder is removed.
  DemoFolder folder_;
  ChildProcess router_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<LogFollower> log_;
  std::vector<std::string> logged_;
  std::vector<DemoMessage> messages_;
};

}  // namespace

int RunDemo(bool keep) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Demo demo(keep);
  return demo.Run();
}

}  // namespace vt::tool
