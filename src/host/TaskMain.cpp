// Start-up, main loop and shutdown of the task. One thread; the server gets
// its turn in IdlePoll, which is also where it tells the task to end.
#include "host/TaskMain.h"

#include "config/ServerConfig.h"
#include "engine/RouterEngine.h"
#include "host/ConsoleCommands.h"
#include "host/DailyTotals.h"
#include "host/FileVersion.h"
#include "host/InstanceGuard.h"
#include "host/MovedCounters.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

constexpr uint32_t kMinuteTimer = 60;
constexpr uint32_t kReleaseTimer = 2700;
constexpr uint32_t kPassTimer = 2;

void LogLine(NotesServices& notes, const char* text) {
  notes.LogMessage("%s: %s", Status(), kTaskName, text);
}

// Runs one turn's configuration check and pass. Each block swallows every
// exception: a failure in a pass must never end the task.
void GuardedPass(RouterEngine& engine, DailyTotals& totals,
                 MovedCounters& moved) {
  const MessageCounts before = totals;
  try {
    if (engine.config->Reinitialize() == kReinitReread) {
      engine.reinitRequested = 1;
    }
  } catch (...) {
  }
  try {
    RunProcessingPass(engine, &totals);
    engine.notes.SetStatusText(
        "v%s - Mail: %ld  Spam-D: %ld  Spam-C: %ld  Spam-B: %ld",
        engine.versionText.c_str(), static_cast<long>(totals.Mail),
        static_cast<long>(totals.SpamD), static_cast<long>(totals.SpamC),
        static_cast<long>(totals.SpamB));
  } catch (...) {
  }
  moved.Add(engine.notes, before, totals);
}

}  // namespace

Status TaskMain(NotesServices& notes, SystemServices& system,
                ModuleHandle module, int /*argc*/, char** /*argv*/) {
  system.SeedRandom(static_cast<uint32_t>(system.CurrentUnixSeconds()));
  RouterEngine engine(notes, system);
  DailyTotals totals;
  StartDay(notes, totals);

  engine.instanceMutex = AcquireInstanceMutex(notes, system);
  if (!engine.instanceMutex) return Status();

  engine.versionText.Assign(kVersionUnavailable);
  FixedText<260> exePath;
  if (system.GetExecutablePath(exePath.span()) > 0) {
    ReadFileVersion(system, exePath.c_str(), engine.versionText);
  }
  notes.LogMessage("%s: Initializing version %s", Status(), kTaskName,
                   engine.versionText.c_str());
  engine.moduleHandle = module;

  ModuleHandle taskModule;
  StatusLineHandle previousLine;
  notes.QueryTaskDefaults(&taskModule, &previousLine);
  notes.DeleteStatusLine(previousLine);
  const StatusLineHandle line = notes.CreateStatusLine(kStatusLineName);
  notes.SetTaskDefaults(taskModule, line);
  notes.SetStatusText("Initializing");

  if (StartEngine(engine) != 0) {
    LogLine(notes, "Veltrane Router did not initialize properly.");
    ShutdownEngine(engine);
    system.CloseMutex(engine.instanceMutex);
    engine.instanceMutex = MutexHandle();
    return Status();
  }

  MovedCounters moved;
  moved.Start(notes, taskModule, line);

  QueueHandle queue;
  const Status queueStatus = notes.OpenQueue(kQueueName, 1, &queue);
  if (!queueStatus.ok()) {
    notes.LogMessage("%s: Unable to create message queue.", queueStatus,
                     kTaskName);
    queue = QueueHandle();
  }
  notes.LogMessage("%s: Version %s started", Status(), kTaskName,
                   engine.versionText.c_str());
  notes.SetStatusText("%s", kRunningStatus);
  PauseState pause;
  bool guardUnrestored = false;

  char command[kCommandSize + 1] = {};
  while (!notes.IdlePoll()) {
    if (queue) {
      uint16_t length = 0;
      if (notes
              .ReadQueue(queue, std::span<char>(command, kCommandSize),
                         kCommandSize, 0, 0, &length)
              .ok()) {
        command[length < kCommandSize ? length : kCommandSize] = '\0';
        HandleConsoleCommand(engine, totals, pause, command);
      }
    }
    if (notes.SecondsElapsed(kMinuteTimer)) {
      TimedPauseTick(pause);
      CheckDay(notes, totals);
    }
    if (notes.SecondsElapsed(kReleaseTimer)) engine.releaseEnabled = 1;
    if (notes.SecondsElapsed(kPassTimer)) {
      // Checked while paused too: the lock file is put back at once, and a
      // router that another has replaced ends rather than resume.
      if (!KeepInstanceMutex(notes, system, engine.instanceMutex,
                             guardUnrestored)) {
        break;
      }
      if (!pause.paused) GuardedPass(engine, totals, moved);
    }
  }

  LogLine(notes, "Shutdown is in progress");
  notes.SetStatusText("Terminating");
  if (queue) notes.CloseQueue(queue, 0).IgnoreError();
  ShutdownEngine(engine);
  system.CloseMutex(engine.instanceMutex);
  engine.instanceMutex = MutexHandle();
  LogLine(notes, "Shutdown complete");
  return Status();
}

}  // namespace vt
