// `vtserver scanner DIR [--rspamd URL] [--spamd ENDPOINT] [--clamd ENDPOINT]
// ...`: the product's scanner on real engines, as a service of its own. The
// engines come from server.ini's [Scanner] section; the options given here
// override it. Runs until SIGTERM or SIGINT.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "scanner/EngineSet.h"
#include "scanner/ScannerStatus.h"
#include "scanning/ScanService.h"

namespace vt::tool {
namespace {

using scanner::Route;

std::optional<Route> ParseRoute(const std::string& text) {
  if (text.size() != 1) return std::nullopt;
  return scanner::RouteFromLetter(
      static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))));
}

// "virus=D", "rspamd:reject=C", "rspamd:soft reject=none",
// "rspamd:other=B", "spamd:spam=B", "spamd:high=C".
Outcome ApplyMapping(const std::string& text, scanner::VerdictPolicy* policy) {
  const size_t equals = text.rfind('=');
  const Outcome bad = Outcome::Failure(
      "--map " + text +
      ": not virus=ROUTE, rspamd:ACTION=ROUTE, rspamd:other=ROUTE, "
      "spamd:spam=ROUTE or spamd:high=ROUTE (ROUTE: M, B, C, D; none for "
      "an rspamd action that gives no verdict)");
  if (equals == std::string::npos) return bad;
  const std::string key = text.substr(0, equals);
  const std::string value = text.substr(equals + 1);
  const std::optional<Route> route = ParseRoute(value);
  if (key.starts_with("rspamd:") && key != "rspamd:other") {
    std::string action = key.substr(7);
    for (char& c : action) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (action.empty()) return bad;
    if (value == "none") {
      policy->rspamdActions[action] = std::nullopt;
      return Outcome();
    }
    if (!route) return bad;
    policy->rspamdActions[action] = *route;
    return Outcome();
  }
  if (!route) return bad;
  if (key == "virus") {
    policy->virus = *route;
  } else if (key == "rspamd:other") {
    policy->rspamdOtherAction = *route;
  } else if (key == "spamd:spam") {
    policy->spamdSpam = *route;
  } else if (key == "spamd:high") {
    policy->spamdHigh = *route;
  } else {
    return bad;
  }
  return Outcome();
}

class ScannerCommand : public DataDirCommand {
 public:
  ScannerCommand()
      : DataDirCommand("scanner",
                       "Give the messages of the router's scan boxes their "
                       "verdicts from rspamd, SpamAssassin (spamd) and ClamAV "
                       "(clamd)") {}

 private:
  void AddArguments(CLI::App& sub) override {
    struct Setting {
      const char* option;
      const char* name;
      const char* help;
    };
    static const Setting kSettings[] = {
        {"--rspamd", "Rspamd", "rspamd's normal worker (http://HOST:PORT)"},
        {"--rspamd-controller", "RspamdController",
         "rspamd's controller, for learning (http://HOST:PORT)"},
        {"--rspamd-password", "RspamdPassword", "the controller's password"},
        {"--spamd", "Spamd", "spamd at HOST:PORT or a Unix socket's path"},
        {"--spamd-user", "SpamdUser", "whose SpamAssassin settings to use"},
        {"--clamd", "Clamd", "clamd at a Unix socket's path or HOST:PORT"},
        {"--timeout", "Timeout", "seconds one message may take (default 30)"},
    };
    for (const Setting& setting : kSettings) {
      std::string* value = &given_[setting.name];
      sub.add_option(setting.option, *value,
                     std::string(setting.help) + "; server.ini: [Scanner] " +
                         setting.name);
    }
    sub.add_option("--concurrency", policy_.concurrency,
                   "messages scanned at once (default 8)");
    sub.add_option("--max-size", policy_.maxBytes,
                   "bytes above which a message is not scanned but given "
                   "--oversize-verdict (default 10485760)");
    sub.add_option("--oversize-verdict", oversize_,
                   "the route of a message too large to scan (default M)");
    sub.add_option("--max-failures", policy_.maxFailures,
                   "scans of one message that may fail while its engines "
                   "answer others, before it is given --failed-verdict "
                   "(default 3)");
    sub.add_option("--failed-verdict", failed_,
                   "the route of such a message (default M)");
    sub.add_option("--map", maps_,
                   "how an answer maps to a route: virus=D, "
                   "rspamd:reject=C, rspamd:add header=B, rspamd:other=B, "
                   "spamd:spam=B, spamd:high=C (the defaults); repeat");
    sub.add_option("--spamd-high-factor", policy_.verdicts.spamdHighFactor,
                   "spamd spam at this many times its threshold is "
                   "spamd:high (default 2)");
  }

