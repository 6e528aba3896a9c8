// One writer per format, so that the command line, the web console's API
// and its /metrics say exactly the same.
#include "stats/StatsFormats.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <utility>

#include "datadir/ItemText.h"

namespace vt::tool {
namespace {

// ---- Prometheus text exposition --------------------------------------------

// The day's totals are a gauge, since they go back to zero at midnight; the
// counts since the router started are a counter, whose only fall is at a
// restart, which Prometheus's rate() takes for one.
class Exposition {
 public:
  void Family(const char* name, const char* help, const char* type = "gauge") {
    out_ += "# HELP " + std::string(name) + " " + help + "\n";
    out_ += "# TYPE " + std::string(name) + " " + type + "\n";
  }

  void Sample(const char* name, uint64_t value) {
    out_ += std::string(name) + " " + std::to_string(value) + "\n";
  }
  void Sample(const char* name, double value) {
    out_ += std::string(name) + " ";
    Number(value);
  }
  void Sample(const char* name, const char* label, const std::string& value,
              uint64_t number) {
    Labelled(name, label, value);
    out_ += std::to_string(number) + "\n";
  }
  void Sample(const char* name, const char* label, const std::string& value,
              double number) {
    Labelled(name, label, value);
    Number(number);
  }

  const std::string& text() const { return out_; }

 private:
  void Number(double number) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, number);
    out_.append(text, result.ptr);
    out_ += "\n";
  }

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

}  // namespace

// ---- JSON ------------------------------------------------------------------

namespace {

Json TotalsJson(const std::optional<RouterTotals>& totals) {
  if (!totals) return nullptr;
  return Json{{"mail", totals->mail},
              {"spamB", totals->spamB},
              {"spamC", totals->spamC},
              {"spamD", totals->spamD}};
}

}  // namespace

Json StatsJson(const Stats& stats) {
  const RouterStatus& router = stats.router;
  const Json today = TotalsJson(router.totals);
  const Json moved = TotalsJson(router.moved);
  Json out = Json::object();
  out["time"] = IsoUtcText(stats.now);
  out["router"] =
      Json{{"state", RouterStateName(router.state)},
           {"status", router.state == RouterState::kStopped
                          ? Json(nullptr)
                          : Json(JsonText(router.text))},
           {"version", router.version.empty() ? Json(nullptr)
                                              : Json(JsonText(router.version))},
           {"today", today},
           {"movedSinceStart", moved}};
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
  if (stats.configProblem.empty()) {
    const DeliveryStats& d = stats.delivery;
    out["delivery"] =
        Json{{"waiting", d.waiting},
             {"deferred", d.deferred},
             {"dead", d.dead},
             {"lastDeferral", d.lastDeferral.empty()
                                  ? Json(nullptr)
                                  : Json(JsonText(d.lastDeferral))}};
  } else {
    out["delivery"] = nullptr;
  }
  if (stats.smtp) {
    const smtp::ServiceCounts& c = stats.smtp->counts;
    out["smtp"] = Json{{"running", stats.smtp->running},
                       {"taken", c.taken},
                       {"refused", c.refused},
                       {"delivered", c.delivered},
                       {"deferred", c.deferred},
                       {"dead", c.dead},
                       {"reports", c.reports}};
  } else {
    out["smtp"] = nullptr;
  }
  if (stats.scanner) {
    const scanner::ScannerCounts& c = stats.scanner->counts;
    Json down = Json::array();
    for (const std::string& engine : c.down) down.push_back(JsonText(engine));
    out["scanner"] = Json{{"running", stats.scanner->running},
                          {"verdicts",
                           {{"M", c.verdicts[0]},
                            {"B", c.verdicts[1]},
                            {"C", c.verdicts[2]},
                            {"D", c.verdicts[3]}}},
                          {"waiting", c.waiting},
                          {"engineFailures", c.failures},
                          {"givenUp", c.givenUp},
                          {"enginesDown", std::move(down)}};
  } else {
    out["scanner"] = nullptr;
  }
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
  out["messagesInTwoPlaces"] = stats.messagesInTwoPlaces;
  return out;
}

namespace {

constexpr char kStateMetric[] = "vtrouter_router_state";
constexpr char kUnknownState[] = "unknown";

// unknown is 1 only when the figures could not be gathered at all.
void RouterStateFamily(Exposition& e, const RouterState* state) {
  e.Family(kStateMetric,
           "State of the router task: 1 for the state it is in; unknown when "
           "vtserver stats could not read the data directory.");
  for (const RouterState each :
       {RouterState::kRunning, RouterState::kPaused, RouterState::kStopped}) {
    e.Sample(kStateMetric, "state", RouterStateName(each),
             uint64_t{state != nullptr && *state == each});
  }
  e.Sample(kStateMetric, "state", kUnknownState, uint64_t{state == nullptr});
}

void RoutesFamily(Exposition& e, const char* name, const char* help,
                  const char* type, const RouterTotals& t) {
  e.Family(name, help, type);
  const std::pair<const char*, int64_t> routes[] = {
      {"mail", t.mail}, {"B", t.spamB}, {"C", t.spamC}, {"D", t.spamD}};
  for (const auto& [route, count] : routes) {
    e.Sample(name, "route", route,
             static_cast<uint64_t>(std::max<int64_t>(0, count)));
  }
}

}  // namespace

