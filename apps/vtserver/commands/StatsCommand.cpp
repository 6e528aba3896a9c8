// `vtserver stats DIR [--json | --prometheus]`: the router's state and the
// day's totals, the mail waiting for the router and for the scanner, the
// quarantines' fill and every database, for a person, for a script, or for
// Prometheus (node_exporter's textfile collector, written in place with
// --output).
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/ItemText.h"
#include "datadir/JsonOut.h"
#include "quarantine/Quarantine.h"
#include "stats/Stats.h"
#include "stats/StatsFormats.h"
#include "stats/TextFile.h"

namespace vt::tool {
namespace {

void Emit(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// ---- Plain text ------------------------------------------------------------

std::string Padded(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

std::string RightAligned(const std::string& text, size_t width) {
  return text.size() >= width ? text
                              : std::string(width - text.size(), ' ') + text;
}

std::string Bytes(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024.0;
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

// "45s", "12m 03s", "2h 05m", "3d 04h": the two leading units.
std::string Age(int64_t seconds) {
  char text[32];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%" PRId64 "s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%" PRId64 "m %02" PRId64 "s",
                  seconds / 60, seconds % 60);
  } else if (seconds < 86400) {
    std::snprintf(text, sizeof text, "%" PRId64 "h %02" PRId64 "m",
                  seconds / 3600, seconds % 3600 / 60);
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 "d %02" PRId64 "h",
                  seconds / 86400, seconds % 86400 / 3600);
  }
  return text;
}

std::string Percent(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", ratio * 100.0);
  return text;
}

// The lines a person reads: a summary, then the quarantines, then the
// databases, each table aligned on its widest entry.
std::string PlainText(const Stats& stats) {
  std::vector<std::pair<std::string, std::string>> lines;
  const RouterStatus& router = stats.router;
  std::string state = RouterStateName(router.state);
  if (!router.version.empty()) {
    state += ", version " + Printable(router.version);
  } else if (router.state == RouterState::kRunning) {
    state += " (\"" + Printable(router.text) + "\")";
  }
  lines.emplace_back("Router", state);
  if (router.totals) {
    const RouterTotals& t = *router.totals;
    lines.emplace_back("Today", "mail " + std::to_string(t.mail) + ", spam B " +
                                    std::to_string(t.spamB) + ", spam C " +
                                    std::to_string(t.spamC) + ", spam D " +
                                    std::to_string(t.spamD));
  } else if (router.state == RouterState::kStopped) {
    lines.emplace_back("Today", "unknown: the router is not running");
  } else {
    lines.emplace_back("Today",
                       "unknown: the router's status line shows no totals");
  }
  if (!stats.configProblem.empty()) {
    lines.emplace_back("Configuration", Printable(stats.configProblem));
    lines.emplace_back("Waiting", "unknown without the configuration");
  } else {
    const BacklogStats& b = stats.backlog;
    lines.emplace_back(
        "Waiting for interception",
        std::to_string(b.waitingInterception) + " in the mail boxes");
    lines.emplace_back("Held", std::to_string(b.held) + " in the mail boxes");
    std::string scanner =
        std::to_string(b.waitingScanner) + " in the scan boxes";
    if (b.oldestWaitingScanner) {
      scanner += ", the longest waiting " +
                 Age(stats.OldestWaitingScannerAgeSeconds()) + " (since " +
                 UtcText(*b.oldestWaitingScanner) + " UTC)";
    }
    lines.emplace_back("Waiting for the scanner", scanner);
    const DeliveryStats& d = stats.delivery;
    std::string delivery = std::to_string(d.waiting) + " to send, " +
                           std::to_string(d.deferred) + " deferred";
    if (!d.lastDeferral.empty()) {
      delivery += " (" + Printable(d.lastDeferral) + ")";
    }
    lines.emplace_back("Delivery", delivery);
    lines.emplace_back("Dead mail",
                       std::to_string(d.dead) + " in the mail boxes");
    if (!b.unreadBoxes.empty()) {
      std::string names;
      for (const std::string& box : b.unreadBoxes) {
        names += (names.empty() ? "" : ", ") + Printable(box);
      }
      lines.emplace_back("Not counted", "unreadable: " + names);
    }
  }
  if (stats.smtp) {
    const smtp::ServiceCounts& c = stats.smtp->counts;
    lines.emplace_back(
        "SMTP service",
        std::string(stats.smtp->running ? "running" : "not running") +
            ": taken " + std::to_string(c.taken) + ", refused " +
            std::to_string(c.refused) + ", delivered " +
            std::to_string(c.delivered) + ", deferred " +
            std::to_string(c.deferred) + ", dead " + std::to_string(c.dead) +
            ", reports " + std::to_string(c.reports));
  }
  if (stats.scanner) {
    const scanner::ScannerCounts& c = stats.scanner->counts;
    std::string down;
    for (const std::string& engine : c.down) {
      down += (down.empty() ? "" : ", ") + Printable(engine);
    }
    lines.emplace_back(
        "Scanner service",
        std::string(stats.scanner->running ? "running" : "not running") +
            ": verdicts M " + std::to_string(c.verdicts[0]) + ", B " +
            std::to_string(c.verdicts[1]) + ", C " +
            std::to_string(c.verdicts[2]) + ", D " +
            std::to_string(c.verdicts[3]) + "; " + std::to_string(c.waiting) +
            " waiting, " + std::to_string(c.failures) + " engine failures, " +
            std::to_string(c.givenUp) + " given without a verdict" +
            (down.empty() ? "" : "; DOWN: " + down + " (mail waits)"));
  }
  std::string twice =
      std::to_string(stats.messagesInTwoPlaces) +
      (stats.messagesInTwoPlaces == 1 ? " message" : " messages") +
      " held by more than one database";
  if (stats.messagesInTwoPlaces > 0) twice += " (vtserver check names them)";
  lines.emplace_back("In two places", twice);
  size_t width = 0;
  for (const auto& line : lines) width = std::max(width, line.first.size());
  std::string out;
  for (const auto& [label, value] : lines) {
    out += Padded(label, width) + "  " + value + "\n";
  }

  if (!stats.quarantines.empty()) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"QUARANTINE", "MESSAGES", "FILES", "USED", "LIMIT", "FILL",
                    "CURRENT"});
    for (const QuarantineStats& q : stats.quarantines) {
      std::string current =
          q.path.empty() ? "(none configured)" : Printable(q.path);
      if (!q.path.empty() && !q.exists) current += " (not made yet)";
      if (!q.problem.empty()) current += " (" + Printable(q.problem) + ")";
      rows.push_back({std::string(1, q.perimeter), std::to_string(q.messages),
                      std::to_string(q.files), Bytes(q.usedBytes),
                      Bytes(q.limitBytes), Percent(q.FillRatio()), current});
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        widths[i] = std::max(widths[i], row[i].size());
      }
    }
    out += "\n";
    for (const auto& row : rows) {
      out += Padded(row[0], widths[0]);
      for (size_t i = 1; i + 1 < row.size(); ++i) {
        out += "  " + RightAligned(row[i], widths[i]);
      }
      out += "  " + row.back() + "\n";
    }
  }

  out += "\n";
  if (stats.databases.empty()) return out + "no databases\n";
  size_t pathWidth = 8;
  for (const DatabaseStats& d : stats.databases) {
    pathWidth = std::max(pathWidth, Printable(d.path).size());
  }
  out += Padded("DATABASE", pathWidth) + "  DOCUMENTS        SIZE\n";
  for (const DatabaseStats& d : stats.databases) {
    out +=
        Padded(Printable(d.path), pathWidth) + "  " +
        RightAligned(d.problem.empty() ? std::to_string(d.documents) : "-", 9) +
        "  " + RightAligned(Bytes(d.sizeBytes), 10);
    if (!d.problem.empty()) out += "  (" + Printable(d.problem) + ")";
    out += "\n";
  }
  return out;
}

