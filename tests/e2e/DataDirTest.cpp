// The end-to-end fixture's folder, snapshots and direct reads of the store.
#include "DataDirTest.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "datadir/MailItems.h"
#include "notes/ItemValue.h"
#include "server/LocalNotesServices.h"
#include "server/LocalStoreAccess.h"

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ItemText(const store::Item& item) {
  if (item.type == kTypeText) {
    return std::string(item.value.begin(), item.value.end());
  }
  if (item.type == kTypeTextList) {
    const auto entries = item::DecodeTextList(item.value);
    std::string joined;
    if (!entries) return joined;
    for (size_t i = 0; i < entries->size(); ++i) {
      if (i > 0) joined.push_back(';');
      joined.append((*entries)[i]);
    }
    return joined;
  }
  if (item.type == kTypeNumber) {
    const auto number = item::DecodeNumber(item.value);
    char text[40] = "";
    if (number) std::snprintf(text, sizeof text, "%.15g", *number);
    return text;
  }
  return "?";
}

// How many times a router has said it started in this log.
int StartedLines(const std::string& log) {
  int count = 0;
  for (size_t at = log.find("VTRouter: Version "); at != std::string::npos;
       at = log.find("VTRouter: Version ", at + 1)) {
    const size_t end = log.find('\n', at);
    const std::string line = log.substr(at, end - at);
    if (line.size() >= 8 && line.substr(line.size() - 8) == " started") {
      ++count;
    }
  }
  return count;
}

}  // namespace

