// How fast the embedded server moves messages (CopyNote durable, DeleteNote
// made durable by the next sync of its log) compared with plain SQLite doing
// the same row moves at the same durability (insert FULL, delete NORMAL).
// The server should reach at least half the plain rate.
//
//   bench_copy_delete [N]     N messages of about 2 KB (default 2000)
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/PlainSqlite.h"
#include "notes/ItemValue.h"
#include "server/LocalNotesServices.h"
#include "server/LocalStoreAccess.h"

namespace {

using vt::bench::Body;
using vt::bench::Check;
using vt::bench::ScratchDir;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Both sides are filled first, then moved in alternating slices, so that a
// burst of other disk traffic slows both alike.
constexpr int kSlices = 10;

class ServerSide {
 public:
  bool Setup(const fs::path& dir, int count) {
    {
      std::ofstream ini(dir / "server.ini");
      ini << "ServerName=CN=Bench/O=Example\n";
    }
    server_ = std::make_unique<vt::LocalNotesServices>(
        vt::LocalNotesServicesOptions{dir, nullptr, false});
    vt::LocalNotesServices& server = *server_;
    if (!Check(server.Start(), "Start") ||
        !Check(server.CreateDatabase("a.nsf", 0, false), "CreateDatabase") ||
        !Check(server.CreateDatabase("b.nsf", 0, false), "CreateDatabase") ||
        !Check(server.OpenDatabase("a.nsf", &a_), "OpenDatabase") ||
        !Check(server.OpenDatabase("b.nsf", &b_), "OpenDatabase")) {
      return false;
    }
    ids_.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      vt::NoteHandle note;
      if (!Check(server.CreateNote(a_, &note), "CreateNote")) return false;
      const std::string subject = "Message " + std::to_string(i);
      const std::string body = Body(i);
      vt::Status s = server.SetTextItem(note, "Form", "Memo", 0xFFFF);
      if (s.ok()) {
        s = server.SetTextItem(note, "Subject", subject.c_str(), 0xFFFF);
      }
      if (s.ok()) s = server.SetTextItem(note, "From", "a@example.com", 0xFFFF);
      if (s.ok()) {
        const auto sendTo =
            vt::item::EncodeTextList({"b@example.com", "c@example.com"});
        s = server.AppendItem(note, vt::kItemFlagSummary, "SendTo", 6,
                              vt::kTypeTextList, sendTo.data(),
                              static_cast<uint32_t>(sendTo.size()));
      }
      if (s.ok()) s = server.SetTextItem(note, "VeltraneProcess", "1", 0xFFFF);
      if (s.ok()) {
        s = server.AppendItem(note, 0, "Body", 4, vt::kTypeText, body.data(),
                              static_cast<uint32_t>(body.size()));
      }
      if (s.ok()) s = server.UpdateNote(note, 0);
      if (!Check(s, "writing a message")) return false;
      ids_.push_back(vt::LocalStoreAccess::Note(server, note)->id);
      if (!Check(server.CloseNote(note), "CloseNote")) return false;
    }
    return true;
  }

  // Seconds taken to move messages [from, to), negative on failure.
  double Move(int from, int to) {
    const auto start = Clock::now();
    for (int i = from; i < to; ++i) {
      const uint32_t id = ids_[static_cast<size_t>(i)];
      uint32_t newId = 0;
      uint16_t newClass = 0;
      if (!Check(server_->CopyNote(a_, 0, 0, id, b_, 0, 0, 0, 0, &newId,
                                   &newClass),
                 "CopyNote") ||
          !Check(server_->DeleteNote(a_, id, 0), "DeleteNote")) {
        return -1;
      }
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  std::unique_ptr<vt::LocalNotesServices> server_;
  vt::DbHandle a_;
  vt::DbHandle b_;
  std::vector<uint32_t> ids_;
};

}  // namespace

int main(int argc, char** argv) {
  int count = 2000;
  if (argc > 1) count = std::atoi(argv[1]);
  if (count <= 0) {
    std::fprintf(stderr, "usage: %s [MESSAGES]\n", argv[0]);
    return 2;
  }
  ScratchDir dir;
  if (dir.path().empty()) {
    std::fprintf(stderr, "cannot make a temporary directory\n");
    return 1;
  }
  fs::create_directory(dir.path() / "server");
  fs::create_directory(dir.path() / "plain");

  ServerSide server;
  vt::bench::PlainSide plain;
  if (!server.Setup(dir.path() / "server", count) ||
      !plain.Setup(dir.path() / "plain", count, /*durableDelete=*/false)) {
    std::fprintf(stderr, "setting up failed\n");
    return 1;
  }
  double serverSeconds = 0;
  double plainSeconds = 0;
  for (int slice = 0; slice < kSlices; ++slice) {
    const int from = count * slice / kSlices;
    const int to = count * (slice + 1) / kSlices;
    const double s = server.Move(from, to);
    const double p = plain.Move(from, to);
    if (s < 0 || p < 0) return 1;
    serverSeconds += s;
    plainSeconds += p;
  }
  const double serverRate = count / serverSeconds;
  const double plainRate = count / plainSeconds;
  std::printf("messages:           %d of about 2 KB\n", count);
  std::printf("NotesServices:      %.0f messages/s (CopyNote + DeleteNote)\n",
              serverRate);
  std::printf(
      "plain SQLite:       %.0f messages/s (insert FULL + delete NORMAL)\n",
      plainRate);
  std::printf("ratio:              %.2f (target at least 0.50)\n",
              serverRate / plainRate);
  return 0;
}
