// The administrator's view of a large quarantine: a data directory made by
// vtserver's init with 100,000 messages in perimeter C, split between the
// current quarantine database and one rolled over before it, plus some mail
// in a mail box and a scan box. Each figure is the median of fresh runs, a
// new server each time as every vtserver command starts with one:
//   (a) `quarantine list`: every message of every quarantine database of
//       the perimeters, sorted newest first (aim: under 1 s);
//   (b) `stats`: the figures of the whole data directory (aim: under 200 ms);
// both beside their floor, one bare summary scan of the same messages.
//
//   bench_quarantine [MESSAGES] [ROUNDS]     (defaults 100000 and 5)
#include <algorithm>
#include <cstdlib>

#include "bench/QuarantineWorld.h"
#include "datadir/RouterSettings.h"
#include "quarantine/Quarantine.h"
#include "server/LocalStoreAccess.h"
#include "stats/Stats.h"

namespace {

using namespace vt::bench;

// The work of `quarantine list` without its printing; the messages found.
size_t ListQuarantine(const fs::path& dir) {
  const auto reading = ReadingServer(dir);
  if (!reading) return 0;
  vt::LocalNotesServices& server = *reading;
  vt::tool::RouterSettings settings;
  if (!vt::tool::ReadRouterSettings(server, &settings).ok()) return 0;
  vt::tool::QuarantinePage page;
  const vt::tool::Outcome outcome = vt::tool::ListQuarantined(
      server, vt::tool::QuarantineFiles(server, settings, 0), {}, &page);
  return outcome.ok() ? page.messages.size() : 0;
}

uint64_t GatherStats(const fs::path& dir) {
  const auto reading = ReadingServer(dir);
  if (!reading) return 0;
  vt::LocalNotesServices& server = *reading;
  const vt::tool::Stats stats = vt::tool::GatherStats(server);
  if (stats.quarantines.size() != 3) return 0;
  // Both files of perimeter C, the current one as configured.
  const vt::tool::QuarantineStats& c = stats.quarantines[1];
  return c.files == 2 && c.path == kCurrent ? c.messages : 0;
}

// The floor under both: one summary scan of every quarantined message, as
// the store gives it, with nothing done per message.
size_t ScanQuarantine(const fs::path& dir) {
  const auto reading = ReadingServer(dir);
  if (!reading) return 0;
  vt::LocalNotesServices& server = *reading;
  size_t n = 0;
  for (const char* path : {kRolledOver, kCurrent}) {
    vt::DbHandle db;
    if (!Check(server.OpenDatabase(path, &db), path)) return 0;
    vt::LocalStoreAccess::Database(server, db)
        ->ForEachNote(vt::kNoteClassDocument,
                      [&](const vt::store::ScanEntry&) {
                        ++n;
                        return vt::Status();
                      })
        .IgnoreError();
    server.CloseDatabase(db).IgnoreError();
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  ScratchDir scratch;
  const fs::path dir = scratch.path() / "data";
  const auto made = SteadyClock::now();
  if (!MakeWorld(dir, messages)) return 1;
  std::printf("made %d quarantined messages in %.1f s\n", messages,
              Seconds(made));

  size_t scanned = 0;
  const std::vector<double> floor =
      Timed(rounds, [&] { scanned = ScanQuarantine(dir); });
  std::printf("baseline: one summary scan of %zu messages: median %.1f ms\n",
              scanned, floor[floor.size() / 2]);

  size_t listed = 0;
  const std::vector<double> list =
      Timed(rounds, [&] { listed = ListQuarantine(dir); });
  if (listed != static_cast<size_t>(messages)) {
    std::fprintf(stderr, "listed %zu of %d messages\n", listed, messages);
    return 1;
  }
  Report("(a) quarantine list of 100,000 messages", list, 1000);

  uint64_t counted = 0;
  const std::vector<double> stats =
      Timed(rounds, [&] { counted = GatherStats(dir); });
  if (counted != static_cast<uint64_t>(messages)) {
    std::fprintf(stderr, "stats counted %llu of %d messages\n",
                 static_cast<unsigned long long>(counted), messages);
    return 1;
  }
  Report("(b) stats of the data directory", stats, 200);
  std::printf("peak resident memory: %.1f MiB\n", PeakRssMib());
  return 0;
}
