// Fuzzes the console command handler with any message: NUL bytes, format
// directives, text up to and past the 500 bytes the queue carries. Behind it
// is a real engine over a data directory made once per process. Each command
// must do and log what it stands for, an unknown one echoed as received
// (never used as a format), with every log line bounded and nothing left
// open. A new quarantine is undone after the checks, so that every input
// starts from the same databases and a long run does not pile them up.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "FuzzWorld.h"
#include "databases/DatabaseCreation.h"
#include "datadir/DataDirInit.h"
#include "engine/EngineDatabases.h"
#include "engine/RouterEngine.h"
#include "host/ConsoleCommands.h"

namespace vt::fuzzing {
namespace {

constexpr char kServerName[] = "CN=Mail1/O=Example";
constexpr char kVersion[] = "1.0.0.0";
constexpr char kTotalsLine[] =
    "VTRouter: Totals for today - Mail: 4  Spam-D: 3  Spam-C: 2  Spam-B: 1";

// A data directory as `vtserver init` makes it and a started engine over it.
class World {
 public:
  explicit World(const fs::path& folder)
      : dir_(folder / "data"), system_(folder) {
    const tool::Outcome made =
        tool::InitDataDirectory(dir_.string(), kServerName);
    if (!made.ok()) {
      Fail("cannot make the data directory: %s", made.message().c_str());
    }
    LocalNotesServicesOptions options;
    options.dataDirectory = dir_;
    options.echoToStdout = false;
    server_ = std::make_unique<LocalNotesServices>(options);
    if (!server_->Start().ok()) Fail("the server did not start");
    notes_ = std::make_unique<CountingNotes>(*server_);
    engine_ = std::make_unique<RouterEngine>(*notes_, system_);
    if (StartEngine(*engine_) != 0) {
      const auto& lines = server_->LogLines();
      Fail("the engine did not start: %s",
           lines.empty() ? "(no log)" : lines.back().c_str());
    }
    engine_->versionText.Assign(kVersion);
    FillKeptLines(*server_);
    totals_.Mail = 4;
    totals_.SpamD = 3;
    totals_.SpamC = 2;
    totals_.SpamB = 1;
    openDatabases_ = notes_->openDatabases();
    memoryBlocks_ = notes_->memoryBlocks();
    idTables_ = notes_->idTables();
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;
  ~World() {
    // The engine releases through the wrapper, the wrapper into the server.
    engine_.reset();
    notes_.reset();
    server_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void Handle(const char* message);

 private:
  // One quarantine of the engine, as newqb, newqc or newqd name it.
  struct Perimeter {
    std::unique_ptr<MailDatabase>* slot;
    FixedText<kPathSize>* path;
    const FixedText<kServerNameSize>* server;
    const char* templatePath;
    const char* title;
    EarlierQuarantines* earlier;
  };
  Perimeter PerimeterOf(char letter);
  // Checks a roll-over's log against the configuration, then puts the old
  // quarantine back.
  void CheckRollOver(const Perimeter& p, const FixedText<kPathSize>& before,
                     const std::deque<std::string_view>& texts);
  void CheckNothingLeftOpen() const;

  fs::path dir_;
  FuzzSystem system_;
  std::unique_ptr<LocalNotesServices> server_;
  std::unique_ptr<CountingNotes> notes_;
  std::unique_ptr<RouterEngine> engine_;
  DailyTotals totals_;
  int openDatabases_ = 0;
  int memoryBlocks_ = 0;
  int idTables_ = 0;
  uint64_t runs_ = 0;
};

// The command word rule, written out again: ASCII letters fold, nothing
// else does.
bool Begins(std::string_view message, std::string_view word) {
  if (message.size() < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = message[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

void ExpectOneLine(const std::deque<std::string_view>& texts,
                   std::string_view expected) {
  if (texts.size() != 1 || texts.front() != expected) {
    Fail("expected the one line '%.*s', got %zu lines",
         static_cast<int>(expected.size()), expected.data(), texts.size());
  }
}

World::Perimeter World::PerimeterOf(char letter) {
  RouterEngine& e = *engine_;
  ServerConfig& c = *e.config;
  switch (letter) {
    case 'b':
      return {&e.quarantineB,
              &c.quarantinePathB,
              &c.quarantineServerB,
              kQuarantineTemplate,
              kTitleB,
              &e.earlierQuarantines[0]};
    case 'c':
      return {&e.quarantineC,
              &c.quarantinePathC,
              &c.quarantineServerC,
              kQuarantineTemplate,
              kTitleC,
              &e.earlierQuarantines[1]};
    default:
      return {&e.quarantineD,
              &c.quarantinePathD,
              &c.quarantineServerD,
              kQuarantineDTemplate,
              kTitleD,
              &e.earlierQuarantines[2]};
  }
}

void World::CheckRollOver(const Perimeter& p,
                          const FixedText<kPathSize>& before,
                          const std::deque<std::string_view>& texts) {
  // "Created new database X." names the new quarantine, which the
  // configuration now holds; without it the old one stays.
  constexpr std::string_view kCreated = "VTRouter: Created new database ";
  bool created = false;
  for (const std::string_view text : texts) {
    if (!text.starts_with(kCreated)) continue;
    const std::string_view name = text.substr(kCreated.size());
    if (!name.ends_with('.') ||
        name.substr(0, name.size() - 1) != p.path->view()) {
      Fail("new quarantine logged as '%.*s' but configured as '%s'",
           static_cast<int>(text.size()), text.data(), p.path->c_str());
    }
    created = true;
  }
  if (!created) {
    if (!(before == p.path->view())) Fail("quarantine renamed unannounced");
    return;
  }
  if (before == p.path->view()) Fail("new quarantine under the old name");

  fs::path file;
  if (!server_->dataDirectory().Resolve(p.path->view(), &file).ok()) {
    Fail("new quarantine %s outside the data directory", p.path->c_str());
  }
  p.slot->reset(new MailDatabase(*notes_));  // closes the new one
  // The roll-over kept the old one open as an earlier quarantine; it
  // becomes the current one again.
  p.earlier->Clear();
  p.path->Assign(before.view());
  if (!OpenOrCreateDatabase(**p.slot, p.server->c_str(), p.path->c_str(),
                            p.templatePath, p.title, engine_->config->dbHandle)
           .ok() ||
      !engine_->config->SaveQuarantineNames().ok()) {
    Fail("cannot put quarantine %s back", before.c_str());
  }
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    fs::remove(file.string() + suffix, ec);
  }
}

void World::CheckNothingLeftOpen() const {
  if (notes_->openDatabases() != openDatabases_ || notes_->openNotes() != 0 ||
      notes_->collections() != 0 || notes_->memoryBlocks() != memoryBlocks_ ||
      notes_->idTables() != idTables_) {
    Fail(
        "handles left: %d databases (%d before), %d notes, %d collections, "
        "%d memory blocks (%d before), %d ID tables (%d before)",
        notes_->openDatabases(), openDatabases_, notes_->openNotes(),
        notes_->collections(), notes_->memoryBlocks(), memoryBlocks_,
        notes_->idTables(), idTables_);
  }
}

void World::Handle(const char* message) {
  RouterEngine& engine = *engine_;
  PauseState pause;
  engine.releaseEnabled = 0;
  const FixedText<kPathSize> before[3] = {
      FixedText<kPathSize>(engine.config->quarantinePathB.view()),
      FixedText<kPathSize>(engine.config->quarantinePathC.view()),
      FixedText<kPathSize>(engine.config->quarantinePathD.view())};
  const int logCalls = notes_->LogCalls();
  const int statusTexts = notes_->statusTexts;

  HandleConsoleCommand(engine, totals_, pause, message);

  KeepLogSmall(*server_, ++runs_);
  const std::deque<std::string_view> texts =
      LastLines(*server_, notes_->LogCalls() - logCalls);
  const std::string_view m(message);
  const bool statusSet = notes_->statusTexts != statusTexts;
  if (Begins(m, "pause30")) {
    ExpectOneLine(texts, "VTRouter: Paused for 30 minutes");
    if (!pause.paused || !pause.timedPause || pause.timedPauseMinutes != 0 ||
        notes_->statusText != "Paused") {
      Fail("pause30 did not start a timed pause");
    }
  } else if (Begins(m, "pause")) {
    ExpectOneLine(texts, "VTRouter: Paused");
    if (!pause.paused || pause.timedPause || notes_->statusText != "Paused") {
      Fail("pause did not pause");
    }
  } else if (Begins(m, "resume")) {
    ExpectOneLine(texts, "VTRouter: Resumed");
    if (pause.paused || notes_->statusText != kRunningStatus) {
      Fail("resume did not resume");
    }
  } else if (Begins(m, "enablerelease")) {
    if (!texts.empty() || engine.releaseEnabled != 1) {
      Fail("enablerelease did not (only) enable the release");
    }
  } else if (Begins(m, "newqb") || Begins(m, "newqc") || Begins(m, "newqd")) {
    const char letter = static_cast<char>(m[4] | 0x20);
    CheckRollOver(PerimeterOf(letter), before[letter - 'b'], texts);
  } else if (Begins(m, "version")) {
    ExpectOneLine(texts, std::string("VTRouter: Version ") + kVersion);
  } else if (Begins(m, "totals")) {
    ExpectOneLine(texts, kTotalsLine);
  } else {
    // Shown as received, cut where the log's 1024-byte buffer ends, with
    // control bytes other than tabs written as '?' by the log.
    std::string expected = "VTRouter: Unknown command ";
    expected.append(m);
    if (expected.size() > 1023) expected.resize(1023);
    for (char& c : expected) {
      const auto byte = static_cast<unsigned char>(c);
      if ((byte < 0x20 && byte != '\t') || byte == 0x7F) c = '?';
    }
    ExpectOneLine(texts, expected);
  }
  if (!Begins(m, "pause") && !Begins(m, "resume") &&
      (pause.paused || pause.timedPause || statusSet)) {
    Fail("a command other than pause or resume changed the pause state");
  }
  if (!Begins(m, "enablerelease") && engine.releaseEnabled != 0) {
    Fail("a command other than enablerelease enabled the release");
  }
  // Only its own newq command changes a quarantine (and it is back now).
  const FixedText<kPathSize>* now[3] = {&engine.config->quarantinePathB,
                                        &engine.config->quarantinePathC,
                                        &engine.config->quarantinePathD};
  for (int i = 0; i < 3; ++i) {
    if (!(before[i] == now[i]->view())) Fail("a quarantine path changed");
  }
  CheckTerminated(engine.config->quarantinePathB, "quarantinePathB");
  CheckTerminated(engine.config->quarantinePathC, "quarantinePathC");
  CheckTerminated(engine.config->quarantinePathD, "quarantinePathD");
  CheckNothingLeftOpen();
}

// The scratch folder outlives the world in it; both go at exit.
struct State {
  ScratchFolder folder;
  std::unique_ptr<World> world;
};

State& TheState() {
  static State state;
  return state;
}

}  // namespace
}  // namespace vt::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace vt::fuzzing;
  State& state = TheState();
  state.world = std::make_unique<World>(state.folder.path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt::fuzzing;
  State& state = TheState();
  // As the task reads it: at most 500 bytes, terminated after them (an
  // embedded NUL ends the text sooner).
  char command[vt::kCommandSize + 1] = {};
  const size_t n = size < vt::kCommandSize ? size : vt::kCommandSize;
  if (n > 0) std::memcpy(command, data, n);
  command[n] = '\0';
  state.world->Handle(command);

  // The handler itself has no limit: longer text must be cut by the log.
  if (size > vt::kCommandSize &&
      std::memchr(data, '\0', vt::kCommandSize) == nullptr) {
    const std::string whole(reinterpret_cast<const char*>(data), size);
    state.world->Handle(whole.c_str());
  }
  return 0;
}
