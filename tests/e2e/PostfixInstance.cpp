// The private Postfix of the end-to-end tests: its configuration, its
// start and its end, and what a test reads from it afterwards.
#include "PostfixInstance.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace vt::e2e {
namespace {

namespace fs = std::filesystem;

constexpr char kPostfix[] = "/usr/sbin/postfix";
constexpr char kPostqueue[] = "/usr/sbin/postqueue";
constexpr char kSwaks[] = "/usr/bin/swaks";

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

// Ports the kernel hands out as free: both sockets stay open until both are
// chosen, so that the two differ.
bool PickPorts(int* first, int* second) {
  int fds[2] = {-1, -1};
  int ports[2] = {0, 0};
  bool ok = true;
  for (int i = 0; i < 2 && ok; ++i) {
    fds[i] = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ok = fds[i] >= 0 &&
         ::bind(fds[i], reinterpret_cast<sockaddr*>(&address), length) == 0 &&
         ::getsockname(fds[i], reinterpret_cast<sockaddr*>(&address),
                       &length) == 0;
    if (ok) ports[i] = ntohs(address.sin_port);
  }
  for (const int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  *first = ports[0];
  *second = ports[1];
  return ok;
}

// The processes of a process group that have not ended, zombies left out:
// a zombie whose parent reaps nothing would otherwise count forever.
int LiveMembers(pid_t group) {
  int live = 0;
  std::error_code ec;
  for (fs::directory_iterator it("/proc", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
      continue;
    }
    // "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses.
    const std::string stat = ReadFile(it->path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    long parent = 0;
    long pgrp = 0;
    if (rest >> state >> parent >> pgrp && pgrp == group && state != 'Z') {
      ++live;
    }
  }
  return live;
}

// Whether pid is a Postfix master, not a process that took its number;
// async-signal-safe, for the watchdog.
bool IsMaster(pid_t pid) {
  char digits[16];
  int n = 0;
  for (pid_t rest = pid; rest > 0 && n < 15; rest /= 10) {
    digits[n++] = static_cast<char>('0' + rest % 10);
  }
  char path[40] = "/proc/";
  int at = 6;
  while (n > 0) path[at++] = digits[--n];
  for (const char* tail = "/comm"; *tail != '\0'; ++tail) path[at++] = *tail;
  path[at] = '\0';
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  char comm[16] = {};
  const ssize_t got = ::read(fd, comm, sizeof comm - 1);
  ::close(fd);
  return got == 7 && ::memcmp(comm, "master\n", 7) == 0;
}

// Reaps whatever of the group has become our child and has ended.
void ReapGroup(pid_t group) {
  int status = 0;
  while (::waitpid(-group, &status, WNOHANG) > 0) {
  }
}

// The configuration the header describes, @NAME@ for what each instance
// has of its own.
constexpr char kMainCf[] = R"(compatibility_level = 3.6
queue_directory = @FOLDER@/queue
data_directory = @FOLDER@/data
maillog_file = @FOLDER@/postfix.log
maillog_file_prefixes = @FOLDER@
myhostname = mx.example.org
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
mydestination =
relay_domains =
alias_maps =
alias_database =
local_recipient_maps =
smtpd_peername_lookup = no
smtp_dns_support_level = disabled
default_transport = error:mail leaves only through the filter
relay_transport = error:mail leaves only through the filter
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
virtual_mailbox_domains = example.com
virtual_mailbox_base = @FOLDER@/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:@UID@
virtual_gid_maps = static:@GID@
content_filter = vtrouter:[127.0.0.1]:@FILTER@
receive_override_options = no_address_mappings
)";

constexpr char kMasterCf[] = R"(127.0.0.1:@PUBLIC@ inet n - n - - smtpd
vtrouter unix - - n - @FILTERPROCESSES@ smtp
  -o smtp_send_xforward_command=yes
  -o disable_mime_output_conversion=yes
  -o smtp_generic_maps=
127.0.0.1:@REINJECTION@ inet n - n - 10 smtpd
  -o content_filter=
  -o receive_override_options=no_unknown_recipient_checks,no_header_body_checks,no_milters
  -o smtpd_helo_restrictions=
  -o smtpd_client_restrictions=
  -o smtpd_sender_restrictions=
  -o smtpd_relay_restrictions=
  -o smtpd_recipient_restrictions=permit_mynetworks,reject
  -o mynetworks=127.0.0.0/8
  -o smtpd_authorized_xforward_hosts=127.0.0.0/8
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
)";

std::string Substitute(
    std::string text,
    const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [name, value] : values) {
    for (size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + value.size())) {
      text.replace(at, name.size(), value);
    }
  }
  return text;
}

}  // namespace

std::string MessageBody(const std::string& message) {
  const size_t lf = message.find("\n\n");
  const size_t crlf = message.find("\r\n\r\n");
  if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) {
    return message.substr(crlf + 4);
  }
  return lf == std::string::npos ? std::string() : message.substr(lf + 2);
}

