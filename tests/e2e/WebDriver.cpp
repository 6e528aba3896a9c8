// The WebDriver client: chromedriver as a child process, its W3C commands
// over plain HTTP (WebHttp), their JSON through nlohmann-json.
#include "WebDriver.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

#include "Programs.h"

extern char** environ;

namespace vt::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// The W3C name under which an element reference travels.
constexpr char kElementKey[] = "element-6066-11e4-a52e-4f735466cecf";
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopGrace = std::chrono::seconds(3);
constexpr auto kPoll = std::chrono::milliseconds(100);
// Longer than the page load timeout asked for below, so that a slow page
// is reported by chromedriver rather than as a lost connection.
constexpr time_t kReadTimeoutSeconds = 60;

std::string Setting(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}
std::string ChromiumPath() {
  return Setting("VT_CHROMIUM", "/usr/bin/chromium");
}
std::string DriverPath() {
  return Setting("VT_CHROMEDRIVER", "/usr/bin/chromedriver");
}

// Fields of chromedriver's answers, read without trusting their shape.
json Field(const json& object, const char* key) {
  if (!object.is_object()) return json();
  const auto it = object.find(key);
  return it == object.end() ? json() : *it;
}
std::string String(const json& value) {
  return value.is_string() ? value.get<std::string>() : std::string();
}

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// chromedriver chooses its own port when asked for port 0 and says which
// one; no other process can take it between choosing and listening.
int AnnouncedPort(const std::string& log) {
  static constexpr char kLine[] = "started successfully on port ";
  const size_t at = log.find(kLine);
  if (at == std::string::npos) return 0;
  return std::atoi(log.c_str() + at + sizeof(kLine) - 1);
}

std::string DecodeBase64(const std::string& text) {
  std::string bytes;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else {
      continue;  // padding and line breaks
    }
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<char>((buffer >> bits) & 0xff));
    }
  }
  return bytes;
}

}  // namespace

