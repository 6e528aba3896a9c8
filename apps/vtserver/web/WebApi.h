// What the web console shows and does, as JSON, apart from HTTP: the
// overview, the log, the quarantine and its actions. The pages draw from
// these alone, so the API under /api/ serves everything a page shows.
//
// Reading goes through one long-lived server over the data directory, one
// request at a time (an embedded server serves one thread at a time).
// Every change (release, delete) opens a server of its own with every
// database checked before anything is written, exactly as the command line
// does, and holds the quarantine lock that releases and purges share.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "datadir/JsonOut.h"
#include "datadir/Outcome.h"
#include "datadir/RouterSettings.h"
#include "quarantine/Quarantine.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// Where a reader of the log is: the file (its device and inode, so that a
// rotation shows) and the offset after the last complete line it read.
struct LogPosition {
  std::string file;
  uint64_t offset = 0;
};

// Which messages a change is for: these IDs, or every message a search of
// one perimeter (0: all) finds, however many pages it fills.
struct ChangeSelection {
  std::vector<std::string> ids;
  bool matching = false;
  char perimeter = 0;
  QuarantineQuery query;
};

class WebApi {
 public:
  // The page size of the quarantine listing when none is asked for, and
  // the most one page holds.
  static constexpr size_t kDefaultPageSize = 50;
  static constexpr size_t kMaxPageSize = 500;
  // Lines of the log a reader starts with.
  static constexpr size_t kLogTailLines = 500;

  // dir is the data directory as given; reader is started over it.
  WebApi(std::string dir, LocalNotesServices& reader)
      : dir_(std::move(dir)), reader_(reader) {}
  WebApi(const WebApi&) = delete;
  WebApi& operator=(const WebApi&) = delete;

  // `vtserver stats --json` under "stats", and the router's moves per
  // minute and route over the last hours under "flow".
  Json Overview(int hours);
  // `vtserver stats --json` alone.
  Json StatsOnly();
  // `vtserver stats --prometheus`.
  std::string Metrics();

  // Whether the reader's task runtime was told to end (SIGTERM, SIGINT),
  // asked in turn with the readings.
  bool EndRequested();

  // The log's lines after from (or its last lines when from is none, or
  // names another file or a place past its end), and where to go on.
  Json Log(const LogPosition* from);

  // A page of the quarantine of one perimeter (0: all), newest first.
  Outcome Quarantine(char perimeter, const QuarantineQuery& query, Json* out);
  // One quarantined message with every item.
  Outcome Message(const std::string& id, Json* out);

  // Releases each message into the mail box named to (empty: the router's
  // first), as `vtserver quarantine release` does, and with learn teaches
  // the engines each released one as ham; a result per ID. Learning without
  // engines is refused before anything is released.
  Outcome Release(const ChangeSelection& selection, const std::string& to,
                  bool learn, Json* out);
  // Deletes each message from the quarantine, as `vtserver quarantine
  // purge` deletes old ones; a result per ID.
  Outcome Delete(const ChangeSelection& selection, Json* out);

 private:
  // Runs a change on a server of its own (its databases checked when
  // opened) with the router's settings, holding the quarantine lock.
  using Change = std::function<Outcome(LocalNotesServices& writer,
                                       const RouterSettings& settings)>;
  Outcome RunChange(const Change& change);

  const std::string dir_;
  std::mutex readerMutex_;
  LocalNotesServices& reader_;
};

}  // namespace vt::tool
