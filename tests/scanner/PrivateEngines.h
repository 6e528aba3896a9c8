// Private rspamd, spamd and clamd for the scanner's tests: each in a
// temporary folder of its own, on loopback ports picked free, offline, with
// the rules the Debian packages ship and a configuration of its own, so that
// no system instance is touched or needed. Each process is ended when its
// owner goes, and dies with the test process (its parent-death signal).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "scanner/ClamdClient.h"
#include "scanner/EngineSocket.h"
#include "scanner/ScanRequest.h"
#include "scanner/SpamdClient.h"
#include "standins/ChildProcess.h"

namespace vt::scanner::testing {

// The 68-byte EICAR anti-virus test file and the GTUBE spam test line.
std::string EicarText();
std::string GtubeText();

// Clients' options for an engine at endpoint, the rest left as they are.
SpamdOptions SpamdAt(const Endpoint& endpoint);
ClamdOptions ClamdAt(const Endpoint& endpoint);

// Learning the ordinary letter twice: learnt now, then learnt already.
void ExpectLearntOnceThenAlready(
    const std::function<LearnOutcome(const ScanRequest&)>& learn);

// A free loopback port: bound to port 0, read back, released.
uint16_t FreeLoopbackPort();

// A temporary folder, removed with everything in it when its owner goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// One engine process in its folder. Launch() starts it, WaitUntilAnswering()
// waits for its ping; each gives "" or why not (with the end of its log).
class PrivateEngine {
 public:
  virtual ~PrivateEngine() = default;
  std::string Launch();
  std::string WaitUntilAnswering();
  // Ends the engine and waits until it has; Launch() starts it again on
  // the same ports.
  void Stop();
  const std::filesystem::path& folder() const { return folder_.path(); }

 protected:
  explicit PrivateEngine(const std::string& name);
  // Writes the configuration; the program and its arguments.
  virtual std::vector<std::string> Prepare() = 0;
  // Whether the engine answers its own ping.
  virtual bool Answers() = 0;
  virtual std::filesystem::path LogFile() const = 0;
  // How long a start may take (rspamd's first one compiles its patterns).
  virtual int StartSeconds() const { return 60; }
  std::filesystem::path OutputFile() const;

  std::string name_;
  TempFolder folder_;
  tool::ChildProcess process_;
};

// clamd with one signature, EICAR's MD5 (an .hdb), and a StreamMaxLength
// small enough for a test to pass it.
class PrivateClamd : public PrivateEngine {
 public:
  static constexpr size_t kStreamMaxBytes = 64 * 1024;
  PrivateClamd();
  Endpoint tcp() const { return {"", "127.0.0.1", port_}; }
  Endpoint unixSocket() const {
    return {(folder() / "clamd.sock").string(), "", 0};
  }

 protected:
  std::vector<std::string> Prepare() override;
  bool Answers() override;
  std::filesystem::path LogFile() const override {
    return folder() / "clamd.log";
  }

 private:
  uint16_t port_;
};

// spamd with local tests only (-L), learning allowed, its Bayes data in its
// folder; as root it runs as nobody.
class PrivateSpamd : public PrivateEngine {
 public:
  PrivateSpamd();
  Endpoint tcp() const { return {"", "127.0.0.1", port_}; }
  Endpoint unixSocket() const {
    return {(folder() / "spamd.sock").string(), "", 0};
  }

 protected:
  std::vector<std::string> Prepare() override;
  bool Answers() override;
  std::filesystem::path LogFile() const override {
    return folder() / "spamd.log";
  }

 private:
  uint16_t port_;
};

// rspamd with the shipped configuration and modules, its own run, log and
// database folders, Bayes in SQLite, a controller that wants a password, and
// DNS sent to a loopback port where nothing answers. Its compiled patterns
// are kept in the build tree between runs: compiling them takes a while.
class PrivateRspamd : public PrivateEngine {
 public:
  static constexpr const char* kPassword = "vt-test-password";
  PrivateRspamd();
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
  }
  std::string controllerUrl() const {
    return "http://127.0.0.1:" + std::to_string(controllerPort_);
  }
  std::filesystem::path LogFile() const override {
    return folder() / "log" / "rspamd.log";
  }

 protected:
  std::vector<std::string> Prepare() override;
  bool Answers() override;
  int StartSeconds() const override { return 240; }

 private:
  uint16_t port_;
  uint16_t controllerPort_;
};

// A loopback TCP port that takes connections into its backlog and never
// answers: an engine that hangs.
class StallingListener {
 public:
  StallingListener();
  Endpoint endpoint() const { return {"", "127.0.0.1", port_}; }
  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_);
  }

 private:
  uint16_t port_ = 0;
  UniqueFd fd_;
};

// A test suite's engines, started together once for all its tests (ctest
// runs each test in a process of its own, which then starts them for itself)
// and ended after the last.
template <typename... Engines>
class WithEngines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    engines_ = std::make_unique<std::tuple<Engines...>>();
    error_.clear();
    ((error_ += std::get<Engines>(*engines_).Launch()), ...);
    if (error_.empty()) {
      ((error_ += std::get<Engines>(*engines_).WaitUntilAnswering()), ...);
    }
  }
  static void TearDownTestSuite() { engines_.reset(); }
  void SetUp() override { ASSERT_EQ(error_, ""); }

  template <typename E>
  static E& engine() {
    return std::get<E>(*engines_);
  }

 private:
  static inline std::unique_ptr<std::tuple<Engines...>> engines_;
  static inline std::string error_;
};

}  // namespace vt::scanner::testing