// chromedriver in a process group of its own. Ending chromedriver leaves
// the browser running, so the whole group is ended together, after the
// session has had its chance to close the browser politely.
class Browser::Driver {
 public:
  Driver() = default;
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  ~Driver() {
    if (pid_ <= 0) return;
    // chromedriver is reaped only at the end: until then the group's ID
    // cannot be given to another process, so signalling it stays safe.
    ::kill(-pid_, SIGTERM);
    for (const auto deadline = Clock::now() + kStopGrace;
         !Exited() && Clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  bool Start(const std::string& program,
             const std::vector<std::string>& arguments,
             const std::string& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    if (posix_spawnattr_init(&attributes) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return false;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes,
                               argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    return true;
  }

  // Whether chromedriver has ended, leaving it unreaped.
  bool Exited() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info,
                    WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }

 private:
  pid_t pid_ = -1;
};

struct Browser::Reply {
  json value;
  std::string code;   // the W3C error code; empty on success
  std::string error;  // what went wrong, for a failure message
};

bool Browser::Available(std::string* why) {
  for (const std::string& program : {ChromiumPath(), DriverPath()}) {
    if (::access(program.c_str(), X_OK) != 0) {
      if (why != nullptr) {
        *why = program +
               " is not installed (VT_CHROMIUM and VT_CHROMEDRIVER name "
               "others)";
      }
      return false;
    }
  }
  return true;
}

Browser::Browser() : driver_(std::make_unique<Driver>()) {
  std::string why;
  if (!Available(&why)) {
    ADD_FAILURE() << why;
    return;
  }
  const std::string log = folder_.File("chromedriver.log");
  if (!driver_->Start(DriverPath(), {"--port=0"}, log)) {
    ADD_FAILURE() << "cannot start " << DriverPath();
    return;
  }
  // Until chromedriver names its port, then until it says it is ready.
  const auto deadline = Clock::now() + kStartTimeout;
  int port = 0;
  bool ready = false;
  while (!ready && Clock::now() < deadline && !driver_->Exited()) {
    if (port == 0) port = AnnouncedPort(ReadAll(log));
    if (port != 0 && http_ == nullptr) {
      http_ = std::make_unique<HttpClient>("127.0.0.1", port);
      http_->SetReadTimeout(std::chrono::seconds(kReadTimeoutSeconds));
    }
    if (http_ != nullptr) {
      ready = Field(Send("GET", "/status", nullptr).value, "ready") == true;
    }
    if (!ready) std::this_thread::sleep_for(kPoll);
  }
  if (!ready) {
    ADD_FAILURE() << "chromedriver did not become ready:\n" << ReadAll(log);
    return;
  }
  const json options = {
      {"binary", ChromiumPath()},
      {"args",
       {"--headless=new", "--no-sandbox", "--disable-gpu",
        "--disable-dev-shm-usage", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update",
        "--disable-sync", "--window-size=1280,900",
        "--user-data-dir=" + folder_.File("profile")}}};
  const json capabilities = {
      {"browserName", "chrome"},
      {"goog:chromeOptions", options},
      {"goog:loggingPrefs", {{"browser", "ALL"}}},
      // Alerts wait for the test, which asks about them explicitly.
      {"unhandledPromptBehavior", "ignore"},
      {"timeouts", {{"pageLoad", 30000}, {"script", 10000}}}};
  const Reply reply = Send("POST", "/session",
                           {{"capabilities", {{"alwaysMatch", capabilities}}}});
  session_ = String(Field(reply.value, "sessionId"));
  if (session_.empty()) {
    ADD_FAILURE() << "no browser session: " << reply.error << "\n"
                  << ReadAll(log);
  }
}

Browser::~Browser() {
  if (!session_.empty()) {
    // Closes the browser; whatever is left is ended with chromedriver.
    Send("DELETE", "/session/" + session_, nullptr);
  }
}

Browser::Reply Browser::Send(const std::string& method, const std::string& path,
                             const json& body) {
  Reply reply;
  if (http_ == nullptr) {
    reply.code = reply.error = "no chromedriver";
    return reply;
  }
  const std::string text = body.is_null() ? std::string() : body.dump();
  const HttpResult result = http_->Send(
      method, path, {}, text, method == "POST" ? "application/json" : "");
  if (!result) {
    reply.code = "no answer";
    reply.error = http_->lastError();
    return reply;
  }
  const json answer = json::parse(result->body, nullptr, false);
  reply.value = Field(answer, "value");
  // Errors are told by the status alone: a script may well return an object
  // with an "error" field of its own.
  if (result->status >= 400) {
    reply.code = String(Field(reply.value, "error"));
    if (reply.code.empty())
      reply.code = "HTTP " + std::to_string(result->status);
    // The message starts with the code; its first line is enough, the rest
    // repeats the browser's version.
    const std::string message = String(Field(reply.value, "message"));
    reply.error =
        message.empty() ? reply.code : message.substr(0, message.find('\n'));
    reply.value = json();
  }
  return reply;
}

json Browser::Call(const std::string& command, const std::string& method,
                   const std::string& path, const json& body) {
  if (session_.empty()) {
    ADD_FAILURE() << command << ": no browser session";
    return json();
  }
  Reply reply = Send(method, "/session/" + session_ + path, body);
  if (!reply.error.empty()) {
    ADD_FAILURE() << command << ": " << reply.error;
  }
  return reply.value;
}

std::vector<std::string> Browser::Elements(const std::string& css) {
  const json found = Call("find " + css, "POST", "/elements",
                          {{"using", "css selector"}, {"value", css}});
  std::vector<std::string> ids;
  if (!found.is_array()) return ids;
  for (const json& element : found) {
    std::string id = String(Field(element, kElementKey));
    if (!id.empty()) ids.push_back(std::move(id));
  }
  return ids;
}

std::string Browser::Element(const std::string& command,
                             const std::string& css) {
  const std::vector<std::string> ids = Elements(css);
  if (ids.empty()) {
    ADD_FAILURE() << command << ": no element matches " << css;
    return {};
  }
  return ids.front();
}

void Browser::Navigate(const std::string& url) {
  Call("Navigate(" + url + ")", "POST", "/url", {{"url", url}});
}

std::string Browser::Url() { return String(Call("Url()", "GET", "/url")); }

std::string Browser::Title() {
  return String(Call("Title()", "GET", "/title"));
}

std::string Browser::Text(const std::string& css) {
  const std::string command = "Text(" + css + ")";
  const std::string id = Element(command, css);
  if (id.empty()) return {};
  return String(Call(command, "GET", "/element/" + id + "/text"));
}

std::vector<std::string> Browser::Texts(const std::string& css) {
  std::vector<std::string> texts;
  for (const std::string& id : Elements(css)) {
    texts.push_back(
        String(Call("Texts(" + css + ")", "GET", "/element/" + id + "/text")));
  }
  return texts;
}

int Browser::Count(const std::string& css) {
  return static_cast<int>(Elements(css).size());
}

void Browser::Click(const std::string& css) {
  const std::string command = "Click(" + css + ")";
  const std::string id = Element(command, css);
  if (!id.empty()) {
    Call(command, "POST", "/element/" + id + "/click", json::object());
  }
}

void Browser::Type(const std::string& css, const std::string& text) {
  const std::string command = "Type(" + css + ")";
  const std::string id = Element(command, css);
  if (id.empty()) return;
  Call(command, "POST", "/element/" + id + "/clear", json::object());
  Call(command, "POST", "/element/" + id + "/value", {{"text", text}});
}

bool Browser::Displayed(const std::string& css) {
  const std::vector<std::string> ids = Elements(css);
  if (ids.empty()) return false;
  return Call("Displayed(" + css + ")", "GET",
              "/element/" + ids.front() + "/displayed") == true;
}

json Browser::Execute(const std::string& script, const json& args) {
  return Call("Execute(" + script + ")", "POST", "/execute/sync",
              {{"script", script}, {"args", args}});
}

bool Browser::WaitFor(const std::string& condition,
                      std::chrono::milliseconds timeout) {
  const std::string script = "return !!(" + condition + ");";
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (session_.empty()) {
      ADD_FAILURE() << "WaitFor(" << condition << "): no browser session";
      return false;
    }
    const Reply reply = Send("POST", "/session/" + session_ + "/execute/sync",
                             {{"script", script}, {"args", json::array()}});
    if (!reply.error.empty()) {
      // A broken condition stays broken: one failure, not one per poll.
      ADD_FAILURE() << "WaitFor(" << condition << "): " << reply.error;
      return false;
    }
    if (reply.value == true) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
}

::testing::AssertionResult Browser::WaitForText(
    const std::string& css, const std::string& expected,
    std::chrono::milliseconds timeout) {
  // JSON string literals are JavaScript string literals.
  const std::string element =
      "document.querySelector(" + json(css).dump() + ")";
  const std::string shown = "(" + element + "?.innerText ?? '').trim()";
  if (WaitFor(shown + " === " + json(expected).dump(), timeout)) {
    return ::testing::AssertionSuccess();
  }
  const json last = Execute("return " + element + " ? " + shown + " : null;");
  if (last.is_null()) {
    return ::testing::AssertionFailure() << "no element matches " << css;
  }
  return ::testing::AssertionFailure() << css << " shows \"" << String(last)
                                       << "\", not \"" << expected << "\"";
}

std::optional<std::string> Browser::AlertText() {
  if (session_.empty()) {
    ADD_FAILURE() << "AlertText(): no browser session";
    return std::nullopt;
  }
  const Reply reply =
      Send("GET", "/session/" + session_ + "/alert/text", nullptr);
  if (reply.code == "no such alert") return std::nullopt;
  if (!reply.error.empty()) {
    ADD_FAILURE() << "AlertText(): " << reply.error;
    return std::nullopt;
  }
  return String(reply.value);
}

void Browser::DismissAlert() {
  Call("DismissAlert()", "POST", "/alert/dismiss", json::object());
}

void Browser::AcceptAlert() {
  Call("AcceptAlert()", "POST", "/alert/accept", json::object());
}

std::vector<std::string> Browser::BrowserLog() {
  // chromedriver's own endpoint (the W3C protocol has no logs); version 156
  // answers the POST form only.
  const json entries =
      Call("BrowserLog()", "POST", "/se/log", {{"type", "browser"}});
  std::vector<std::string> messages;
  if (!entries.is_array()) return messages;
  for (const json& entry : entries) {
    messages.push_back(String(Field(entry, "message")));
  }
  return messages;
}

std::string Browser::ScreenshotPng() {
  return DecodeBase64(String(Call("ScreenshotPng()", "GET", "/screenshot")));
}

void Browser::SetWindowSize(int width, int height) {
  Call("SetWindowSize()", "POST", "/window/rect",
       {{"width", width}, {"height", height}});
}

void StartBrowserOrSkip(std::unique_ptr<Browser>* browser) {
  std::string why;
  if (!Browser::Available(&why)) {
    const char* required = std::getenv("VT_REQUIRE_BROWSER");
    if (required != nullptr && std::string(required) == "1") {
      FAIL() << why << " (VT_REQUIRE_BROWSER=1)";
    }
    GTEST_SKIP() << why;
  }
  *browser = std::make_unique<Browser>();
  ASSERT_TRUE((*browser)->Started());
}

void BrowserTest::SetUp() { StartBrowserOrSkip(&browser_); }

}  // namespace vt::e2e
