// `vtserver web DIR [--listen ADDR:PORT] [--token-file FILE]`: the web
// console beside the router, until SIGTERM or SIGINT; SIGHUP reopens the
// log.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "DataDirCommand.h"
#include "web/WebApi.h"
#include "web/WebConsole.h"

namespace vt::tool {
namespace {

// Ends the console once the server's task runtime was told to end. The
// runtime takes the signals (blocked in every thread, read from a
// descriptor), so stopping runs outside a signal handler.
class StopOnSignal {
 public:
  StopOnSignal(WebApi& api, WebConsole& console) {
    waiter_ = std::thread([this, &api, &console] {
      while (!done_) {
        // A stop asked before the console began to serve is kept: Serve
        // then returns at once.
        if (api.EndRequested()) console.Stop();
        std::this_thread::sleep_for(kPoll);
      }
    });
  }
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;
  ~StopOnSignal() {
    done_ = true;
    waiter_.join();
  }

 private:
  static constexpr std::chrono::milliseconds kPoll{100};
  std::atomic<bool> done_{false};
  std::thread waiter_;
};

class WebCommand : public DataDirCommand {
 public:
  WebCommand()
      : DataDirCommand("web",
                       "Serve the web console: the overview, the log and the "
                       "quarantine in a browser") {}

 private:
  // The pages read without the quick check of every database (it would cost
  // a pass over each large one per request); a release or a deletion opens
  // the databases it changes with the check, as the commands do.
  DataDirOptions Options() const override {
    DataDirOptions options;
    options.checkDatabases = false;
    return options;
  }

  void AddArguments(CLI::App& sub) override {
    // A malformed address is a bad command line, exit 2 like the others.
    const CLI::Validator address(
        [](std::string& text) {
          WebListen listen;
          const Outcome outcome = ParseListen(text, &listen);
          return outcome.ok() ? std::string() : outcome.message();
        },
        "ADDRESS:PORT");
    sub.add_option("--listen", listenText_,
                   "ADDRESS:PORT to serve on (default 127.0.0.1:8080; port 0 "
                   "picks a free one)")
        ->check(address);
    sub.add_option("--token-file", tokenFile_,
                   "a file (mode 600) whose first line is the access token "
                   "every request must carry; needed for an address other "
                   "than loopback");
  }

  Outcome CheckArguments() override {
    Outcome outcome = ParseListen(listenText_, &options_.listen);
    if (!outcome.ok()) return outcome;
    if (!tokenFile_.empty()) {
      outcome = ReadTokenFile(tokenFile_, &options_.accessToken);
      if (!outcome.ok()) return outcome;
    }
    if (!options_.listen.loopback && options_.accessToken.empty()) {
      return Outcome::Failure(
          "--listen " + listenText_ +
          " is not a loopback address: give --token-file FILE, whose token "
          "every request must then carry");
    }
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    // The router's runtime: SIGTERM and SIGINT end the console, SIGHUP and
    // SIGUSR1 (logrotate's) have the log reopened before its next line.
    // Started before any thread, as threads inherit the blocked signals.
    std::string data = dir();
    char program[] = "vtserver";
    char option[] = "--data";
    char* arguments[] = {program, option, data.data(), nullptr};
    const Status started = server.StartRuntime(3, arguments);
    if (!started.ok()) {
      return StatusFailure("cannot serve " + dir(), started);
    }
    WebApi api(dir(), server);
    WebConsole console(api, options_);
    Outcome outcome = console.Bind();
    if (!outcome.ok()) return outcome;
    const std::string host = options_.listen.host.find(':') == std::string::npos
                                 ? options_.listen.host
                                 : "[" + options_.listen.host + "]";
    const std::string url =
        "http://" + host + ":" + std::to_string(console.port()) + "/";
    bool served = false;
    {
      StopOnSignal stop(api, console);
      std::printf("vtserver web: the console of %s is at %s (Ctrl-C ends)\n",
                  dir().c_str(), url.c_str());
      std::fflush(stdout);
      server.LogMessage("vtserver: Web console started at %s.", Status(),
                        url.c_str());
      served = console.Serve();
    }
    server.LogMessage("vtserver: Web console stopped.", Status());
    server.StopRuntime();
    if (!served) return Outcome::Failure("the web console failed at " + url);
    return Outcome();
  }

  std::string listenText_ = "127.0.0.1:8080";
  std::string tokenFile_;
  WebConsoleOptions options_;
};

}  // namespace

std::unique_ptr<Command> MakeWebCommand() {
  return std::make_unique<WebCommand>();
}

}  // namespace vt::tool
