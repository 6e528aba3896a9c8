// A task's defaults: the module it runs as and the status line that
// SetStatusText writes to. Kept apart from the lines themselves because a
// task may create several lines and switch which one is current.
#pragma once

#include "notes/Handles.h"

namespace vt::console {

class TaskStatus {
 public:
  // Each place may be null.
  void Query(ModuleHandle* module, StatusLineHandle* line) const {
    if (module != nullptr) *module = module_;
    if (line != nullptr) *line = line_;
  }
  void Set(ModuleHandle module, StatusLineHandle line) {
    module_ = module;
    line_ = line;
  }
  // Once its line is deleted the task has no current line, and
  // QueryTaskDefaults says so.
  void Forget(StatusLineHandle line) {
    if (line_ == line) line_ = StatusLineHandle();
  }

  ModuleHandle module() const { return module_; }
  StatusLineHandle line() const { return line_; }

 private:
  ModuleHandle module_;
  StatusLineHandle line_;
};

}  // namespace vt::console
