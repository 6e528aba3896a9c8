// Bad input given to a running vtrouter for real: configuration documents
// with values of the wrong type or length and paths that leave the data
// directory, console commands of every size and byte, an INI file full of
// odd lines, databases and templates overwritten with garbage. Each time
// the router must say what went wrong, keep running, and lose no message
// that was not inside the damaged file itself.
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

#include "ConfigDocument.h"
#include "DataDir.h"
#include "DataDirTest.h"
#include "Databases.h"
#include "Handles.h"
#include "MailItems.h"
#include "SaveLock.h"
#include "server/store/ItemValue.h"
#include "system/posix/PosixSystemServices.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr int kRouterMillis = 30000;  // generous: the router works every 2 s
constexpr char kScanBox1[] = "Veltrane/Scan/Scan_1.box";
constexpr char kScanBox2[] = "Veltrane/Scan/Scan_2.box";
constexpr char kQuarantineB[] = "Veltrane/QuarantineB_1.nsf";
constexpr char kQuarantineC[] = "Veltrane/QuarantineC_1.nsf";
constexpr char kQuarantineD[] = "Veltrane/QuarantineD_1.nsf";
constexpr char kOutside[] = "Path leads outside the data directory";
constexpr char kDamaged[] = "File is not a database or is damaged";

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

TypedItem NumberItem(const std::string& name, double value) {
  return {name, kTypeNumber, item::EncodeNumber(value)};
}

TypedItem TextItem(const std::string& name, const std::string& value) {
  return {name, kTypeText, item::EncodeText(value)};
}

TypedItem Removed(const std::string& name) { return {name, 0, {}}; }

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A text as the server log writes it: control bytes as '?', so that no
// text can start what looks like a line of its own.
std::string AsLogged(const std::string& text) {
  std::string logged;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    logged.push_back((byte < 0x20 && byte != '\t') || byte == 0x7F ? '?' : c);
  }
  return logged;
}