std::string WithLfLineEnds(const std::string& message) {
  std::string out;
  out.reserve(message.size());
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r' && i + 1 < message.size() &&
        message[i + 1] == '\n') {
      continue;
    }
    out.push_back(message[i]);
  }
  return out;
}

PostfixInstance::PostfixInstance() {
  std::string pattern =
      (fs::temp_directory_path() / "vtpostfix-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "cannot make a temporary folder";
    return;
  }
  folder_ = fs::canonical(pattern).string();
  if (!PickPorts(&publicPort_, &reinjectionPort_)) {
    error_ = "no free loopback ports";
  }
}

PostfixInstance::~PostfixInstance() {
  Stop();
  if (folder_.empty()) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);
}

std::string PostfixInstance::Unavailable() {
  if (::geteuid() != 0) return "a private Postfix instance needs root";
  for (const char* program : {kPostfix, kPostqueue, kSwaks}) {
    if (::access(program, X_OK) != 0) {
      return std::string(program) + " is missing (scripts/setup installs it)";
    }
  }
  if (::getpwnam("nobody") == nullptr) return "no user nobody";
  return {};
}

std::string PostfixInstance::configDirectory() const {
  return folder_ + "/conf";
}

std::string PostfixInstance::Log() const {
  return ReadFile(fs::path(folder_) / "postfix.log");
}

bool PostfixInstance::WriteConfig(int filterPort,
                                  const PostfixSettings& settings) {
  const struct passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) {
    error_ = "no user nobody";
    return false;
  }
  const fs::path folder(folder_);
  std::error_code ec;
  // The virtual delivery agent writes the Maildir as nobody, through this
  // folder.
  fs::permissions(folder,
                  fs::perms::owner_all | fs::perms::group_read |
                      fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec,
                  ec);
  fs::create_directories(folder / "conf", ec);
  fs::create_directories(folder / "queue", ec);
  fs::create_directories(folder / "mail", ec);
  if (ec ||
      ::chown((folder / "mail").c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
    error_ = "cannot make the folders of " + folder_;
    return false;
  }
  const std::vector<std::pair<std::string, std::string>> values = {
      {"@FOLDER@", folder_},
      {"@FILTER@", std::to_string(filterPort)},
      {"@PUBLIC@", std::to_string(publicPort_)},
      {"@REINJECTION@", std::to_string(reinjectionPort_)},
      {"@UID@", std::to_string(nobody->pw_uid)},
      {"@GID@", std::to_string(nobody->pw_gid)},
      {"@FILTERPROCESSES@", std::to_string(settings.filterProcesses)}};
  std::string mainCf = Substitute(kMainCf, values);
  if (settings.messageSizeLimit > 0) {
    mainCf +=
        "message_size_limit = " + std::to_string(settings.messageSizeLimit) +
        "\n";
  }
  if (settings.retrySeconds > 0) {
    const std::string seconds = std::to_string(settings.retrySeconds) + "s";
    mainCf += "queue_run_delay = " + seconds +
              "\nminimal_backoff_time = " + seconds +
              "\nmaximal_backoff_time = " + seconds + "\n";
  }
  const std::string masterCf = Substitute(kMasterCf, values);
  if (!WriteFile(folder / "conf" / "main.cf", mainCf) ||
      !WriteFile(folder / "conf" / "master.cf", masterCf)) {
    error_ = "cannot write the configuration into " + folder_;
    return false;
  }
  return true;
}

bool PostfixInstance::Start(int filterPort, const PostfixSettings& settings) {
  if (!error_.empty()) return false;
  error_ = Unavailable();
  if (!error_.empty()) return false;
  if (!WriteConfig(filterPort, settings)) return false;
  // The master detaches, and on a machine whose first process reaps no one
  // (a container) it and its children would stay as zombies; as their
  // subreaper this process gets them and reaps them in Stop.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  StartWatchdog();
  // The first start also makes the queue's folders (post-install).
  const RunResult started =
      RunProgram(kPostfix, {"-c", configDirectory(), "start"});
  const std::string pidText =
      ReadFile(fs::path(folder_) / "queue" / "pid" / "master.pid");
  masterPid_ = std::atoi(pidText.c_str());
  if (masterPid_ > 0 &&
      ReadFile("/proc/" + std::to_string(masterPid_) + "/comm") != "master\n") {
    masterPid_ = 0;
  }
  if (started.exitCode != 0 || masterPid_ <= 0) {
    error_ = "postfix start failed (exit " + std::to_string(started.exitCode) +
             "): " + started.out + started.err + "\nits log:\n" + Log();
    Stop();
    return false;
  }
  return true;
}

