// Configurations of the private engines, written for each start, and the
// waits until each answers its own ping.
#include "PrivateEngines.h"

#include <netinet/in.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "ScanMessages.h"
#include "scanner/Deadline.h"

namespace vt::scanner::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

// text with each @NAME@ replaced by its value.
std::string Filled(
    std::string text,
    std::initializer_list<std::pair<std::string_view, std::string>> values) {
  for (const auto& [name, value] : values) {
    for (size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size())) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

std::string ReadTail(const fs::path& file, size_t bytes) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

// The engines live in sbin, which a user's PATH may lack.
std::string FindProgram(const std::string& name) {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("PATH"); path != nullptr) {
    std::stringstream list(path);
    for (std::string folder; std::getline(list, folder, ':');) {
      folders.push_back(folder);
    }
  }
  for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    folders.emplace_back(folder);
  }
  for (const std::string& folder : folders) {
    const fs::path candidate = fs::path(folder) / name;
    if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
      return candidate.string();
    }
  }
  return {};
}

// One request on a fresh connection; whether the reply holds expected.
bool Replies(Engine engine, const Endpoint& endpoint, std::string_view request,
             std::string_view expected) {
  const Deadline deadline = Deadline::In(milliseconds(2000));
  EngineReply<EngineSocket> socket =
      EngineSocket::Connect(engine, endpoint, deadline, milliseconds(1000));
  if (!socket.ok()) return false;
  EngineReply<SendEnd> sent = socket.value().Send(request, deadline);
  if (!sent.ok()) return false;
  EngineReply<std::string> reply = socket.value().ReadReply(deadline, 65536);
  return reply.ok() && reply.value().find(expected) != std::string::npos;
}

// As root, spamd must be given a user to become; its folders become that
// user's, and the way to them open to it.
bool RunningAsRoot() { return ::geteuid() == 0; }

void GiveTo(const fs::path& path, const char* user) {
  const passwd* entry = ::getpwnam(user);
  if (entry == nullptr) return;
  if (::chown(path.c_str(), entry->pw_uid, entry->pw_gid) != 0) return;
}

}  // namespace

std::string EicarText() {
  // Written in two halves so that this source is not itself the test file.
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") +
         "ANTIVIRUS-TEST-FILE!$H+H*";
}

std::string GtubeText() {
  return std::string("XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-") +
         "ANTI-UBE-TEST-EMAIL*C.34X";
}