// A database path of exactly length characters.
std::string LongPath(size_t length) {
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

  void Send(const std::string& subject, int count, const std::string& db = {}) {
    std::vector<std::string> args = {
        "send", dir(), "--count", std::to_string(count), "--subject", subject};
    if (!db.empty()) args.insert(args.end(), {"--db", db});
    const RunResult r = Vt(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
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
    std::vector<std::string> args = {"config", dir()};
    args.insert(args.end(), assignments.begin(), assignments.end());
    const RunResult r = Vt(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  // Writes items into the configuration document as any other writer must:
  // under the machine-wide save lock, in one update.
  void WriteConfigItems(const std::vector<TypedItem>& items) {
    std::unique_ptr<LocalNotesServices> server;
    ASSERT_TRUE(tool::OpenDataDirectory(dir(), &server).ok());
    tool::Database admin(*server);
    uint32_t noteId = 0;
    ASSERT_TRUE(
        tool::OpenConfigDocument(*server, serverName_, admin, &noteId).ok());
    PosixSystemServices system;
    tool::ConfigSaveLock lock(system);
    ASSERT_TRUE(lock.Acquire().ok());
    tool::Note note(*server);
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

  int Count(const std::string& path, const std::string& subject) const {
    const std::vector<StoredMessage> messages = Messages(path);
    return static_cast<int>(std::count_if(
        messages.begin(), messages.end(), [&](const StoredMessage& m) {
          return m.Item(tool::kItemSubject) == subject;
        }));
  }
  bool WaitForCount(const std::string& path, const std::string& subject,
                    int count) const {
    return WaitUntil([&] { return Count(path, subject) == count; },
                     kRouterMillis);
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
        EXPECT_EQ(tool::ItemValue(s.document, tool::kItemKestoRouter),
                  batch->verdict)
            << "message " << id << " (" << subject << ") in " << s.path;
        EXPECT_EQ(tool::ItemValue(s.document, tool::kItemVeltraneVerified),
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

TEST_F(RouterBadInput, ConfigValuesOfTheWrongTypeOrTooLongAreRefused) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("before", 2);
  if (HasFatalFailure()) return;

  // What vtserver can check itself it refuses before writing anything.
  const std::string shown = Vt({"config", dir()}).out;
  for (const std::string& assignment :
       {std::string("MaxQuarantineSize=abc"),
        std::string("ReleaseMailMinutes= 15"),
        std::string("AlternateInterceptor=1x"),
        std::string("MaxQuarantineSize=1e999"), std::string("MailboxNsf=;;"),
        "ScanningNsf=" + std::string(500, 's'), std::string("=mail.box"),
        std::string("Mail-box=x")}) {
    EXPECT_TRUE(IsOneLineError(Vt({"config", dir(), assignment})))
        << assignment;
  }
  EXPECT_EQ(Vt({"config", dir()}).out, shown);

  // Values too long for the router's fields, past every buffer: each is
  // refused, the field keeps what it had, and nothing is re-initialised.
  size_t mark = Mark();
  Config({"CatBQNsfD=" + LongPath(260), "CatCQNsfD=" + LongPath(5000),
          "CatDQServer=" + std::string(300, 'S'),
          "MailboxServer=CN=" + std::string(300, 'M'),
          "ScanningServer=" + std::string(300, 's')});
  if (HasFatalFailure()) return;
  const std::string tooLong = "VTRouter: Configuration value ";
  ASSERT_TRUE(WaitForLogSince(
      mark, tooLong + "CatDQServer is too long (at most 256 characters). "
                      "Buffer is too small\n"))
      << LogSince(mark);
  for (const std::string& line :
       {tooLong + "MailboxServer is too long (at most 256 characters). ",
        tooLong + "ScanningServer is too long (at most 256 characters). ",
        tooLong + "CatBQNsfD is too long (at most 259 characters). ",
        tooLong + "CatCQNsfD is too long (at most 259 characters). "}) {
    EXPECT_TRUE(LoggedSince(mark, line)) << line << "\n" << LogSince(mark);
  }
  ASSERT_TRUE(WaitForCount(kScanBox1, "before", 2)) << LogSince(mark);
  Scan('B', 2);
  ASSERT_TRUE(WaitForCount(kQuarantineB, "before", 2)) << LogSince(mark);
  EXPECT_FALSE(LoggedSince(mark, "Reinitialize successful.")) << LogSince(mark);
  EXPECT_TRUE(FilesNamed("qqqq").empty());
  ExpectAlive(router);
  if (HasFatalFailure()) return;

  // A number where text belongs reads as its text, as in Notes: server
  // "42" is no server this one knows, so no mail box opens. Text where a
  // number belongs reads as the default. Mail then waits where it is.
  mark = Mark();
  WriteConfigItems({NumberItem("MailboxServer", 42),
                    NumberItem("ScanningNsf", 3),
                    TextItem("MaxQuarantineSize", "abc"),
                    TextItem("ReleaseMailMinutes", "15"), Removed("CatBQNsfD"),
                    Removed("CatCQNsfD"), Removed("CatDQServer"),
                    Removed("ScanningServer")});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(mark,
                              "VTRouter: Unable to open any mail boxes on the "
                              "mail box list.  Veltrane disabled.\n"))
      << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark, "VTRouter: Reinitialize successful.\n"));
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Unable to open database '42!!mail.box'.  "
                          "Skipping database. Unable to find path to server"))
      << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Missing scanning database names in "
                          "configuration document.  Adding defaults."));
  Send("during", 2);
  if (HasFatalFailure()) return;
  ExpectAlive(router);
  if (HasFatalFailure()) return;
  EXPECT_EQ(Count("mail.box", "during"), 2);

  // A good configuration again: the waiting mail flows.
  mark = Mark();
  Config({"MailboxServer=", "ScanningNsf=", "MaxQuarantineSize=2048",
          "ReleaseMailMinutes="});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "during", 2)) << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark, "VTRouter: Reinitialize successful.\n"));
  Scan('M', 2);
  ASSERT_TRUE(WaitForCount("mail.box", "during", 2)) << LogSince(mark);
  ASSERT_TRUE(
      WaitUntil([&] { return Messages(kScanBox1).empty(); }, kRouterMillis));
  Quit(router);
  ExpectPlaces(
      {{"before", 2, {kQuarantineB}, "B"}, {"during", 2, {"mail.box"}, "M"}});
}

