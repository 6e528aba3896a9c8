// A failure that strikes every message while it lasts, a full disk or a
// database server that does not respond, would log one line per message and
// pass: tens of thousands of lines in minutes, on the very disk that is
// full. Such a failure is logged once when its episode begins, and once
// more, with the count held back, when the next success ends it.
#pragma once

#include <cstdint>
#include <vector>

#include "log/TaskLog.h"
#include "notes/Handles.h"

namespace vt {

class FailureEpisodes {
 public:
  // Whether the line of a message's failure with this status is to be
  // written: every other status always, a full disk or a server not
  // responding only at the start of its episode; one held back is counted.
  bool ShouldLog(Status status);
  // The same for a failed search of db, which is not counted.
  bool ShouldLogSearch(Status status, DbHandle db);
  // A message moved: an episode under way ends, and its held-back count is
  // logged.
  void Succeeded(TaskLog& log);
  // A search of db worked: a server that failed db's searches in this
  // episode answers again, which ends the episode. (Other databases, files
  // of this machine, answer all along; a full disk does not stop searches.)
  void SearchSucceeded(DbHandle db, TaskLog& log);

 private:
  // Starts an episode unless one of this kind is under way; whether it did.
  bool Begin(Status status);

  uint16_t episode_ = 0;  // the status code of the episode under way, or 0
  uint32_t heldBack_ = 0;
  std::vector<DbHandle> failedSearches_;
};

}  // namespace vt
