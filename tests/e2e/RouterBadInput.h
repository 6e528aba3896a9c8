// The fixture of the tests that give a running vtrouter bad input for
// real: a data directory with the router's databases, messages sent in
// batches whose end places are known, configuration documents written item
// by item (of any type), and what the router logged since a mark.
#pragma once

#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "DataDirTest.h"
#include "datadir/ConfigDocument.h"
#include "datadir/DataDir.h"
#include "datadir/Databases.h"
#include "datadir/MailItems.h"
#include "datadir/SaveLock.h"
#include "notes/HandleOwners.h"
#include "notes/ItemValue.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::e2e {

namespace fs = std::filesystem;

inline constexpr int kRouterMillis =
    30000;  // generous: the router works every 2 s
inline constexpr char kScanBox1[] = "Veltrane/Scan/Scan_1.box";
inline constexpr char kScanBox2[] = "Veltrane/Scan/Scan_2.box";
inline constexpr char kQuarantineB[] = "Veltrane/QuarantineB_1.nsf";
inline constexpr char kQuarantineC[] = "Veltrane/QuarantineC_1.nsf";
inline constexpr char kQuarantineD[] = "Veltrane/QuarantineD_1.nsf";
inline constexpr char kOutside[] = "Path leads outside the data directory";
inline constexpr char kDamaged[] = "File is not a database or is damaged";

// Where the messages of one `vtserver send` must be at the end: count of
// them, each in exactly one of places (none when count is 0), with the
// verdict given (empty: never scanned).
struct Batch {
  std::string subject;
  int count = 0;
  std::vector<std::string> places;
  std::string verdict;
};

// An item written straight into the configuration document, of any type
// (vtserver types items by name, an administrator's client need not);
// type 0 removes it.
struct TypedItem {
  std::string name;
  uint16_t type = 0;
  std::vector<uint8_t> value;
};

inline TypedItem NumberItem(const std::string& name, double value) {
  return {name, kTypeNumber, item::EncodeNumber(value)};
}

inline TypedItem TextItem(const std::string& name, const std::string& value) {
  return {name, kTypeText, item::EncodeText(value)};
}

inline TypedItem Removed(const std::string& name) { return {name, 0, {}}; }

inline std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A text as the server log writes it: control bytes as '?', so that no
// text can start what looks like a line of its own.
inline std::string AsLogged(const std::string& text) {
  std::string logged;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    logged.push_back((byte < 0x20 && byte != '\t') || byte == 0x7F ? '?' : c);
  }
  return logged;
}

// A database path of exactly length characters.
inline std::string LongPath(size_t length) {
  const std::string head = "Veltrane\\";
  const std::string tail = ".nsf";
  return head + std::string(length - head.size() - tail.size(), 'q') + tail;
}

class RouterBadInput : public DataDirTest {
 protected:
  void SetUp() override {
    DataDirTest::SetUp();
    if (HasFatalFailure()) return;
    serverName_ = UniqueServerName();
    Init(serverName_);
  }

  // The log from a mark (its size then) on: what one step caused.
  size_t Mark() const { return ServerLog().size(); }
  std::string LogSince(size_t mark) const {
    const std::string log = ServerLog();
    return mark < log.size() ? log.substr(mark) : std::string();
  }
  bool LoggedSince(size_t mark, const std::string& text) const {
    return LogSince(mark).find(text) != std::string::npos;
  }
  bool WaitForLogSince(size_t mark, const std::string& text) const {
    return WaitUntil([&] { return LoggedSince(mark, text); }, kRouterMillis);
  }

  // The scanner's verdict for every unverified message of the configured
  // scan boxes (or of db); expected says how many must get it, which
  // catches a batch that arrived earlier or later than the test thinks.
  void Scan(char verdict, int expected, const std::string& db = {}) {
    std::vector<std::string> args = {"scan", dir(), "--verdict",
                                     std::string(1, verdict)};
    if (!db.empty()) args.insert(args.end(), {"--db", db});
    const RunResult r = Vt(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::to_string(expected) + " messages given verdict " +
                         std::string(1, verdict) + "\n");
  }