TEST_F(RouterBadInput, DatabasePathsThatLeaveTheDataDirectoryAreNotOpened) {
  // A mail box beyond the tenth name, holding a message the router must
  // never see.
  {
    std::unique_ptr<LocalNotesServices> server;
    ASSERT_TRUE(tool::OpenDataDirectory(dir(), &server).ok());
    ASSERT_TRUE(
        server->CreateDatabase("mail11.box", tool::kDatabaseClass, false).ok());
  }
  Send("eleventh", 1, "mail11.box");
  if (HasFatalFailure()) return;
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  const std::set<std::string> outsideBefore = OutsideEntries();
  const std::string absolute = folder().string() + "/abs.box";

  // Twenty mail boxes, the first three leading out; scan boxes likewise.
  std::string mailboxes =
      "../out.box;" + absolute + ";C:\\Mail\\mail.box;mail.box";
  for (int n = 5; n <= 20; ++n) {
    mailboxes += ";mail" + std::to_string(n) + ".box";
  }
  // Mail on its way while the edit is read; it ends in the scan box left.
  Send("first", 2);
  if (HasFatalFailure()) return;
  size_t mark = Mark();
  Config({"MailboxNsf=" + mailboxes,
          "ScanningNsf=../scan.box;" + folder().string() +
              "/scan.box;C:\\scan.box;Veltrane\\Scan\\Scan_1.box"});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(mark, "VTRouter: Unable to open database local " +
                                        folder().string() + "/scan.box. " +
                                        kOutside))
      << LogSince(mark);
  for (const std::string& line :
       {std::string("VTRouter: Only ten Mailbox values may be specified in "
                    "the configuration document.\n"),
        std::string("VTRouter: Reinitialize successful.\n"),
        std::string("VTRouter: Unable to open database '../out.box'.  "
                    "Skipping database. ") +
            kOutside,
        "VTRouter: Unable to open database '" + absolute +
            "'.  Skipping database. " + kOutside,
        std::string("VTRouter: Unable to open database 'C:\\Mail\\mail.box'.  "
                    "Skipping database. ") +
            kOutside,
        std::string("VTRouter: Unable to open database 'mail10.box'.  "
                    "Skipping database. File does not exist"),
        std::string("VTRouter: Unable to open database local ../scan.box. ") +
            kOutside,
        std::string("VTRouter: Unable to open database local C:\\scan.box. ") +
            kOutside}) {
    EXPECT_TRUE(LoggedSince(mark, line)) << line << "\n" << LogSince(mark);
  }
  EXPECT_FALSE(LoggedSince(mark, "mail11.box"));
  EXPECT_FALSE(LoggedSince(mark, "Created new"));

  // Mail still flows between the one mail box and the one scan box left.
  ASSERT_TRUE(WaitForCount(kScanBox1, "first", 2)) << LogSince(mark);
  // The scanner's stand-in reports the configured scan boxes it cannot
  // open, after giving its verdicts in the good one.
  ExpectScanWithOneFailure('M', 2);
  ASSERT_TRUE(WaitForCount("mail.box", "first", 2)) << LogSince(mark);

  // A quarantine outside: refused, and the router stops moving mail until
  // the configuration changes again.
  mark = Mark();
  Config({"CatBQNsfD=../escapeB.nsf"});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(
      mark, std::string("VTRouter: Unable to open database  ../escapeB.nsf. ") +
                kOutside))
      << LogSince(mark);
  Send("stuck", 2);
  if (HasFatalFailure()) return;
  mark = Mark();
  const std::string escapeC = folder().string() + "/escapeC.nsf";
  Config({"CatBQNsfD=", "CatCQNsfD=" + escapeC});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(
      mark, "VTRouter: Unable to open database  " + escapeC + ". " + kOutside))
      << LogSince(mark);
  EXPECT_EQ(Count("mail.box", "stuck"), 2);
  ExpectAlive(router);
  if (HasFatalFailure()) return;

  // A good configuration again.
  mark = Mark();
  Config({"CatCQNsfD=", "MailboxNsf=mail.box", "ScanningNsf="});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "stuck", 2)) << LogSince(mark);
  Scan('D', 2);
  ASSERT_TRUE(WaitForCount(kQuarantineD, "stuck", 2)) << LogSince(mark);
  Quit(router);

  EXPECT_EQ(OutsideEntries(), outsideBefore);
  EXPECT_FALSE(fs::exists(absolute));
  EXPECT_FALSE(fs::exists(escapeC));
  for (const char* name : {"escape", "out.box", "abs.box", "scan.box"}) {
    EXPECT_TRUE(FilesNamed(name).empty()) << name;
  }
  ExpectPlaces({{"eleventh", 1, {"mail11.box"}, ""},
                {"first", 2, {"mail.box"}, "M"},
                {"stuck", 2, {kQuarantineD}, "D"}});
}

