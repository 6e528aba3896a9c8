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

#include "DataDirInit.h"
#include "MailItems.h"
#include "Quarantine.h"
#include "RouterSettings.h"
#include "Stats.h"
#include "bench/BenchSupport.h"

namespace {

using namespace vt::bench;

constexpr char kCurrent[] = "Veltrane/QuarantineC_2.nsf";
constexpr char kRolledOver[] = "Veltrane/QuarantineC_1.nsf";

// A server as the reading commands open one: without the full check of
// each database file on first use.
std::unique_ptr<vt::LocalNotesServices> ReadingServer(const fs::path& dir) {
  vt::LocalNotesServicesOptions options;
  options.dataDirectory = dir;
  options.echoToStdout = false;
  options.checkDatabases = false;
  auto server = std::make_unique<vt::LocalNotesServices>(options);
  if (!Check(server->Start(), "Start")) return nullptr;
  return server;
}

// Messages as the router leaves them in quarantine, written a minute apart
// so that the sort has real work; the oldest first.
bool FillQuarantine(vt::LocalNotesServices& server, const char* path, int first,
                    int count, int64_t newest) {
  if (!Check(server.CreateDatabase(path, vt::tool::kDatabaseClass, false),
             path)) {
    return false;
  }
  vt::DbHandle db;
  if (!Check(server.OpenDatabase(path, &db), "OpenDatabase")) return false;
  vt::store::NsfDatabase* database = server.Database(db);
  const int kBatch = 2000;
  std::vector<vt::store::NoteRecord> batch;
  for (int i = 0; i < count; i += kBatch) {
    batch.clear();
    for (int j = i; j < count && j < i + kBatch; ++j) {
      batch.push_back(Message(
          first + j, {{"VeltraneVerified", "1"}, {"Kesto_Router", "C"}}));
      batch.back().created = newest - int64_t{6000} * (count - j);
    }
    if (!Check(database->WriteNotes(batch, server.clock().NowUnixCentis()),
               "WriteNotes")) {
      return false;
    }
  }
  return Check(server.CloseDatabase(db), "CloseDatabase");
}

// Points perimeter C of the configuration document at the current file.
bool ConfigureCurrent(vt::LocalNotesServices& server) {
  vt::DbHandle admin;
  if (!Check(server.OpenDatabase(vt::tool::kAdminDatabasePath, &admin),
             "admin")) {
    return false;
  }
  bool ok = false;
  server.Database(admin)
      ->ForEachNote(vt::kNoteClassDocument,
                    [&](const vt::store::ScanEntry& entry) {
                      vt::NoteHandle note;
                      if (!server.OpenNote(admin, entry.id, 0, &note).ok()) {
                        return vt::Status();
                      }
                      const auto text = vt::item::EncodeText(kCurrent);
                      server.DeleteItem(note, "CatCQNsfD", 9).IgnoreError();
                      ok = server
                               .AppendItem(note, vt::kItemFlagSummary,
                                           "CatCQNsfD", 9, vt::kTypeText,
                                           text.data(),
                                           static_cast<uint32_t>(text.size()))
                               .ok() &&
                           server.UpdateNote(note, 0).ok();
                      server.CloseNote(note).IgnoreError();
                      return vt::Status();
                    })
      .IgnoreError();
  server.CloseDatabase(admin).IgnoreError();
  return ok;
}

bool MakeWorld(const fs::path& dir, int messages) {
  const vt::tool::Outcome made =
      vt::tool::InitDataDirectory(dir.string(), "CN=Bench/O=Example");
  if (!made.ok()) {
    std::fprintf(stderr, "init failed: %s\n", made.message().c_str());
    return false;
  }
  vt::LocalNotesServices server({dir, nullptr, false});
  if (!Check(server.Start(), "Start")) return false;
  const int64_t now = server.clock().NowUnixCentis();
  const int older = messages * 3 / 5;
  if (!ConfigureCurrent(server) ||
      !FillQuarantine(server, kRolledOver, 0, older, now - 360000 * 24) ||
      !FillQuarantine(server, kCurrent, older, messages - older, now)) {
    return false;
  }
  // Delivered mail and a scanner behind by 500 messages.
  if (!Check(server.CreateDatabase("Veltrane/Scan/Scan_1.box",
                                   vt::tool::kDatabaseClass, false),
             "scan box")) {
    return false;
  }
  return FillDatabase(server, "mail.box", messages, 1000,
                      {{"VeltraneVerified", "1"}, {"Kesto_Router", "M"}}) &&
         FillDatabase(server, "Veltrane/Scan/Scan_1.box", messages + 1000, 500,
                      {{"VeltraneProcess", "1"}});
}

// The work of `quarantine list` without its printing; the messages found.
size_t ListQuarantine(const fs::path& dir) {
  const auto reading = ReadingServer(dir);
  if (!reading) return 0;
  vt::LocalNotesServices& server = *reading;
  vt::tool::RouterSettings settings;
  if (!vt::tool::ReadRouterSettings(server, &settings).ok()) return 0;
  std::vector<vt::tool::QuarantinedMessage> found;
  for (const vt::tool::QuarantineFile& file :
       vt::tool::QuarantineFiles(server, settings, 0)) {
    const vt::tool::Outcome outcome = vt::tool::ForEachQuarantined(
        server, file,
        [&](const vt::tool::QuarantinedMessage& m) { found.push_back(m); });
    if (!outcome.ok()) return 0;
  }
  std::sort(found.begin(), found.end(),
            [](const vt::tool::QuarantinedMessage& a,
               const vt::tool::QuarantinedMessage& b) {
              return a.created != b.created ? a.created > b.created
                                            : a.noteId > b.noteId;
            });
  return found.size();
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
    server.Database(db)
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

template <typename Work>
std::vector<double> Timed(int rounds, Work work) {
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    const auto start = SteadyClock::now();
    work();
    ms.push_back(Seconds(start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return ms;
}

void Report(const char* what, const std::vector<double>& ms, double aimMs) {
  const double median = ms[ms.size() / 2];
  std::printf(
      "%s: median %.1f ms, best %.1f, worst %.1f   aim under %.0f ms "
      "-> %s\n",
      what, median, ms.front(), ms.back(), aimMs,
      median < aimMs ? "met" : "MISSED");
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