void DataDirTest::SetUp() {
  ASSERT_FALSE(VtServerPath().empty()) << "VT_BUILD_DIR is not set";
  ASSERT_EQ(::access(VtServerPath().c_str(), X_OK), 0)
      << VtServerPath() << " is not built";
  ASSERT_EQ(::access(VtRouterPath().c_str(), X_OK), 0)
      << VtRouterPath() << " is not built";
  std::string pattern = (fs::temp_directory_path() / "vte2e-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  folder_ = fs::canonical(pattern);
  dir_ = (folder_ / "data").string();
}

void DataDirTest::TearDown() {
  if (folder_.empty()) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

std::string DataDirTest::UniqueServerName() {
  return "CN=E2E" + std::to_string(::getpid()) + "x" +
         std::to_string(++names_) + "/O=Example";
}

void DataDirTest::Init(const std::string& serverName, int mailboxes) {
  const RunResult r = Vt({"init", dir_, "--server", serverName, "--mailboxes",
                          std::to_string(mailboxes)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(fs::exists(fs::path(dir_) / "server.ini"));
}

std::map<std::string, std::string> DataDirTest::Snapshot() const {
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder_, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().lexically_relative(folder_).string();
    if (it->is_directory(ec)) {
      files[name + "/"] = "";
    } else {
      files[name] = ReadFile(it->path());
    }
  }
  return files;
}

std::vector<StoredMessage> DataDirTest::Messages(
    const std::string& path) const {
  std::vector<StoredMessage> messages;
  LocalNotesServicesOptions options;
  options.dataDirectory = dir_;
  options.echoToStdout = false;
  LocalNotesServices server(options);
  if (!server.Start().ok()) return messages;
  DbHandle db;
  if (!server.OpenDatabase(path.c_str(), &db).ok()) return messages;
  store::NsfDatabase* database = LocalStoreAccess::Database(server, db);
  std::vector<uint32_t> ids;
  database
      ->ForEachNote(kNoteClassDocument,
                    [&](const store::ScanEntry& e) {
                      ids.push_back(e.id);
                      return Status();
                    })
      .IgnoreError();
  for (const uint32_t id : ids) {
    store::NoteRecord record;
    if (!database->ReadNote(id, &record).ok()) continue;
    StoredMessage m;
    m.noteId = id;
    for (const uint8_t byte : record.unid) {
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02X", byte);
      m.unid += digits;
    }
    m.createdCentis = record.created;
    for (const store::Item& item : record.items.items()) {
      m.items.emplace(item.name, ItemText(item));
      m.types.emplace(item.name, item.type);
      m.flags.emplace(item.name, item.flags);
    }
    messages.push_back(std::move(m));
  }
  server.CloseDatabase(db).IgnoreError();
  return messages;
}

void DataDirTest::Send(const std::string& subject, int count,
                       const std::string& db) const {
  std::vector<std::string> args = {
      "send", dir(), "--count", std::to_string(count), "--subject", subject};
  if (!db.empty()) args.insert(args.end(), {"--db", db});
  const RunResult r = Vt(args);
  ASSERT_EQ(r.exitCode, 0) << r.err;
}

int DataDirTest::Count(const std::string& path,
                       const std::string& subject) const {
  const std::vector<StoredMessage> messages = Messages(path);
  return static_cast<int>(std::count_if(
      messages.begin(), messages.end(), [&](const StoredMessage& m) {
        return m.Item(tool::kItemSubject) == subject;
      }));
}

bool DataDirTest::WaitForCount(const std::string& path,
                               const std::string& subject, int count) const {
  // Generous: the router works every two seconds.
  return WaitUntil([&] { return Count(path, subject) == count; }, 30000);
}

std::string DataDirTest::ServerLog() const {
  return ReadFile(fs::path(dir_) / ".vtserver" / "server.log");
}

void DataDirTest::StartRouter(BackgroundProcess& router) {
  const int before = StartedLines(ServerLog());
  ASSERT_TRUE(router.Start(VtRouterPath(), {"--data", dir_},
                           (folder_ / "router.out").string()));
  const bool started =
      WaitUntil([&] { return StartedLines(ServerLog()) > before; }, 30000);
  ASSERT_TRUE(started) << "the router did not start; its output:\n"
                       << RouterOutput();
}

int DataDirTest::StartSmtpService(BackgroundProcess& service,
                                  const std::vector<std::string>& more) {
  std::vector<std::string> arguments = {"smtp", dir_, "--listen",
                                        "127.0.0.1:0"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  const fs::path out = folder_ / "smtp.out";
  if (!service.Start(VtServerPath(), arguments, out.string())) return 0;
  int port = 0;
  WaitUntil(
      [&] {
        const std::string text = ReadFile(out);
        const size_t at = text.find("at 127.0.0.1:");
        if (at == std::string::npos) return !service.Running();
        port = std::atoi(text.c_str() + at + 13);
        return true;
      },
      20000);
  return port;
}

bool DataDirTest::StartScanner(BackgroundProcess& scanner,
                               const std::vector<std::string>& more) {
  std::vector<std::string> arguments = {"scanner", dir_};
  arguments.insert(arguments.end(), more.begin(), more.end());
  const fs::path out = folder_ / "scanner.out";
  if (!scanner.Start(VtServerPath(), arguments, out.string())) return false;
  WaitUntil(
      [&] { return Logged("Scanner: Scanning with") || !scanner.Running(); },
      20000);
  return scanner.Running() && Logged("Scanner: Scanning with");
}

std::string DataDirTest::RouterOutput() const {
  return ReadFile(folder_ / "router.out");
}

::testing::AssertionResult IsOneLineError(const RunResult& result) {
  if (result.exitCode == 0) {
    return ::testing::AssertionFailure() << "exit status 0";
  }
  if (result.termSignal != 0) {
    return ::testing::AssertionFailure()
           << "ended by signal " << result.termSignal
           << "; stderr: " << result.err;
  }
  if (result.err.rfind("vtserver: ", 0) != 0) {
    return ::testing::AssertionFailure()
           << "stderr does not start with 'vtserver: ': " << result.err;
  }
  if (result.err.find('\n') != result.err.size() - 1) {
    return ::testing::AssertionFailure() << "not one line: " << result.err;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vt::e2e
