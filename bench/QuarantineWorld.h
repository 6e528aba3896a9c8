// The world of the quarantine benchmarks: a data directory made by
// vtserver's init with many messages in perimeter C, split between the
// current quarantine database and one rolled over before it, plus mail in a
// mail box and a scanner 500 messages behind; and the timing they share.
#pragma once

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench/BenchSupport.h"
#include "datadir/DataDirInit.h"
#include "datadir/MailItems.h"
#include "server/LocalStoreAccess.h"

namespace vt::bench {

inline constexpr char kCurrent[] = "Veltrane/QuarantineC_2.nsf";
inline constexpr char kRolledOver[] = "Veltrane/QuarantineC_1.nsf";

// A server as the reading commands open one: without the full check of
// each database file on first use.
inline std::unique_ptr<vt::LocalNotesServices> ReadingServer(
    const fs::path& dir) {
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
inline bool FillQuarantine(vt::LocalNotesServices& server, const char* path,
                           int first, int count, int64_t newest) {
  if (!Check(server.CreateDatabase(path, vt::kDatabaseClass, false), path)) {
    return false;
  }
  vt::DbHandle db;
  if (!Check(server.OpenDatabase(path, &db), "OpenDatabase")) return false;
  vt::store::NsfDatabase* database = vt::LocalStoreAccess::Database(server, db);
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
inline bool ConfigureCurrent(vt::LocalNotesServices& server) {
  vt::DbHandle admin;
  if (!Check(server.OpenDatabase(vt::tool::kAdminDatabasePath, &admin),
             "admin")) {
    return false;
  }
  bool ok = false;
  vt::LocalStoreAccess::Database(server, admin)
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

inline bool MakeWorld(const fs::path& dir, int messages) {
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
                                   vt::kDatabaseClass, false),
             "scan box")) {
    return false;
  }
  return FillDatabase(server, "mail.box", messages, 1000,
                      {{"VeltraneVerified", "1"}, {"Kesto_Router", "M"}}) &&
         FillDatabase(server, "Veltrane/Scan/Scan_1.box", messages + 1000, 500,
                      {{"VeltraneProcess", "1"}});
}

// The times of rounds runs of work in milliseconds, sorted.
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

inline void Report(const char* what, const std::vector<double>& ms,
                   double aimMs) {
  const double median = ms[ms.size() / 2];
  std::printf(
      "%s: median %.1f ms, best %.1f, worst %.1f   aim under %.0f ms "
      "-> %s\n",
      what, median, ms.front(), ms.back(), aimMs,
      median < aimMs ? "met" : "MISSED");
}

}  // namespace vt::bench
