// What the benchmarks share: a scratch data directory removed at the end, a
// server over it, and messages written in bulk (one durable transaction per
// batch) so that large databases are made quickly.
#pragma once

#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "notes/ItemValue.h"
#include "server/LocalNotesServices.h"
#include "server/LocalStoreAccess.h"
#include "server/store/Unid.h"

namespace vt::bench {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (fs::temp_directory_path() / "vtbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline bool Check(Status s, const char* what) {
  if (s.ok()) return true;
  std::fprintf(stderr, "%s failed: 0x%04X\n", what, s.value());
  return false;
}

// A started server over dir (server.ini written first), log not echoed.
inline std::unique_ptr<LocalNotesServices> MakeServer(const fs::path& dir) {
  {
    std::ofstream ini(dir / "server.ini");
    ini << "ServerName=CN=Bench/O=Example\n";
  }
  auto server = std::make_unique<LocalNotesServices>(
      LocalNotesServicesOptions{dir, nullptr, false});
  if (!Check(server->Start(), "Start")) return nullptr;
  return server;
}

inline std::string Body(int n, size_t bytes = 1900) {
  std::string body;
  body.reserve(bytes);
  std::mt19937 gen(static_cast<unsigned>(n));
  while (body.size() < bytes) {
    body.push_back(static_cast<char>('a' + gen() % 26));
    if (gen() % 7 == 0) body.push_back(' ');
  }
  body.resize(bytes);
  return body;
}

// A mail message as the mail server leaves it, plus extra summary items.
inline store::NoteRecord Message(
    int n, const std::vector<std::pair<std::string, std::string>>& extra) {
  store::NoteRecord note;
  note.unid = store::NewUnid();
  auto text = [&](const std::string& name, const std::string& value,
                  uint16_t flags) {
    note.items.Append(
        store::Item{name, kTypeText, flags, item::EncodeText(value)});
  };
  text("Form", "Memo", kItemFlagSummary);
  text("From", "sender" + std::to_string(n % 97) + "@example.com",
       kItemFlagSummary);
  note.items.Append(
      store::Item{"SendTo", kTypeTextList, kItemFlagSummary,
                  item::EncodeTextList(
                      {"user" + std::to_string(n % 13) + "@example.com"})});
  text("Subject", "Message " + std::to_string(n), kItemFlagSummary);
  text("VTMessageId", "bench-" + std::to_string(n), kItemFlagSummary);
  for (const auto& [name, value] : extra) text(name, value, kItemFlagSummary);
  text("Body", Body(n), 0);
  return note;
}

// Writes count messages into the database at path, in batches.
inline bool FillDatabase(
    LocalNotesServices& server, const char* path, int first, int count,
    const std::vector<std::pair<std::string, std::string>>& extra) {
  DbHandle db;
  if (!Check(server.OpenDatabase(path, &db), "OpenDatabase")) return false;
  store::NsfDatabase* database = vt::LocalStoreAccess::Database(server, db);
  const int kBatch = 2000;
  std::vector<store::NoteRecord> batch;
  for (int i = 0; i < count; i += kBatch) {
    batch.clear();
    const int64_t now = server.clock().NowUnixCentis();
    for (int j = i; j < count && j < i + kBatch; ++j) {
      batch.push_back(Message(first + j, extra));
      batch.back().created = now;
    }
    if (!Check(database->WriteNotes(batch, now), "WriteNotes")) return false;
  }
  return Check(server.CloseDatabase(db), "CloseDatabase");
}

inline double Seconds(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Peak resident set size of this process so far, in MiB.
inline double PeakRssMib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace vt::bench