namespace {

// A TCP socket bound to a free loopback port, and the port.
UniqueFd BoundLoopback(uint16_t* port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (!fd ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) !=
          0) {
    *port = 0;
    return UniqueFd();
  }
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

SpamdOptions SpamdAt(const Endpoint& endpoint) {
  SpamdOptions options;
  options.endpoint = endpoint;
  return options;
}

ClamdOptions ClamdAt(const Endpoint& endpoint) {
  ClamdOptions options;
  options.endpoint = endpoint;
  return options;
}

void ExpectLearntOnceThenAlready(
    const std::function<LearnOutcome(const ScanRequest&)>& learn) {
  // One request for both: SpamAssassin knows a letter again by a digest of
  // its Date, and a second request could be dated a second later.
  const ScanRequest letter = PlainRequest();
  const LearnOutcome first = learn(letter);
  ASSERT_TRUE(first.ok()) << first.failure().LogLine();
  EXPECT_EQ(first.value(), Learned::kNow);
  const LearnOutcome again = learn(letter);
  ASSERT_TRUE(again.ok()) << again.failure().LogLine();
  EXPECT_EQ(again.value(), Learned::kAlready);
}

uint16_t FreeLoopbackPort() {
  uint16_t port = 0;
  static_cast<void>(BoundLoopback(&port));
  return port;
}

TempFolder::TempFolder(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                        "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  // Open to the user spamd becomes under root; what is inside stays ours.
  if (RunningAsRoot()) fs::permissions(path_, fs::perms(0755));
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

PrivateEngine::PrivateEngine(const std::string& name)
    : name_(name), folder_("vt-" + name) {}

std::string PrivateEngine::Launch() {
  if (folder().empty()) return "no temporary folder for " + name_;
  std::vector<std::string> command = Prepare();
  if (command.empty() || command.front().empty()) {
    return name_ + " is not installed (scripts/setup installs it)";
  }
  // The engine dies with this process, even when a test crashes.
  const std::string setpriv = FindProgram("setpriv");
  if (!setpriv.empty()) {
    command.insert(command.begin(), {setpriv, "--pdeathsig", "TERM"});
  }
  const std::string program = command.front();
  command.erase(command.begin());
  const tool::Outcome started = process_.Start(program, command, OutputFile());
  return started.ok() ? std::string() : started.message();
}

void PrivateEngine::Stop() {
  process_.Signal(SIGTERM);
  if (!process_.WaitForExit(30000)) {
    process_.Signal(SIGKILL);
    static_cast<void>(process_.WaitForExit(10000));
  }
}

std::string PrivateEngine::WaitUntilAnswering() {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(StartSeconds());
  while (!Answers()) {
    if (!process_.Running() || std::chrono::steady_clock::now() >= until) {
      return name_ + " did not start; its output:\n" +
             ReadTail(OutputFile(), 2000) + "\nits log:\n" +
             ReadTail(LogFile(), 3000);
    }
    std::this_thread::sleep_for(milliseconds(100));
  }
  return {};
}

std::filesystem::path PrivateEngine::OutputFile() const {
  return folder() / (name_ + ".out");
}

PrivateClamd::PrivateClamd()
    : PrivateEngine("clamd"), port_(FreeLoopbackPort()) {}

std::vector<std::string> PrivateClamd::Prepare() {
  const fs::path db = folder() / "db";
  fs::create_directories(db);
  const std::string eicar = EicarText();
  std::array<unsigned char, EVP_MAX_MD_SIZE> md5{};
  unsigned int size = 0;
  EVP_Digest(eicar.data(), eicar.size(), md5.data(), &size, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[md5[i] >> 4];
    hex += kDigits[md5[i] & 15];
  }
  WriteFile(db / "test.hdb", hex + ":" + std::to_string(eicar.size()) +
                                 ":Eicar-Test-Signature\n");
  const fs::path config = folder() / "clamd.conf";
  WriteFile(config, Filled(R"(Foreground yes
DatabaseDirectory @DB@
LocalSocket @SOCKET@
TCPSocket @PORT@
TCPAddr 127.0.0.1
StreamMaxLength @LIMIT@
LogFile @LOG@
)",
                           {{"@DB@", db.string()},
                            {"@SOCKET@", unixSocket().unixPath},
                            {"@PORT@", std::to_string(port_)},
                            {"@LIMIT@", std::to_string(kStreamMaxBytes)},
                            {"@LOG@", LogFile().string()}}));
  return {FindProgram("clamd"), "-c", config.string()};
}

bool PrivateClamd::Answers() {
  using namespace std::string_view_literals;
  return Replies(Engine::kClamd, tcp(), "zPING\0"sv, "PONG") &&
         Replies(Engine::kClamd, unixSocket(), "zPING\0"sv, "PONG");
}

PrivateSpamd::PrivateSpamd()
    : PrivateEngine("spamd"), port_(FreeLoopbackPort()) {}

std::vector<std::string> PrivateSpamd::Prepare() {
  const fs::path site = folder() / "site";
  const fs::path bayes = folder() / "bayes";
  const fs::path home = folder() / "home";
  for (const fs::path& dir : {site, bayes, home}) fs::create_directories(dir);
  // The packages' plugin list (the .pre files), with a local.cf of our own.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/etc/spamassassin", ec)) {
    if (entry.path().extension() == ".pre") {
      fs::create_symlink(entry.path(), site / entry.path().filename(), ec);
    }
  }
  WriteFile(site / "local.cf",
            Filled(R"(use_bayes 1
bayes_auto_learn 0
bayes_path @BAYES@
lock_method flock
)",
                   {{"@BAYES@", (bayes / "bayes").string()}}));
  std::vector<std::string> command = {
      FindProgram("spamd"),
      "--nouser-config",
      "--local",
      "--allow-tell",
      "--configpath=/usr/share/spamassassin",
      "--siteconfigpath=" + site.string(),
      "--listen=127.0.0.1:" + std::to_string(port_),
      "--listen=" + unixSocket().unixPath,
      "--max-children=2",
      "--min-children=1",
      "--helper-home-dir=" + home.string(),
      "--syslog=" + LogFile().string(),
      "--pidfile=" + (folder() / "spamd.pid").string()};
  if (RunningAsRoot()) {
    for (const fs::path& dir : {bayes, home}) GiveTo(dir, "nobody");
    command.push_back("--username=nobody");
  }
  return command;
}