TEST_F(RouterBadInput, ConsoleCommandsOfEverySizeAndByteAreTakenLiterally) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("console", 2);
  if (HasFatalFailure()) return;
  const size_t mark = Mark();

  // Refused by vtserver, nothing posted.
  for (const std::string& empty : {std::string(), std::string("   ")}) {
    const RunResult r = Vt({"tell", dir(), "vtrouter", empty});
    EXPECT_TRUE(IsOneLineError(r));
    EXPECT_EQ(r.err, "vtserver: the command is empty\n");
  }
  const std::string over = "o" + std::string(500, '1');
  const RunResult refused = Vt({"tell", dir(), "vtrouter", over});
  EXPECT_TRUE(IsOneLineError(refused));
  EXPECT_NE(refused.err.find("501"), std::string::npos) << refused.err;

  // Every other byte argv can carry, format directives, and the sizes up to
  // the queue's limit reach the router whole; its answer shows them as
  // typed, but for control bytes, which the log writes as '?'.
  std::string binary = "bin";
  for (int b = 1; b <= 0xFF; ++b) binary.push_back(static_cast<char>(b));
  const std::string directives = "%s%n%x%p%%%999999999s%.99999f%c%ls%hhn";
  const std::string longest = "l" + std::string(499, '0');
  const std::string shorter = "s" + std::string(498, '9');
  for (const std::string& command :
       {std::string("x"), shorter, longest, binary, directives}) {
    const RunResult r = Vt({"tell", dir(), "vtrouter", command});
    EXPECT_EQ(r.exitCode, 0) << r.err;
  }
  ASSERT_EQ(longest.size(), 500u);
  ASSERT_EQ(Vt({"tell", dir(), "vtrouter", "totals"}).exitCode, 0);
  // Commands are read in the order they were posted: after the totals,
  // every earlier one has had its answer.
  ASSERT_TRUE(WaitForLogSince(mark, "VTRouter: Totals for today"))
      << LogSince(mark);
  const std::string log = LogSince(mark);
  const std::string unknown = "VTRouter: Unknown command ";
  EXPECT_NE(log.find(unknown + "x\n"), std::string::npos) << log;
  EXPECT_NE(log.find(unknown + shorter + "\n"), std::string::npos);
  EXPECT_NE(log.find(unknown + longest + "\n"), std::string::npos);
  EXPECT_NE(log.find(unknown + AsLogged(binary) + "\n"), std::string::npos)
      << log;
  std::string controls;
  for (int b = 1; b < 0x20; ++b) {
    if (b != '\t' && b != '\n') controls.push_back(static_cast<char>(b));
  }
  controls.push_back('\x7F');
  EXPECT_EQ(ServerLog().find_first_of(controls), std::string::npos);
  EXPECT_NE(log.find(unknown + directives + "\n"), std::string::npos) << log;
  EXPECT_EQ(log.find(over.substr(0, 100)), std::string::npos);

  ExpectAlive(router);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "console", 2)) << ServerLog();
  Scan('C', 2);
  ASSERT_TRUE(WaitForCount(kQuarantineC, "console", 2)) << ServerLog();
  Quit(router);
  ExpectPlaces({{"console", 2, {kQuarantineC}, "C"}});
}

