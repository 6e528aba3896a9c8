// A moment in which no message moves between two databases of a data
// directory, for whatever must see them all at once or change where a
// message is (backup's snapshots, check's repair): releases and purges of
// this machine wait for it, as they wait for each other, and the router is
// paused. Mail the mail server deposits and the scanner's verdicts go on:
// they move nothing between databases.
#pragma once

#include <cstdint>
#include <optional>

#include "datadir/Outcome.h"
#include "maintenance/RouterPause.h"
#include "quarantine/QuarantineLock.h"
#include "quarantine/QuarantinePurge.h"
#include "quarantine/QuarantineRelease.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

class MovesHeld {
 public:
  explicit MovesHeld(const LocalNotesServices& server) : router_(server) {}
  MovesHeld(const MovesHeld&) = delete;
  MovesHeld& operator=(const MovesHeld&) = delete;
  // The router resumes first, then releases and purges may go.
  ~MovesHeld() = default;

  // Waits for a release or purge under way (30 s at most), then pauses the
  // router; a failure says which could not be waited for.
  Outcome Hold();
  void Let();

  // How long Hold waited for the quarantine lock.
  int64_t lockWaitMillis() const { return lockWaitMillis_; }
  const RouterPause& router() const { return router_; }

 private:
  std::optional<QuarantineLock> lock_;
  RouterPause router_;
  int64_t lockWaitMillis_ = 0;
};

}  // namespace vt::tool
