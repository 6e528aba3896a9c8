// The task side of the embedded server: runtime start and stop, status
// lines, scheduling (idle poll, termination, interval timers) and the
// console message queue. The server handles "quit" itself: it ends the task
// through the idle poll instead of handing the command to the task.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "notes/FixedText.h"
#include "server/LocalNotesServices.h"
#include "server/console/DataDirectoryArgument.h"

namespace vt {
namespace {

// The longest server name the router's fields hold.
constexpr size_t kMaxServerNameLength = 256;

}  // namespace

Status LocalNotesServices::StartRuntime(int argc, char** argv) {
  startupProblem_.clear();
  taskReachedItsLoop_ = false;
  char cwd[4096];
  const std::string current = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "";
  std::filesystem::path dir;
  std::string problem;
  Status s = console::FindDataDirectory(argc, argv, current, &dir, &problem);
  if (!s.ok()) {
    startupProblem_ = problem;
    return s;
  }
  s = Start(dir);
  if (!s.ok()) {
    startupProblem_ = "cannot use the data directory " + dir.string();
    return s;
  }
  // A task finds itself by the server's name (its instance guard, its
  // configuration document): without a usable one it cannot run, and must
  // not seem to.
  const std::string& name = ini_.serverName();
  if (name.empty() || name.size() > kMaxServerNameLength) {
    startupProblem_ = dataDir_.IniFile().string() +
                      ": no usable ServerName (it is missing, empty or too "
                      "long)";
    LogMessage("%s", 0, startupProblem_.c_str());
    return err::kMissingValue;
  }
  // Never as a user whose files the service could not use, never into a
  // database this version cannot read as it is.
  s = CheckOwner(&startupProblem_);
  if (s.ok()) s = CheckDataFormat(&startupProblem_);
  if (!s.ok()) {
    LogMessage("%s", 0, startupProblem_.c_str());
    return s;
  }
  runtime_ = std::make_unique<console::TaskRuntime>(
      [this] { return clock_->MonotonicMillis(); });
  // A task's log is read for days and across rotations: it says which
  // time its stamps are.
  log_.SetNameZone(true);
  statusLines_ = std::make_unique<console::StatusLines>(dataDir_.root());
  return Status();
}

void LocalNotesServices::StopRuntime() {
  queues_.RemoveIf([](const console::ConsoleQueue&) { return true; });
  statusLines_.reset();
  taskStatus_ = console::TaskStatus();
  runtime_.reset();
}

Status LocalNotesServices::StartProcessArguments(int argc, char** argv,
                                                 int* newArgc,
                                                 char*** newArgv) {
  if (newArgc != nullptr) *newArgc = argc;
  if (newArgv != nullptr) *newArgv = argv;
  return runtime_ ? Status() : Status(err::kRuntimeNotStarted);
}

void LocalNotesServices::EndProcessArguments(int, char**) {}

Status LocalNotesServices::RunProcessEntry(ProcessEntryFunction, int, char**,
                                           uint32_t, uint32_t) {
  // The task always runs in the calling process.
  return runtime_ ? Status() : Status(err::kRuntimeNotStarted);
}

Status LocalNotesServices::StartTaskRuntime(int, char**) {
  return runtime_ ? Status() : Status(err::kRuntimeNotStarted);
}

void LocalNotesServices::GetTaskModule(ModuleHandle* module, uint32_t,
                                       uint32_t) {
  if (module != nullptr) *module = ModuleHandle(1);
}

Status LocalNotesServices::EndTaskRuntime(Status taskStatus) {
  return taskStatus;
}

// ---- Status lines -------------------------------------------------------

void LocalNotesServices::SetStatusTextV(const char* format, va_list args) {
  if (!statusLines_ || format == nullptr) return;
  FixedText<console::StatusLines::kMaxTextBytes + 1> text;
  FormatBoundedV(text.span(), format, args);
  statusLines_->SetText(taskStatus_.line(), text.view()).IgnoreError();
}

void LocalNotesServices::QueryTaskDefaults(ModuleHandle* module,
                                           StatusLineHandle* line) {
  taskStatus_.Query(module, line);
}

void LocalNotesServices::DeleteStatusLine(StatusLineHandle line) {
  if (statusLines_ && line) statusLines_->Delete(line).IgnoreError();
  taskStatus_.Forget(line);
}

StatusLineHandle LocalNotesServices::CreateStatusLine(const char* taskName) {
  if (!statusLines_ || taskName == nullptr) return StatusLineHandle();
  return statusLines_->Create(taskName);
}

void LocalNotesServices::SetTaskDefaults(ModuleHandle module,
                                         StatusLineHandle line) {
  taskStatus_.Set(module, line);
}

// ---- Scheduling ---------------------------------------------------------

bool LocalNotesServices::IdlePoll() {
  // Without a runtime nothing can ever end the task: end it now.
  if (!runtime_) return true;
  taskReachedItsLoop_ = true;
  const bool end = runtime_->IdlePoll();
  if (runtime_->TakeLogReopenRequest()) log_.Reopen(Now());
  return end;
}

bool LocalNotesServices::ShouldTerminate() {
  return runtime_ ? runtime_->ShouldTerminate() : false;
}

bool LocalNotesServices::SecondsElapsed(uint32_t seconds) {
  return runtime_ ? runtime_->SecondsElapsed(seconds) : false;
}

// ---- Message queue ------------------------------------------------------

Status LocalNotesServices::OpenQueue(const char* name, uint16_t options,
                                     QueueHandle* queue) {
  if (queue != nullptr) *queue = QueueHandle();
  if (!started_) return err::kNoDataDirectory;
  if (name == nullptr || queue == nullptr) return err::kInvalidArgument;
  std::unique_ptr<console::ConsoleQueue> opened;
  const Status s = console::ConsoleQueue::Open(dataDir_.root(), name,
                                               (options & 1) != 0, &opened);
  if (!s.ok()) return s;
  const int notify = opened->NotifyFd();
  const uint32_t value = queues_.Add(std::move(opened));
  if (value == 0) return err::kNoMemory;
  if (runtime_) runtime_->SetWakeFd(notify);
  *queue = QueueHandle(value);
  return Status();
}

Status LocalNotesServices::ReadQueue(QueueHandle queue, std::span<char> buffer,
                                     uint16_t maxLength, uint16_t, uint32_t,
                                     uint16_t* length) {
  if (length != nullptr) *length = 0;
  console::ConsoleQueue* q = queues_.Find(queue.value);
  if (q == nullptr) return err::kInvalidHandle;
  if (length == nullptr) return err::kInvalidArgument;
  // The whole message first: "quit" is recognised before any cut.
  char message[console::ConsoleQueue::kMaxMessageBytes];
  uint16_t received = 0;
  const Status s = q->Read(message, sizeof message, &received);
  if (!s.ok()) return s;
  const std::string_view text(message, received);
  if (console::IsQuitCommand(text)) {
    if (runtime_) runtime_->RequestTermination();
    return err::kQueueEmpty;
  }
  const size_t n = std::min<size_t>({received, maxLength, buffer.size()});
  std::memcpy(buffer.data(), message, n);
  *length = static_cast<uint16_t>(n);
  return Status();
}

Status LocalNotesServices::CloseQueue(QueueHandle queue, uint16_t) {
  if (!queues_.Remove(queue.value)) return err::kInvalidHandle;
  if (runtime_) runtime_->SetWakeFd(-1);
  return Status();
}

}  // namespace vt