TEST_F(RouterBadInput, AnIniFileWithOddLinesStillLeadsToTheAdministration) {
  const fs::path program = CopyRouter();
  const fs::path ini = program.parent_path() / "Veltrane.ini";
  // Only the INI file knows where the administration database is now.
  MoveDatabase("Veltrane/VeltraneAdmin.nsf", "Admin/Moved.nsf");
  std::string binary;
  for (int b = 1; b <= 0xFF; ++b) {
    if (b != '\n') binary.push_back(static_cast<char>(b));
  }
  const std::vector<std::string> odd = {
      "\xEF\xBB\xBF; a byte order mark first",
      "a line with no equals sign",
      "[Admin NSF",  // never closed: not the section
      "Server=Unclosed/Example",
      "NSF=Veltrane\\VeltraneAdmin.nsf",
      binary,
      "[Other]",
      "NSF=Other.nsf",
      std::string(5000, 'k') + "=" + std::string(5000, 'v'),
      "[admin nsf]",
      "another line with no equals sign",
      "Server = local ",
      "Server=Second/Example",  // the first of a key counts
      "NSF = Admin\\Moved.nsf",
      "NSF=Veltrane\\VeltraneAdmin.nsf",
      "Long=" + std::string(10000, 'z'),
      "[a section that never ends",
  };
  std::string text;
  for (const std::string& line : odd) text += line + "\r\n";
  WriteBytes(ini, text);

  {
    BackgroundProcess router;
    StartRouterAt(program, router);
    if (HasFatalFailure()) return;
    for (const std::string& line :
         {"VTRouter: Found configuration INI file '" + ini.string() + "'.\n",
          "VTRouter: Reading INI file '" + ini.string() + "'.\n",
          "VTRouter: Reading configuration document for " + serverName_ +
              "\n"}) {
      EXPECT_TRUE(Logged(line)) << line << ServerLog();
    }
    EXPECT_FALSE(Logged("Unable to read"));
    EXPECT_FALSE(Logged("Error opening administration nsf"));
    Send("ini", 1);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(WaitForCount(kScanBox1, "ini", 1)) << ServerLog();
    Quit(router);
  }
  MoveDatabase("Admin/Moved.nsf", "Veltrane/VeltraneAdmin.nsf");

  // Keys missing from the section: the router says which and falls back
  // to the registry (none on Linux) and then the default place.
  struct Missing {
    std::string section;
    std::string line;
  };
  for (const Missing& m :
       {Missing{"[Admin NSF]\r\nNSF=Admin\\Moved.nsf\r\n",
                "VTRouter: Unable to read server name from INI file.\n"},
        Missing{"[Admin NSF]\r\nServer=local\r\n",
                "VTRouter: Unable to read NSF name from INI file.\n"}}) {
    WriteBytes(ini, odd[0] + "\r\n" + odd[1] + "\r\n" + binary + "\r\n" +
                        m.section + odd[15] + "\r\n" + odd[16]);
    const size_t mark = Mark();
    BackgroundProcess router;
    StartRouterAt(program, router);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(LoggedSince(mark, m.line)) << LogSince(mark);
    EXPECT_TRUE(LoggedSince(
        mark, "VTRouter: Unable to read AdminNsfServer registry key.\n"));
    EXPECT_TRUE(LoggedSince(
        mark, "VTRouter: Reading configuration document for " + serverName_));
    Quit(router);
  }
  ExpectPlaces({{"ini", 1, {kScanBox1}, ""}});
}

TEST_F(RouterBadInput, GarbageInDatabasesAndTemplatesLosesNothingElse) {
  // A fixed seed: the same garbage every run.
  std::mt19937 random(20261208);
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;

  // Mail inside the scan box about to be damaged is lost with it.
  Send("early", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "early", 2)) << ServerLog();

  // Quarantine C and the first scan box turn to garbage under the router.
  Garble(kQuarantineC, random);
  Garble(kScanBox1, random);
  if (HasFatalFailure()) return;
  size_t mark = Mark();
  Send("late", 3);
  if (HasFatalFailure()) return;
  // Interception falls back on the second scan box.
  ASSERT_TRUE(WaitForCount(kScanBox2, "late", 3)) << LogSince(mark);
  EXPECT_TRUE(LoggedSince(
      mark, std::string("VTRouter: Error moving message.  ") + kDamaged));
  EXPECT_TRUE(WaitForLogSince(mark,
                              "VTRouter: Moved 3 messages to Scan box.  "
                              "3 errors.\n"))
      << LogSince(mark);
  EXPECT_TRUE(LoggedSince(
      mark,
      std::string("VTRouter: Error reading messages to process. ") + kDamaged))
      << LogSince(mark);
  mark = Mark();
  ExpectScanWithOneFailure('C', 3);
  // The other databases keep flowing.
  Send("mail", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForLogSince(
      mark, "VTRouter: Moved 0 messages to Quarantine C.  3 errors.\n"))
      << LogSince(mark);
  ASSERT_TRUE(WaitForCount(kScanBox2, "mail", 2)) << LogSince(mark);
  Scan('M', 2, kScanBox2);
  ASSERT_TRUE(WaitForCount("mail.box", "mail", 2)) << LogSince(mark);
  EXPECT_EQ(Count(kScanBox2, "late"), 3);
  ExpectAlive(router);
  if (HasFatalFailure()) return;

  // The damaged databases removed, to be made again from templates that are
  // garbage too: creation fails, said once per database, and the router
  // stays.
  const fs::path data(dir());
  const std::string quarantineTemplate =
      ReadBytes(data / "Veltrane/quarantine.ntf");
  const std::string scanTemplate = ReadBytes(data / "Veltrane/scan.ntf");
  ASSERT_FALSE(quarantineTemplate.empty());
  ASSERT_FALSE(scanTemplate.empty());
  Garble("Veltrane/quarantine.ntf", random);
  Garble("Veltrane/scan.ntf", random);
  if (HasFatalFailure()) return;
  RemoveDatabase(kQuarantineC);
  RemoveDatabase(kScanBox1);
  mark = Mark();
  Config({"MaxQuarantineSize=100"});
  if (HasFatalFailure()) return;
  for (const std::string& line :
       {std::string("VTRouter: Unable to create new database "
                    "'Veltrane\\Scan\\Scan_1.box' from template "
                    "'Veltrane\\scan.ntf'"),
        std::string("VTRouter: Unable to create new database "
                    "'Veltrane\\QuarantineC_1.nsf' from template "
                    "'Veltrane\\quarantine.ntf'")}) {
    EXPECT_TRUE(WaitForLogSince(mark, line + ": " + kDamaged))
        << line << "\n"
        << LogSince(mark);
  }
  ExpectAlive(router);
  if (HasFatalFailure()) return;
  EXPECT_FALSE(fs::exists(data / kQuarantineC));
  EXPECT_FALSE(fs::exists(data / kScanBox1));
  EXPECT_EQ(Count(kScanBox2, "late"), 3);

  // Good templates again: both databases are made, the waiting mail goes.
  WriteBytes(data / "Veltrane/quarantine.ntf", quarantineTemplate);
  WriteBytes(data / "Veltrane/scan.ntf", scanTemplate);
  mark = Mark();
  Config({"MaxQuarantineSize="});
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kQuarantineC, "late", 3)) << LogSince(mark);
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Created new Quarantine database "
                          "Veltrane\\QuarantineC_1.nsf"));
  EXPECT_TRUE(LoggedSince(mark,
                          "VTRouter: Created new Quarantine database "
                          "Veltrane\\Scan\\Scan_1.box"));
  Quit(router);
  ExpectPlaces({{"early", 0, {}, ""},
                {"late", 3, {kQuarantineC}, "C"},
                {"mail", 2, {"mail.box"}, "M"}});
}