std::string PrometheusUnknownText() {
  Exposition e;
  RouterStateFamily(e, nullptr);
  return e.text();
}

std::string PrometheusText(const Stats& stats) {
  Exposition e;
  RouterStateFamily(e, &stats.router.state);
  if (stats.router.moved) {
    RoutesFamily(e, "vtrouter_messages_moved_total",
                 "Messages the router moved since it started, by route: mail "
                 "to the mail boxes, B, C and D to their quarantines.",
                 "counter", *stats.router.moved);
  }
  if (stats.router.totals) {
    RoutesFamily(e, "vtrouter_messages_today",
                 "Messages the router moved today by route: mail to the mail "
                 "boxes, B, C and D to their quarantines.",
                 "gauge", *stats.router.totals);
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
             "Seconds the message without a verdict that entered the scan "
             "boxes first has waited there; 0 when none waits.");
    e.Sample("vtrouter_waiting_scanner_oldest_age_seconds",
             static_cast<uint64_t>(stats.OldestWaitingScannerAgeSeconds()));
    // A time rather than an age, so that an alert computes the age at its
    // own moment (time() - ...) however old this file is.
    if (b.oldestWaitingScanner) {
      e.Family("vtrouter_waiting_scanner_oldest_timestamp_seconds",
               "When the message without a verdict that waits longest "
               "entered the scan boxes, in seconds since 1970; absent when "
               "none waits.");
      e.Sample("vtrouter_waiting_scanner_oldest_timestamp_seconds",
               static_cast<double>(*b.oldestWaitingScanner) / 100.0);
    }

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

  if (stats.configProblem.empty()) {
    const DeliveryStats& d = stats.delivery;
    e.Family("vtrouter_delivery_waiting_messages",
             "Messages in the mail boxes that delivery may send now.");
    e.Sample("vtrouter_delivery_waiting_messages", d.waiting);
    e.Family("vtrouter_delivery_deferred_messages",
             "Messages in the mail boxes waiting for their next try after "
             "the next hop deferred them.");
    e.Sample("vtrouter_delivery_deferred_messages", d.deferred);
    e.Family("vtrouter_dead_messages",
             "Dead mail in the mail boxes (RoutingState DEAD).");
    e.Sample("vtrouter_dead_messages", d.dead);
  }
  if (stats.smtp) {
    const smtp::ServiceCounts& c = stats.smtp->counts;
    e.Family("vtrouter_smtp_up",
             "1 while the SMTP service (vtserver smtp) runs; 0 when its "
             "status line is left by a service that died.");
    e.Sample("vtrouter_smtp_up", uint64_t{stats.smtp->running});
    const std::pair<const char*, uint64_t> counters[] = {
        {"taken", c.taken},         {"refused", c.refused},
        {"delivered", c.delivered}, {"deferred", c.deferred},
        {"dead", c.dead},           {"reported", c.reports}};
    e.Family("vtrouter_smtp_messages_total",
             "Messages of the SMTP service since it started: taken and "
             "refused by the listener; delivered, deferred (tries), dead and "
             "reported (non-delivery reports) by delivery.",
             "counter");
    for (const auto& [what, count] : counters) {
      e.Sample("vtrouter_smtp_messages_total", "outcome", what, count);
    }
  }

  if (stats.scanner) {
    const scanner::ScannerCounts& c = stats.scanner->counts;
    e.Family("vtrouter_scanner_up",
             "1 while the scanner service (vtserver scanner) runs; 0 when its "
             "status line is left by a service that died.");
    e.Sample("vtrouter_scanner_up", uint64_t{stats.scanner->running});
    e.Family("vtrouter_scanner_verdicts_total",
             "Verdicts the scanner service gave since it started, by route.",
             "counter");
    const char* routes[] = {"M", "B", "C", "D"};
    for (size_t i = 0; i < 4; ++i) {
      e.Sample("vtrouter_scanner_verdicts_total", "route", routes[i],
               c.verdicts[i]);
    }
    e.Family("vtrouter_scanner_engine_failures_total",
             "Engine answers that were failures (unreachable, timed out, "
             "refused), since the scanner service started.",
             "counter");
    e.Sample("vtrouter_scanner_engine_failures_total", c.failures);
    e.Family("vtrouter_scanner_given_up_total",
             "Messages given a verdict without the engines: too large, or "
             "failing again and again while the engines answered others.",
             "counter");
    e.Sample("vtrouter_scanner_given_up_total", c.givenUp);
    e.Family("vtrouter_scanner_engine_down",
             "1 for each engine the scanner service finds down now; mail "
             "waits for it.");
    for (const std::string& engine : c.down) {
      e.Sample("vtrouter_scanner_engine_down", "engine", engine, uint64_t{1});
    }
  }

  e.Family("vtrouter_messages_in_two_places",
           "Messages that more than one database holds: moves cut short, "
           "which vtserver check --repair finishes.");
  e.Sample("vtrouter_messages_in_two_places", stats.messagesInTwoPlaces);

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

}  // namespace vt::tool