// A test process that dies (a crash, a timeout's SIGKILL) runs no
// destructor, and the master, in a session of its own, would outlive it.
// The watchdog, in a session of its own too, waits for the end of a pipe
// whose only writer is this process, and then ends the master named by the
// pid file, for a while, since a start under way may write it late.
void PostfixInstance::StartWatchdog() {
  const std::string pidFile = folder_ + "/queue/pid/master.pid";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t child = ::fork();
  if (child == 0) {
    // Only async-signal-safe calls from here on. It keeps nothing of the
    // test's open: no socket stays connected, no output pipe open, because
    // of it.
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3 && null >= 0; ++fd) ::dup2(null, fd);
    const int parent = fds[0] == 3 ? 3 : ::dup2(fds[0], 3);
    if (parent == 3) ::close_range(4, ~0U, 0);
    char byte;
    while (::read(parent, &byte, 1) < 0 && errno == EINTR) {
    }
    pid_t master = 0;
    for (int second = 0; second < 15; ++second) {
      const int fd = ::open(pidFile.c_str(), O_RDONLY);
      if (fd >= 0) {
        // Postfix pads the number to the width of a 64-bit one.
        char text[64] = {};
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        pid_t pid = 0;
        for (ssize_t i = 0; i < n; ++i) {
          if (text[i] >= '0' && text[i] <= '9')
            pid = pid * 10 + (text[i] - '0');
        }
        if (pid > 1 && IsMaster(pid)) {
          master = pid;
          ::kill(master, SIGTERM);
        }
      }
      ::sleep(1);
    }
    if (master > 1) ::kill(-master, SIGKILL);
    ::_exit(0);
  }
  ::close(fds[0]);
  if (child < 0) {
    ::close(fds[1]);
    return;
  }
  watchdogPid_ = child;
  watchdogPipe_ = fds[1];
}

void PostfixInstance::StopWatchdog() {
  if (watchdogPid_ <= 0) return;
  // Ended before the pipe closes, so that it signals no one.
  ::kill(watchdogPid_, SIGKILL);
  ::waitpid(watchdogPid_, nullptr, 0);
  ::close(watchdogPipe_);
  watchdogPid_ = 0;
  watchdogPipe_ = -1;
}

void PostfixInstance::Stop() {
  StopWatchdog();
  if (masterPid_ <= 0) return;
  const pid_t master = masterPid_;
  masterPid_ = 0;
  // As `postfix stop` does: the master ends its children and then itself.
  ::kill(master, SIGTERM);
  const auto wait = [&](int millis) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
    for (;;) {
      ReapGroup(master);
      if (LiveMembers(master) == 0) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  if (!wait(10000)) {
    ::kill(-master, SIGKILL);
    wait(10000);
  }
}

RunResult PostfixInstance::Send(int port, const std::string& from,
                                const std::string& to,
                                const std::string& message) const {
  // swaks ends the data with CRLF "." CRLF of its own: the message's last
  // line end is left out so that it is not doubled.
  std::string data = message;
  if (data.size() >= 2 && data.compare(data.size() - 2, 2, "\r\n") == 0) {
    data.resize(data.size() - 2);
  } else if (!data.empty() && data.back() == '\n') {
    data.pop_back();
  }
  const fs::path file =
      fs::path(folder_) / ("message" + std::to_string(++sent_) + ".eml");
  if (!WriteFile(file, data)) return {};
  return RunProgram(kSwaks,
                    {"--server", "127.0.0.1", "--port", std::to_string(port),
                     "--helo", "client.example.org", "--from", from, "--to", to,
                     "--data", "@" + file.string()},
                    60000);
}

std::vector<QueuedMessage> PostfixInstance::Queue() const {
  std::vector<QueuedMessage> queue;
  const RunResult listed =
      RunProgram(kPostqueue, {"-c", configDirectory(), "-j"});
  std::istringstream lines(listed.out);
  std::string line;
  while (std::getline(lines, line)) {
    const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (!entry.is_object()) continue;
    QueuedMessage m;
    m.queueName = entry.value("queue_name", "");
    m.queueId = entry.value("queue_id", "");
    m.sender = entry.value("sender", "");
    for (const nlohmann::json& r :
         entry.value("recipients", nlohmann::json::array())) {
      m.recipients.push_back(r.value("address", ""));
      m.delayReasons.push_back(r.value("delay_reason", ""));
    }
    queue.push_back(std::move(m));
  }
  return queue;
}

RunResult PostfixInstance::Flush() const {
  return RunProgram(kPostqueue, {"-c", configDirectory(), "-f"});
}

std::vector<std::string> PostfixInstance::Maildir() const {
  std::vector<std::pair<fs::file_time_type, std::string>> files;
  std::error_code ec;
  for (const char* sub : {"new", "cur"}) {
    const fs::path dir = fs::path(folder_) / "mail" / "inbox" / sub;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
         it.increment(ec)) {
      files.emplace_back(
          it->last_write_time(ec),
          std::string(sub) + "/" + it->path().filename().string());
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> names;
  for (auto& f : files) names.push_back(std::move(f.second));
  return names;
}

std::string PostfixInstance::ReadMaildir(const std::string& name) const {
  return ReadFile(fs::path(folder_) / "mail" / "inbox" / name);
}

}  // namespace vt::e2e