// A database deleted while the router has it open. On Linux the router's
// connection keeps the unlinked file alive; mail "moved" into it would be
// gone once the router closes it, so such a copy is refused.
TEST_F(RouterBadInput, AQuarantineDeletedWhileTheRouterRunsLosesNoMail) {
  BackgroundProcess router;
  StartRouter(router);
  if (HasFatalFailure()) return;
  Send("deleted", 2);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(WaitForCount(kScanBox1, "deleted", 2)) << ServerLog();
  RemoveDatabase(kQuarantineB);
  const size_t mark = Mark();
  Scan('B', 2);
  // Two passes, time enough for the router to deliver or refuse.
  ASSERT_TRUE(WaitUntil(
      [&] { return LogSince(mark).find("Quarantine B") != std::string::npos; },
      kRouterMillis))
      << LogSince(mark);
  ExpectAlive(router);
  if (HasFatalFailure()) return;
  Quit(router);
  SCOPED_TRACE("the router's log:\n" + LogSince(mark));
  // Waiting in the scan box, or in a quarantine B made again: anywhere but
  // nowhere.
  ExpectPlaces({{"deleted", 2, {kScanBox1, kQuarantineB}, "B"}});
}

// An INI value too long for its field, cut to fit, names another database.
TEST_F(RouterBadInput, AnIniPathTooLongForItsFieldIsNotCutToAnotherOne) {
  const fs::path program = CopyRouter();
  MoveDatabase("Veltrane/VeltraneAdmin.nsf", "Admin/Moved.nsf");
  // 259 characters that name the moved database, then ".old": the INI file
  // names Admin/Moved.nsf.old, which does not exist.
  const std::string tail = "Admin/Moved.nsf";
  std::string cut;
  while (cut.size() + tail.size() + 2 <= 259) cut += "./";
  cut += std::string(259 - cut.size() - tail.size(), '/') + tail;
  ASSERT_EQ(cut.size(), 259u);
  WriteBytes(program.parent_path() / "Veltrane.ini",
             "[Admin NSF]\nServer=local\nNSF=" + cut + ".old\n");
  BackgroundProcess router;
  ASSERT_TRUE(router.Start(program.string(), {"--data", dir()},
                           (folder() / "router.out").string()));
  WaitUntil([&] { return !router.Running() || Logged(" started\n"); },
            kRouterMillis);
  EXPECT_FALSE(Logged("Reading configuration document")) << ServerLog();
  EXPECT_TRUE(
      Logged("VTRouter: The NSF name in the INI file is too long (at "
             "most 259 characters).\n"))
      << ServerLog();
  if (router.Running()) Quit(router);
}

}  // namespace
}  // namespace vt::e2e