  // The same over the configured scan boxes when one of them cannot be
  // opened: the others get their verdicts, then the failure is reported.
  void ExpectScanWithOneFailure(char verdict, int expected) {
    const RunResult r =
        Vt({"scan", dir(), "--verdict", std::string(1, verdict)});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsOneLineError(r));
    EXPECT_EQ(r.out, std::to_string(expected) + " messages given verdict " +
                         std::string(1, verdict) + "\n");
  }

  void Config(const std::vector<std::string>& assignments) {
    // --force: these tests give the router what vtserver config refuses.
    std::vector<std::string> args = {"config", dir(), "--force"};
    args.insert(args.end(), assignments.begin(), assignments.end());
    const RunResult r = Vt(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  // Writes items into the configuration document as any other writer must:
  // under the machine-wide save lock, in one update.
  void WriteConfigItems(const std::vector<TypedItem>& items) {
    std::unique_ptr<LocalNotesServices> server;
    ASSERT_TRUE(tool::OpenDataDirectory(dir(), &server).ok());
    Database admin(*server);
    uint32_t noteId = 0;
    ASSERT_TRUE(
        tool::OpenConfigDocument(*server, serverName_, admin, &noteId).ok());
    PosixSystemServices system;
    tool::ConfigSaveLock lock(system);
    ASSERT_TRUE(lock.Acquire().ok());
    Note note(*server);
    ASSERT_TRUE(note.Open(admin.handle(), noteId).ok());
    for (const TypedItem& item : items) {
      ASSERT_TRUE(server->DeleteItem(note.handle(), item.name.c_str(), 0).ok());
      if (item.type == 0) continue;
      ASSERT_TRUE(server
                      ->AppendItem(note.handle(), kItemFlagSummary,
                                   item.name.c_str(), 0, item.type,
                                   item.value.data(),
                                   static_cast<uint32_t>(item.value.size()))
                      .ok());
    }
    ASSERT_TRUE(server->UpdateNote(note.handle(), 0).ok());
  }

  // Still there and still listening: its process, its status line, and an
  // answer to a console command.
  void ExpectAlive(BackgroundProcess& router) {
    ASSERT_TRUE(router.Running()) << RouterOutput();
    const RunResult tasks = Vt({"show", dir(), "tasks"});
    EXPECT_NE(tasks.out.find("VeltraneRouter  "), std::string::npos)
        << tasks.out;
    const size_t mark = Mark();
    const RunResult totals = Vt({"tell", dir(), "vtrouter", "totals"});
    ASSERT_EQ(totals.exitCode, 0) << totals.err;
    EXPECT_TRUE(WaitForLogSince(mark, "VTRouter: Totals for today - Mail: "))
        << ServerLog();
  }

  void Quit(BackgroundProcess& router) {
    const size_t mark = Mark();
    const RunResult quit = Vt({"tell", dir(), "vtrouter", "quit"});
    ASSERT_EQ(quit.exitCode, 0) << quit.err;
    ASSERT_TRUE(router.WaitForExit(kRouterMillis)) << RouterOutput();
    EXPECT_EQ(router.exitCode(), 0);
    EXPECT_TRUE(LoggedSince(mark, "VTRouter: Shutdown complete"))
        << ServerLog();
  }

  // Starts a router from another executable (a copy beside its own INI
  // file) and waits until it says it started.
  void StartRouterAt(const fs::path& program, BackgroundProcess& router) {
    const size_t mark = Mark();
    ASSERT_TRUE(router.Start(program.string(), {"--data", dir()},
                             (folder() / "router.out").string()));
    const bool started = WaitUntil(
        [&] {
          const std::string log = LogSince(mark);
          const size_t at = log.find("VTRouter: Version ");
          return at != std::string::npos &&
                 log.find(" started\n", at) != std::string::npos;
        },
        kRouterMillis);
    ASSERT_TRUE(started) << "the router did not start; its output:\n"
                         << RouterOutput();
  }

  // Every message this test sent, read from the store once no router runs:
  // each batch in exactly one of its places, with its verdict, and no
  // message that no batch accounts for.
  void ExpectPlaces(const std::vector<Batch>& batches) const {
    LocalNotesServicesOptions options;
    options.dataDirectory = dir();
    options.echoToStdout = false;
    LocalNotesServices server(options);
    ASSERT_TRUE(server.Start().ok());
    const tool::Sightings seen = tool::LocateMessages(server);
    std::map<std::string, int> found;
    for (const auto& [id, places] : seen) {
      const std::string subject =
          tool::ItemValue(places.front().document, tool::kItemSubject);
      const auto batch =
          std::find_if(batches.begin(), batches.end(),
                       [&](const Batch& b) { return b.subject == subject; });
      if (batch == batches.end()) {
        ADD_FAILURE() << "message " << id << " (" << subject << ") in "
                      << places.front().path << " was never sent";
        continue;
      }
      ++found[subject];
      std::string where;
      for (const tool::Sighting& s : places) where += " " + s.path;
      EXPECT_EQ(places.size(), 1u)
          << "message " << id << " (" << subject << ") is in" << where;
      for (const tool::Sighting& s : places) {
        EXPECT_NE(std::find(batch->places.begin(), batch->places.end(), s.path),
                  batch->places.end())
            << "message " << id << " (" << subject << ") is in " << s.path;
        EXPECT_EQ(tool::ItemValue(s.document, vt::kItemKestoRouter),
                  batch->verdict)
            << "message " << id << " (" << subject << ") in " << s.path;
        EXPECT_EQ(tool::ItemValue(s.document, vt::kItemVeltraneVerified),
                  batch->verdict.empty() ? "" : "1")
            << "message " << id << " (" << subject << ") in " << s.path;
      }
    }
    for (const Batch& b : batches) {
      EXPECT_EQ(found[b.subject], b.count)
          << b.subject << ": " << b.count << " expected";
    }
  }

  // Every file and folder under the test's folder but the data directory:
  // what a path leading out of it would have made.
  std::set<std::string> OutsideEntries() const {
    std::set<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(folder())) {
      names.insert(e.path().filename().string());
    }
    return names;
  }

  // The file names under the data directory that contain text.
  std::vector<std::string> FilesNamed(const std::string& text) const {
    std::vector<std::string> hits;
    for (const fs::directory_entry& e :
         fs::recursive_directory_iterator(dir())) {
      const std::string name = e.path().filename().string();
      if (name.find(text) != std::string::npos) hits.push_back(name);
    }
    return hits;
  }

  // Overwrites a database file and its write-ahead log and shared-memory
  // index in place (the same inode, as a disk fault or a stray writer
  // would), so that a process holding them open meets the garbage.
  void Garble(const std::string& path, std::mt19937& random) const {
    const fs::path file = fs::path(dir()) / path;
    for (const char* suffix : {"", "-wal", "-shm"}) {
      fs::path p = file;
      p += suffix;
      if (!fs::exists(p)) continue;
      const size_t size = std::max<size_t>(fs::file_size(p), 4096);
      std::string bytes(size, '\0');
      for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
      std::fstream out(p, std::ios::binary | std::ios::in | std::ios::out);
      ASSERT_TRUE(out.good()) << p;
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
  }

  void RemoveDatabase(const std::string& path) const {
    const fs::path file = fs::path(dir()) / path;
    for (const char* suffix : {"", "-wal", "-shm"}) {
      fs::path p = file;
      p += suffix;
      fs::remove(p);
    }
  }

  // Moves a database that no process has open, with its log and index.
  void MoveDatabase(const std::string& from, const std::string& to) const {
    const fs::path source = fs::path(dir()) / from;
    const fs::path target = fs::path(dir()) / to;
    fs::create_directories(target.parent_path());
    for (const char* suffix : {"", "-wal", "-shm"}) {
      fs::path s = source;
      s += suffix;
      fs::path t = target;
      t += suffix;
      if (fs::exists(s)) fs::rename(s, t);
    }
  }

  // A copy of vtrouter in this test's own folder, so that an INI file can
  // sit beside it without touching the build tree other tests share.
  fs::path CopyRouter() const {
    const fs::path bin = folder() / "bin";
    fs::create_directories(bin);
    const fs::path program = bin / "vtrouter";
    fs::copy_file(VtRouterPath(), program);
    fs::permissions(program, fs::perms::owner_all);
    return program;
  }

  std::string serverName_;
};

}  // namespace vt::e2e
