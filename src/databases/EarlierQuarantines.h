// The quarantines a perimeter rolled over from most recently, kept open
// beside the current one. A message whose copy into a quarantine was made
// just before a roll-over, and whose deletion from its scan box failed (a
// killed router, a scan box another process held), is delivered again at a
// later pass: it must find its first copy there, or the deletion stub an
// administrator's release left, and not go into the new quarantine too.
// Only the latest few files are asked: a move waits at most a few passes
// for its deletion, and roll-overs come far apart.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>

#include "databases/MailDatabase.h"

namespace vt {

class EarlierQuarantines {
 public:
  static constexpr size_t kKept = 2;
  // How far below the current number a start looks for earlier files.
  static constexpr int64_t kSearchedNumbers = 50;

  // After a roll-over: the record rolled away from is the latest earlier
  // one (it stays open); the oldest kept is closed.
  void Remember(std::unique_ptr<MailDatabase> rolledFrom);
  // After a start or a re-initialisation, when nothing remembers them: the
  // nearest lower-numbered files of current's series still on disk,
  // opened. One that cannot be opened is logged and passed over.
  void Find(NotesServices& notes, const MailDatabase& current);
  // Closes and forgets them all.
  void Clear();

  // The open ones, latest first.
  std::span<const DbHandle> handles() const {
    return {handles_.data(), count_};
  }

 private:
  void Refresh();

  std::array<std::unique_ptr<MailDatabase>, kKept> records_;
  std::array<DbHandle, kKept> handles_{};
  size_t count_ = 0;
};

}  // namespace vt