  Outcome CheckArguments() override {
    for (const std::string& map : maps_) {
      Outcome outcome = ApplyMapping(map, &policy_.verdicts);
      if (!outcome.ok()) return outcome;
    }
    const std::optional<Route> oversize = ParseRoute(oversize_);
    const std::optional<Route> failed = ParseRoute(failed_);
    if (!oversize) return Outcome::Failure("--oversize-verdict: M, B, C or D");
    if (!failed) return Outcome::Failure("--failed-verdict: M, B, C or D");
    policy_.oversizeRoute = *oversize;
    policy_.failedRoute = *failed;
    if (policy_.concurrency < 1 || policy_.concurrency > 256) {
      return Outcome::Failure("--concurrency must be from 1 to 256");
    }
    if (policy_.maxFailures < 1) {
      return Outcome::Failure("--max-failures must be at least 1");
    }
    if (policy_.verdicts.spamdHighFactor < 1) {
      return Outcome::Failure("--spamd-high-factor must be at least 1");
    }
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    scanner::EngineSettings settings;
    std::string error =
        scanner::ApplyEngineSettings(server.serverIni().scanner(), &settings);
    if (!error.empty()) {
      return Outcome::Failure("server.ini [Scanner] " + error);
    }
    for (const auto& [name, value] : given_) {
      if (value.empty()) continue;
      error = scanner::ApplyEngineSetting(name, value, &settings);
      if (!error.empty()) return Outcome::Failure(error);
    }
    if (settings.empty()) {
      return Outcome::Failure(
          "no engine to scan with: give --rspamd, --spamd or --clamd, or set "
          "them in server.ini's [Scanner] section");
    }
    const Outcome started = StartServiceRuntime(server);
    if (!started.ok()) return started;
    const scanner::EngineSet engines(settings);
    const Outcome outcome = Serve(server, engines);
    server.StopRuntime();
    return outcome;
  }

  Outcome Serve(LocalNotesServices& server, const scanner::EngineSet& engines) {
    std::string names;
    for (const scanner::Engine engine : engines.engines()) {
      if (!names.empty()) names += ", ";
      names += engines.Describe(engine);
    }
    ScanService service(server, engines, policy_);
    std::printf("vtserver scanner: scanning for %s with %s (Ctrl-C ends)\n",
                dir().c_str(), names.c_str());
    std::fflush(stdout);
    server.LogMessage("Scanner: Scanning with %s, %lu at once.", Status(),
                      names.c_str(),
                      static_cast<unsigned long>(policy_.concurrency));
    Outcome outcome;
    {
      ServiceStatusLine line(server, scanner::kScannerStatusLineName);
      outcome = service.Run([&server] { return server.ShouldTerminate(); },
                            [&line](const scanner::ScannerCounts& counts) {
                              line.Show(scanner::FormatScannerStatus(counts));
                            });
    }
    const scanner::ScannerCounts& c = service.counts();
    server.LogMessage(
        "Scanner: Stopped: verdicts M %llu, B %llu, C %llu, D %llu; %llu "
        "given without one; %llu engine failures.",
        Status(), static_cast<unsigned long long>(c.verdicts[0]),
        static_cast<unsigned long long>(c.verdicts[1]),
        static_cast<unsigned long long>(c.verdicts[2]),
        static_cast<unsigned long long>(c.verdicts[3]),
        static_cast<unsigned long long>(c.givenUp),
        static_cast<unsigned long long>(c.failures));
    return outcome;
  }

  std::map<std::string, std::string> given_;
  std::vector<std::string> maps_;
  std::string oversize_ = "M";
  std::string failed_ = "M";
  ScanPolicy policy_;
};

}  // namespace

std::unique_ptr<Command> MakeScannerCommand() {
  return std::make_unique<ScannerCommand>();
}

}  // namespace vt::tool
