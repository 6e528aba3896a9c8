// The task host's view of the server, scripted turn by turn: the idle poll
// ends the task after a given number of turns, interval timers fire on the
// turns a test names, console commands arrive on chosen turns, and every
// status text is recorded. Everything else reaches the real server.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/FaultyNotes.h"

namespace vt::testing {

class ScriptedNotes : public FaultyNotes {
 public:
  explicit ScriptedNotes(NotesServices& target) : FaultyNotes(target) {}

  // ---- the script ----
  int turns = 1;  // IdlePoll reports the end before turn turns + 1
  // seconds -> turns (1-based) on which SecondsElapsed(seconds) fires.
  std::map<uint32_t, std::set<int>> timers;
  // turn -> command read from the queue on that turn.
  std::map<int, std::string> commands;
  Status openQueueStatus;
  Status serverNameStatus;
  // Called at the start of each turn (after the idle poll), for tests that
  // change the world between turns.
  std::function<void(int)> onTurn;

  // ---- what happened ----
  int turn = 0;
  std::vector<std::string> statusTexts;
  std::vector<std::string> statusLinesCreated;
  int statusLinesDeleted = 0;
  int queueReads = 0;
  int queueCloses = 0;

  bool IdlePoll() override {
    FaultyNotes::IdlePoll();
    if (turn >= turns) return true;
    ++turn;
    if (onTurn) onTurn(turn);
    return false;
  }
  bool SecondsElapsed(uint32_t seconds) override {
    auto it = timers.find(seconds);
    return it != timers.end() && it->second.count(turn) > 0;
  }
  Status OpenQueue(const char*, uint16_t, QueueHandle* queue) override {
    *queue = openQueueStatus.ok() ? QueueHandle(7) : QueueHandle();
    return openQueueStatus;
  }
  Status ReadQueue(QueueHandle, std::span<char> buffer, uint16_t maxLength,
                   uint16_t, uint32_t, uint16_t* length) override {
    ++queueReads;
    auto it = commands.find(turn);
    if (it == commands.end()) return err::kQueueEmpty;
    const size_t n =
        std::min<size_t>({it->second.size(), maxLength, buffer.size()});
    std::memcpy(buffer.data(), it->second.data(), n);
    *length = static_cast<uint16_t>(n);
    return Status();
  }
  Status CloseQueue(QueueHandle, uint16_t) override {
    ++queueCloses;
    return Status();
  }
  void SetStatusTextV(const char* format, va_list args) override {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    statusTexts.emplace_back(text);
  }
  StatusLineHandle CreateStatusLine(const char* name) override {
    statusLinesCreated.emplace_back(name);
    return StatusLineHandle(3);
  }
  void DeleteStatusLine(StatusLineHandle) override { ++statusLinesDeleted; }
  void QueryTaskDefaults(ModuleHandle* module,
                         StatusLineHandle* line) override {
    *module = ModuleHandle(1);
    *line = StatusLineHandle(2);
  }
  void SetTaskDefaults(ModuleHandle, StatusLineHandle) override {}
  Status GetServerIdName(std::span<char> name) override {
    if (!serverNameStatus.ok()) return serverNameStatus;
    return FaultyNotes::GetServerIdName(name);
  }
};

}  // namespace vt::testing