bool PrivateSpamd::Answers() {
  return Replies(Engine::kSpamd, tcp(), "PING SPAMC/1.5\r\n\r\n", "PONG") &&
         Replies(Engine::kSpamd, unixSocket(), "PING SPAMC/1.5\r\n\r\n",
                 "PONG");
}

PrivateRspamd::PrivateRspamd()
    : PrivateEngine("rspamd"),
      port_(FreeLoopbackPort()),
      controllerPort_(FreeLoopbackPort()) {}

std::vector<std::string> PrivateRspamd::Prepare() {
  const fs::path conf = folder() / "conf";
  for (const char* dir :
       {"conf/local.d", "conf/override.d", "run", "log", "db"}) {
    fs::create_directories(folder() / dir);
  }
  // Compiled patterns are kept by the build that runs the tests, and shared
  // by its test processes; without a build folder, in this one.
  fs::path cache = folder() / "db";
  if (const char* build = std::getenv("VT_BUILD_DIR");
      build != nullptr && *build) {
    std::error_code ec;
    const fs::path shared =
        fs::path(build) / "tests" / "scanner" / "rspamd-cache";
    if (fs::create_directories(shared, ec) || fs::is_directory(shared, ec)) {
      cache = shared;
    }
  }
  // The shipped configuration's layout, with workers of our own: no proxy,
  // no fuzzy storage, and a controller that wants its password even on
  // loopback.
  WriteFile(conf / "rspamd.conf",
            Filled(R"(.include "$CONFDIR/common.conf"
options {
  pidfile = "$RUNDIR/rspamd.pid";
  .include "$CONFDIR/options.inc"
  .include(priority=10) "$LOCAL_CONFDIR/override.d/options.inc"
}
logging {
  type = "file";
  filename = "$LOGDIR/rspamd.log";
  .include "$CONFDIR/logging.inc"
}
worker "normal" {
  bind_socket = "127.0.0.1:@PORT@";
  count = 1;
  .include "$CONFDIR/worker-normal.inc"
}
worker "controller" {
  bind_socket = "127.0.0.1:@CONTROLLER@";
  count = 1;
  password = "@PASSWORD@";
  enable_password = "@PASSWORD@";
}
)",
                   {{"@PORT@", std::to_string(port_)},
                    {"@CONTROLLER@", std::to_string(controllerPort_)},
                    {"@PASSWORD@", kPassword}}));
  WriteFile(conf / "override.d" / "options.inc",
            Filled(R"(dns {
  nameserver = ["127.0.0.1:@DNS@"];
  timeout = 0.5s;
  retransmits = 1;
}
hs_cache_dir = "@CACHE@/";
)",
                   {{"@DNS@", std::to_string(FreeLoopbackPort())},
                    {"@CACHE@", cache.string()}}));
  // Redis is rspamd's usual Bayes store; SQLite needs no server.
  WriteFile(conf / "local.d" / "classifier-bayes.conf", R"(backend = "sqlite3";
statfile { symbol = "BAYES_HAM"; spam = false; path = "$DBDIR/bayes.ham.sqlite"; }
statfile { symbol = "BAYES_SPAM"; spam = true; path = "$DBDIR/bayes.spam.sqlite"; }
cache { path = "$DBDIR/learn_cache.sqlite"; }
)");
  std::vector<std::string> command = {
      FindProgram("rspamd"),
      "--no-fork",
      "--config=" + (conf / "rspamd.conf").string(),
      "--var=LOCAL_CONFDIR=" + conf.string(),
      "--var=RUNDIR=" + (folder() / "run").string(),
      "--var=DBDIR=" + (folder() / "db").string(),
      "--var=LOGDIR=" + (folder() / "log").string()};
  // rspamd will not run its workers as root unless told it may.
  if (RunningAsRoot()) command.push_back("--insecure");
  return command;
}

bool PrivateRspamd::Answers() {
  const std::string ping = "GET /ping HTTP/1.0\r\n\r\n";
  return Replies(Engine::kRspamd, {"", "127.0.0.1", port_}, ping, "pong") &&
         Replies(Engine::kRspamd, {"", "127.0.0.1", controllerPort_}, ping,
                 "pong");
}

StallingListener::StallingListener() : fd_(BoundLoopback(&port_)) {
  if (fd_ && ::listen(fd_.get(), 16) != 0) port_ = 0;
}

}  // namespace vt::scanner::testing
