// `vtserver stats DIR [--json | --prometheus]`: the router's state and the
// day's totals, the mail waiting for the router and for the scanner, the
// quarantines' fill and every database, for a person, for a script, or for
// Prometheus (node_exporter's textfile collector).
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "DataDirCommand.h"
#include "ItemText.h"
#include "JsonOut.h"
#include "Quarantine.h"
#include "Stats.h"

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
      scanner += ", the oldest written " +
                 Age(stats.OldestWaitingScannerAgeSeconds()) + " ago (" +
                 UtcText(*b.oldestWaitingScanner) + " UTC)";
    }
    lines.emplace_back("Waiting for the scanner", scanner);
    if (!b.unreadBoxes.empty()) {
      std::string names;
      for (const std::string& box : b.unreadBoxes) {
        names += (names.empty() ? "" : ", ") + Printable(box);
      }
      lines.emplace_back("Not counted", "unreadable: " + names);
    }
  }
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

// ---- JSON ------------------------------------------------------------------

Json StatsJson(const Stats& stats) {
  const RouterStatus& router = stats.router;
  Json today = nullptr;
  if (router.totals) {
    today = Json{{"mail", router.totals->mail},
                 {"spamB", router.totals->spamB},
                 {"spamC", router.totals->spamC},
                 {"spamD", router.totals->spamD}};
  }
  Json out = Json::object();
  out["time"] = IsoUtcText(stats.now);
  out["router"] =
      Json{{"state", RouterStateName(router.state)},
           {"status", router.state == RouterState::kStopped
                          ? Json(nullptr)
                          : Json(JsonText(router.text))},
           {"version", router.version.empty() ? Json(nullptr)
                                              : Json(JsonText(router.version))},
           {"today", today}};
  if (!stats.configProblem.empty()) {
    out["configurationError"] = JsonText(stats.configProblem);
    out["waiting"] = nullptr;
  } else {
    const BacklogStats& b = stats.backlog;
    Json unread = Json::array();
    for (const std::string& box : b.unreadBoxes)
      unread.push_back(JsonText(box));
    out["waiting"] = Json{
        {"interception", b.waitingInterception},
        {"held", b.held},
        {"scanner", b.waitingScanner},
        {"scannerOldest", b.oldestWaitingScanner
                              ? Json(IsoUtcText(*b.oldestWaitingScanner))
                              : Json(nullptr)},
        {"scannerOldestAgeSeconds",
         b.oldestWaitingScanner ? Json(stats.OldestWaitingScannerAgeSeconds())
                                : Json(nullptr)},
        {"unreadBoxes", unread}};
  }
  Json quarantines = Json::array();
  for (const QuarantineStats& q : stats.quarantines) {
    Json entry{
        {"perimeter", std::string(1, q.perimeter)},
        {"path", q.path.empty() ? Json(nullptr) : Json(JsonText(q.path))},
        {"exists", q.exists},
        {"messages", q.messages},
        {"files", q.files},
        {"usedBytes", q.usedBytes},
        {"limitBytes", q.limitBytes},
        {"fillRatio", q.FillRatio()}};
    if (!q.problem.empty()) entry["error"] = JsonText(q.problem);
    quarantines.push_back(std::move(entry));
  }
  out["quarantines"] = std::move(quarantines);
  Json databases = Json::array();
  for (const DatabaseStats& d : stats.databases) {
    Json entry{
        {"path", JsonText(d.path)},
        {"documents", d.problem.empty() ? Json(d.documents) : Json(nullptr)},
        {"sizeBytes", d.sizeBytes}};
    if (!d.problem.empty()) entry["error"] = JsonText(d.problem);
    databases.push_back(std::move(entry));
  }
  out["databases"] = std::move(databases);
  return out;
}

// ---- Prometheus text exposition --------------------------------------------

// Every metric is a gauge: the day's totals go back to zero at midnight and
// with every restart of the router, which a counter must never do.
class Exposition {
 public:
  void Family(const char* name, const char* help) {
    out_ += "# HELP " + std::string(name) + " " + help + "\n";
    out_ += "# TYPE " + std::string(name) + " gauge\n";
  }

  void Sample(const char* name, uint64_t value) {
    out_ += std::string(name) + " " + std::to_string(value) + "\n";
  }
  void Sample(const char* name, const char* label, const std::string& value,
              uint64_t number) {
    Labelled(name, label, value);
    out_ += std::to_string(number) + "\n";
  }
  void Sample(const char* name, const char* label, const std::string& value,
              double number) {
    Labelled(name, label, value);
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, number);
    out_.append(text, result.ptr);
    out_ += "\n";
  }

  const std::string& text() const { return out_; }

 private:
  // A label value escapes backslash, double quote and line feed.
  void Labelled(const char* name, const char* label, const std::string& value) {
    out_ += std::string(name) + "{" + label + "=\"";
    for (const char c : JsonText(value)) {
      if (c == '\\') {
        out_ += "\\\\";
      } else if (c == '"') {
        out_ += "\\\"";
      } else if (c == '\n') {
        out_ += "\\n";
      } else {
        out_ += c;
      }
    }
    out_ += "\"} ";
  }

  std::string out_;
};