class StatsCommand : public DataDirCommand {
 public:
  StatsCommand()
      : DataDirCommand("stats",
                       "Show the router's state and today's totals, the mail "
                       "waiting for the router and the scanner, the "
                       "quarantines' fill and the databases") {}

 private:
  // Reads only, so that a monitoring account may run it every minute
  // without a full check of every database each time.
  DataDirOptions Options() const override { return DataDirOptions::ReadOnly(); }

  void AddArguments(CLI::App& sub) override {
    CLI::Option* json = sub.add_flag("--json", json_, "print JSON");
    CLI::Option* prometheus = sub.add_flag(
        "--prometheus", prometheus_,
        "print the Prometheus text format (for node_exporter's textfile "
        "collector)");
    json->excludes(prometheus);
    sub.add_option("--output", output_,
                   "with --prometheus: replace FILE whole (through FILE.tmp) "
                   "instead of printing; when the figures cannot be had, "
                   "FILE says the router's state is unknown")
        ->type_name("FILE")
        ->needs(prometheus);
  }

  Outcome RunOn(LocalNotesServices& server) override {
    const Stats stats = GatherStats(server);
    if (json_) {
      PrintJson(StatsJson(stats));
    } else if (!output_.empty()) {
      const Outcome written = ReplaceTextFile(output_, PrometheusText(stats));
      written_ = written.ok();
      return written;
    } else if (prometheus_) {
      Emit(PrometheusText(stats));
    } else {
      Emit(PlainText(stats));
    }
    return Outcome();
  }

  // An older file must not go on showing a running router: the state
  // becomes unknown (a fresh file, so the alert on a stale one stays quiet
  // and the alert on the state speaks); when even that cannot be written,
  // the file goes, and the alert on its absence speaks.
  Outcome Finish(Outcome outcome) override {
    if (outcome.ok() || output_.empty() || written_) return outcome;
    if (!ReplaceTextFile(output_, PrometheusUnknownText()).ok()) {
      std::error_code ignored;
      std::filesystem::remove(output_, ignored);
    }
    return outcome;
  }

  bool json_ = false;
  bool prometheus_ = false;
  std::string output_;
  bool written_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeStatsCommand() {
  return std::make_unique<StatsCommand>();
}

}  // namespace vt::tool
