// The tasks' status lines, where `vtserver show DIR tasks` reads them: one
// small file per line under <dir>/.vtserver/status/, replaced whole on every
// change, and a lock beside it held for as long as the line's owner lives,
// so a line left behind by a task that died reads as not running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "notes/Handles.h"
#include "notes/Status.h"
#include "server/console/RuntimeFiles.h"

namespace vt::console {

struct StatusLineInfo {
  std::string name;  // the task name the line was created for
  std::string text;
  bool running = false;  // its owner process still holds it
  pid_t pid = 0;         // the owner, as it recorded itself
};

class StatusLines {
 public:
  // Longer texts and task names are cut to these.
  static constexpr size_t kMaxTextBytes = 1024;
  static constexpr size_t kMaxNameBytes = 64;

  explicit StatusLines(std::filesystem::path dir);
  StatusLines(const StatusLines&) = delete;
  StatusLines& operator=(const StatusLines&) = delete;
  // Deletes the lines still held: a task's lines go when it ends.
  ~StatusLines();

  // A new line with empty text; a null handle when it cannot be made (no
  // data directory, no disk). A line of the same name left by a dead task
  // is taken over; a live one's stays, and the new line is made beside it.
  StatusLineHandle Create(std::string_view taskName);
  // kInvalidHandle for a line that is unknown or deleted.
  Status SetText(StatusLineHandle line, std::string_view text);
  Status Delete(StatusLineHandle line);

  // Every line on file, sorted by name, running or left behind.
  static std::vector<StatusLineInfo> ReadAll(const std::filesystem::path& dir);

 private:
  struct Line {
    std::string name;
    std::filesystem::path file;
    std::filesystem::path lockFile;
    UniqueFd lock;
  };

  Status Write(const Line& line, std::string_view text);
  void Remove(Line& line);

  std::filesystem::path dir_;
  uint32_t lastHandle_ = 0;
  std::map<uint32_t, Line> lines_;
};

}  // namespace vt::console