std::string PrometheusText(const Stats& stats) {
  Exposition e;
  e.Family("vtrouter_router_state",
           "State of the router task: 1 for the state it is in.");
  for (const RouterState state :
       {RouterState::kRunning, RouterState::kPaused, RouterState::kStopped}) {
    e.Sample("vtrouter_router_state", "state", RouterStateName(state),
             uint64_t{stats.router.state == state});
  }
  if (stats.router.totals) {
    const RouterTotals& t = *stats.router.totals;
    e.Family("vtrouter_messages_today",
             "Messages the router moved today by route: mail to the mail "
             "boxes, B, C and D to their quarantines.");
    const std::pair<const char*, int64_t> routes[] = {
        {"mail", t.mail}, {"B", t.spamB}, {"C", t.spamC}, {"D", t.spamD}};
    for (const auto& [route, count] : routes) {
      e.Sample("vtrouter_messages_today", "route", route,
               static_cast<uint64_t>(std::max<int64_t>(0, count)));
    }
  }
  if (stats.configProblem.empty()) {
    const BacklogStats& b = stats.backlog;
    e.Family("vtrouter_waiting_interception_messages",
             "Messages in the mail boxes that the router's interception "
             "selects for the scan boxes.");
    e.Sample("vtrouter_waiting_interception_messages", b.waitingInterception);
    e.Family("vtrouter_held_messages",
             "Messages in the mail boxes with RoutingState HOLD.");
    e.Sample("vtrouter_held_messages", b.held);
    e.Family("vtrouter_waiting_scanner_messages",
             "Messages in the scan boxes without a verdict of the scanner.");
    e.Sample("vtrouter_waiting_scanner_messages", b.waitingScanner);
    e.Family("vtrouter_waiting_scanner_oldest_age_seconds",
             "Age of the oldest message without a verdict in the scan boxes; "
             "0 when none waits.");
    e.Sample("vtrouter_waiting_scanner_oldest_age_seconds",
             static_cast<uint64_t>(stats.OldestWaitingScannerAgeSeconds()));

    e.Family("vtrouter_quarantine_messages",
             "Messages in the quarantine databases of a perimeter, rolled-over "
             "ones included.");
    for (const QuarantineStats& q : stats.quarantines) {
      e.Sample("vtrouter_quarantine_messages", "perimeter",
               std::string(1, q.perimeter), q.messages);
    }
    e.Family("vtrouter_quarantine_used_bytes",
             "Bytes the current quarantine database of a perimeter uses.");
    for (const QuarantineStats& q : stats.quarantines) {
      e.Sample("vtrouter_quarantine_used_bytes", "perimeter",
               std::string(1, q.perimeter), q.usedBytes);
    }
    e.Family("vtrouter_quarantine_limit_bytes",
             "MaxQuarantineSize: the size at which the router starts a new "
             "quarantine database.");
    for (const QuarantineStats& q : stats.quarantines) {
      e.Sample("vtrouter_quarantine_limit_bytes", "perimeter",
               std::string(1, q.perimeter), q.limitBytes);
    }
    e.Family("vtrouter_quarantine_fill_ratio",
             "Used bytes of the current quarantine database over the limit.");
    for (const QuarantineStats& q : stats.quarantines) {
      e.Sample("vtrouter_quarantine_fill_ratio", "perimeter",
               std::string(1, q.perimeter), q.FillRatio());
    }
  }

  e.Family("vtrouter_database_readable",
           "1 when the database could be read, 0 when not.");
  for (const DatabaseStats& d : stats.databases) {
    e.Sample("vtrouter_database_readable", "database", d.path,
             uint64_t{d.problem.empty()});
  }
  e.Family("vtrouter_database_documents", "Documents in the database.");
  for (const DatabaseStats& d : stats.databases) {
    if (d.problem.empty()) {
      e.Sample("vtrouter_database_documents", "database", d.path, d.documents);
    }
  }
  e.Family("vtrouter_database_size_bytes",
           "Bytes of the database file and its write-ahead log on disk.");
  for (const DatabaseStats& d : stats.databases) {
    e.Sample("vtrouter_database_size_bytes", "database", d.path, d.sizeBytes);
  }
  return e.text();
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
  }

  Outcome RunOn(LocalNotesServices& server) override {
    const Stats stats = GatherStats(server);
    if (json_) {
      PrintJson(StatsJson(stats));
    } else if (prometheus_) {
      Emit(PrometheusText(stats));
    } else {
      Emit(PlainText(stats));
    }
    return Outcome();
  }

  bool json_ = false;
  bool prometheus_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeStatsCommand() {
  return std::make_unique<StatsCommand>();
}

}  // namespace vt::tool
