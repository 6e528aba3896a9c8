// The fixture of the end-to-end tests: a temporary folder per test, the
// data directory DIR inside it (made by the test with `vtserver init`), the
// built programs, and what an administrator would look at afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Programs.h"

namespace vt::e2e {

// A message as it is stored: its note ID, creation time and items (text
// lists joined with ';', numbers as %.15g).
struct StoredMessage {
  uint32_t noteId = 0;
  std::string unid;  // 32 hexadecimal digits, as `vtserver` prints it
  int64_t createdCentis = 0;
  std::map<std::string, std::string> items;
  std::map<std::string, uint16_t> types;
  std::map<std::string, uint16_t> flags;
  std::string Item(const std::string& name) const {
    const auto it = items.find(name);
    return it == items.end() ? std::string() : it->second;
  }
  bool Has(const std::string& name) const { return items.count(name) != 0; }
};

class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::filesystem::path& folder() const { return folder_; }
  // The data directory (folder()/data).
  std::string dir() const { return dir_; }
  // A server name no other test (or test process) uses: the router's
  // single-instance guard is per server name and machine-wide.
  std::string UniqueServerName();
  // `vtserver init DIR --server NAME --mailboxes N`; fails the test unless
  // it succeeds.
  void Init(const std::string& serverName, int mailboxes = 1);

  RunResult Vt(const std::vector<std::string>& arguments) const {
    return RunVtServer(arguments);
  }

  // Every file under the folder with its bytes: to check that nothing was
  // written.
  std::map<std::string, std::string> Snapshot() const;

  // The documents of a database of DIR, read directly from the store;
  // empty when it cannot be opened.
  std::vector<StoredMessage> Messages(const std::string& path) const;
  // `vtserver send DIR --count N --subject S [--db PATH]`; fails the test
  // unless it succeeds.
  void Send(const std::string& subject, int count,
            const std::string& db = {}) const;
  // How many documents of a database of DIR carry that Subject.
  int Count(const std::string& path, const std::string& subject) const;
  // Waits, as long as a router may take, until exactly count documents of
  // path carry that Subject; whether they did.
  bool WaitForCount(const std::string& path, const std::string& subject,
                    int count) const;
  // The server log of DIR as it is now.
  std::string ServerLog() const;
  // Whether the server log holds text.
  bool Logged(const std::string& text) const {
    return ServerLog().find(text) != std::string::npos;
  }

  // Starts vtrouter --data DIR (output into folder()/router.out) and waits
  // until it says it started; fails the test otherwise.
  void StartRouter(BackgroundProcess& router);
  // Starts `vtserver smtp DIR --listen 127.0.0.1:0` with more arguments; the
  // port it took, or 0.
  int StartSmtpService(BackgroundProcess& service,
                       const std::vector<std::string>& more = {});
  // Starts `vtserver scanner DIR` with more arguments (the engines);
  // whether it runs and has said so in the log.
  bool StartScanner(BackgroundProcess& scanner,
                    const std::vector<std::string>& more);
  std::string RouterOutput() const;

 private:
  std::filesystem::path folder_;
  std::string dir_;
  int names_ = 0;
};

// A one-line error on standard error starting "vtserver: ".
::testing::AssertionResult IsOneLineError(const RunResult& result);

}  // namespace vt::e2e
