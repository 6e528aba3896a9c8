// Episodes of a repeating failure.
#include "log/FailureEpisodes.h"

#include <algorithm>

namespace vt {

namespace {

bool Episodic(Status status) {
  return status.Is(err::kDiskFull) || status.Is(err::kServerNotResponding);
}

}  // namespace

bool FailureEpisodes::Begin(Status status) {
  if (status.Is(episode_)) return false;
  // A new episode, or another kind of one: said, and counted afresh.
  episode_ = status.code();
  heldBack_ = 0;
  failedSearches_.clear();
  return true;
}

bool FailureEpisodes::ShouldLog(Status status) {
  if (!Episodic(status)) return true;
  if (Begin(status)) return true;
  ++heldBack_;
  return false;
}

bool FailureEpisodes::ShouldLogSearch(Status status, DbHandle db) {
  if (!Episodic(status)) return true;
  const bool begun = Begin(status);
  if (std::find(failedSearches_.begin(), failedSearches_.end(), db) ==
      failedSearches_.end()) {
    failedSearches_.push_back(db);
  }
  return begun;
}

void FailureEpisodes::Succeeded(TaskLog& log) {
  if (episode_ == 0) return;
  if (heldBack_ > 0) {
    log.Log(Status(), "%lu further messages could not be moved while %s.",
            static_cast<unsigned long>(heldBack_),
            episode_ == err::kDiskFull ? "the disk was full"
                                       : "a database server did not respond");
  }
  episode_ = 0;
  heldBack_ = 0;
  failedSearches_.clear();
}

void FailureEpisodes::SearchSucceeded(DbHandle db, TaskLog& log) {
  if (episode_ == err::kServerNotResponding &&
      std::find(failedSearches_.begin(), failedSearches_.end(), db) !=
          failedSearches_.end()) {
    Succeeded(log);
  }
}

}  // namespace vt
