// Routes and the checks every request passes before its route runs.
#include "web/WebConsole.h"

#include <functional>
#include <string_view>
#include <utility>

#include "web/Decimal.h"
#include "web/PageLayout.h"
#include "web/RandomToken.h"
#include "web/WebAssets.h"

namespace vt::tool {
namespace {

constexpr size_t kMaxIdsPerChange = 1000;
constexpr int kMaxOverviewHours = 24;
constexpr int kDefaultOverviewHours = 3;

constexpr char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";
constexpr char kCsrfHeader[] = "X-VT-CSRF";

constexpr PageInfo kPages[] = {
    {"/", "index.html", "Overview", "overview"},
    {"/log", "log.html", "Log", "log"},
    {"/quarantine", "quarantine.html", "Quarantine", "quarantine"},
};

// Every answer, refusals included, carries these.
void AddSecurityHeaders(HttpResponse& res) {
  res.headers.insert(res.headers.begin(),
                     {{"Content-Security-Policy", kSecurityPolicy},
                      {"X-Content-Type-Options", "nosniff"},
                      {"X-Frame-Options", "DENY"},
                      {"Referrer-Policy", "no-referrer"}});
}

HttpResponse JsonAnswer(const Json& value, int status = 200) {
  HttpResponse res;
  res.status = status;
  res.headers.emplace_back("Cache-Control", "no-store");
  res.contentType = "application/json; charset=utf-8";
  res.body = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  return res;
}

HttpResponse Error(int status, std::string_view text) {
  return JsonAnswer(Json{{"error", JsonText(std::string(text))}}, status);
}

// The status that tells a client what it can do about a failure.
int StatusOf(const Outcome& outcome) {
  switch (outcome.kind()) {
    case Outcome::Kind::kBadRequest:
      return 400;
    case Outcome::Kind::kNotFound:
      return 404;
    case Outcome::Kind::kConflict:
      return 409;
    case Outcome::Kind::kUnavailable:
      return 503;
    default:
      return 500;
  }
}

HttpResponse Failed(const Outcome& outcome) {
  return Error(StatusOf(outcome), outcome.message());
}

const WebAsset* FindAsset(std::string_view name) {
  for (const WebAsset& asset : WebAssets()) {
    if (asset.name == name) return &asset;
  }
  return nullptr;
}

// The IDs of a change's body, {"ids": ["...", ...]}; false with a reason
// when the body is not that.
bool ParseIds(const Json& body, std::vector<std::string>* ids,
              std::string* problem) {
  const auto found = body.find("ids");
  if (found == body.end() || !found->is_array()) {
    *problem = "the body names no \"ids\" array";
    return false;
  }
  if (found->size() > kMaxIdsPerChange) {
    *problem = "at most " + std::to_string(kMaxIdsPerChange) +
               " messages in one change";
    return false;
  }
  for (const Json& id : *found) {
    if (!id.is_string()) {
      *problem = "every ID is a string";
      return false;
    }
    ids->push_back(id.get<std::string>());
  }
  return true;
}

// A perimeter as a request names it: "B", "c", "all" or "" (0: all);
// false for anything else.
bool ParsePerimeter(const std::string& text, char* perimeter) {
  *perimeter = 0;
  if (text.size() == 1 &&
      std::string_view("BCDbcd").find(text[0]) != std::string_view::npos) {
    *perimeter = static_cast<char>(std::toupper(text[0]));
    return true;
  }
  return text.empty() || text == "all";
}

// A search as the page sends it (by name: perimeter, from, to, subject,
// since, before), from the query string or a change's "match" object; a
// reason when it is malformed.
bool ParseSearch(const std::function<std::string(const char*)>& field,
                 char* perimeter, QuarantineQuery* query,
                 std::string* problem) {
  if (!ParsePerimeter(field("perimeter"), perimeter)) {
    *problem = "perimeter: B, C, D or all";
    return false;
  }
  query->from = field("from");
  query->to = field("to");
  query->subject = field("subject");
  for (const auto& [name, bound] : {std::pair{"since", &query->since},
                                    std::pair{"before", &query->before}}) {
    const std::string text = field(name);
    if (text.empty()) continue;
    int64_t centis = 0;
    if (!ParseUtcDate(text, &centis)) {
      *problem = std::string(name) + ": a UTC date (YYYY-MM-DD[ HH:MM[:SS]])";
      return false;
    }
    *bound = centis;
  }
  return true;
}

}  // namespace

WebConsole::WebConsole(WebApi& api, WebConsoleOptions options)
    : api_(api),
      options_(std::move(options)),
      csrfToken_(RandomToken()),
      http_(*this, options_.limits) {}

WebConsole::~WebConsole() = default;

Outcome WebConsole::Bind() {
  return http_.Bind(options_.listen.host, options_.listen.port);
}

HttpResponse WebConsole::Refuse(int status, std::string_view why) {
  HttpResponse res = Error(status, why);
  AddSecurityHeaders(res);
  return res;
}

std::optional<HttpResponse> WebConsole::Screen(const HttpRequest& req) {
  if (req.target.size() > kMaxTarget) {
    return Refuse(414, "the request line is too long");
  }
  if (!options_.accessToken.empty()) {
    if (!SameSecret(PresentedToken(req.Header("Authorization")),
                    options_.accessToken)) {
      HttpResponse res = Refuse(401, "the access token is missing or wrong");
      res.headers.emplace_back("WWW-Authenticate",
                               "Basic realm=\"VTRouter web console\", "
                               "charset=\"UTF-8\"");
      return res;
    }
  } else if (!IsOwnHost(req.Header("Host"), options_.listen, port())) {
    // Only loopback is served without a token.
    return Refuse(403, "this console answers only to its own address");
  }
  if (req.method == "POST") {
    if (!SameSecret(req.Header(kCsrfHeader), csrfToken_)) {
      return Refuse(403,
                    "the request carries no valid CSRF token; reload the page");
    }
    if (req.Header("Content-Type").rfind("application/json", 0) != 0) {
      return Refuse(415, "changes are sent as application/json");
    }
  } else if (req.method != "GET" && req.method != "HEAD") {
    return Refuse(405, "only GET and POST are served");
  }
  return std::nullopt;
}

HttpResponse WebConsole::Answer(const HttpRequest& req) {
  HttpResponse res = Route(req);
  AddSecurityHeaders(res);
  return res;
}

HttpResponse WebConsole::Page(const PageInfo& page) const {
  HttpResponse res;
  res.body = AssemblePage(page, csrfToken_);
  res.headers.emplace_back("Cache-Control", "no-store");
  res.contentType = "text/html; charset=utf-8";
  return res;
}

HttpResponse WebConsole::Route(const HttpRequest& req) {
  const std::string& path = req.path;
  if (req.method == "POST") {
    if (path == "/api/quarantine/release") return Change(req, true);
    if (path == "/api/quarantine/delete") return Change(req, false);
    return Error(404, "no such page");
  }
  for (const PageInfo& page : kPages) {
    if (path == page.path) return Page(page);
  }
  if (path == "/assets/console.css" || path == "/assets/console.js") {
    const bool css = path.ends_with(".css");
    HttpResponse res;
    res.body = std::string(FindAsset(css ? "console.css" : "console.js")->body);
    res.contentType = css ? "text/css" : "text/javascript; charset=utf-8";
    return res;
  }
  if (path == "/api/overview") {
    size_t hours = kDefaultOverviewHours;
    if (req.HasParam("hours") && (!ParseCount(req.Param("hours"), &hours) ||
                                  hours < 1 || hours > kMaxOverviewHours)) {
      return Error(400, "hours: a number from 1 to 24");
    }
    return JsonAnswer(api_.Overview(static_cast<int>(hours)));
  }
  if (path == "/api/stats") return JsonAnswer(api_.StatsOnly());
  if (path == "/metrics") {
    HttpResponse res;
    res.headers.emplace_back("Cache-Control", "no-store");
    res.contentType = "text/plain; version=0.0.4";
    res.body = api_.Metrics();
    return res;
  }
  if (path == "/api/log") {
    LogPosition from;
    size_t offset = 0;
    const bool resume = req.HasParam("file") && req.HasParam("offset") &&
                        ParseCount(req.Param("offset"), &offset);
    from.file = req.Param("file");
    from.offset = offset;
    return JsonAnswer(api_.Log(resume ? &from : nullptr));
  }
  if (path == "/api/quarantine") return QuarantinePage(req);
  if (path == "/api/quarantine/message") {
    Json out;
    const Outcome outcome = api_.Message(req.Param("id"), &out);
    return outcome.ok() ? JsonAnswer(out) : Failed(outcome);
  }
  if (path == "/favicon.ico") {
    HttpResponse res;
    res.status = 204;
    return res;
  }
  return Error(404, "no such page");
}

HttpResponse WebConsole::QuarantinePage(const HttpRequest& req) {
  char perimeter = 0;
  QuarantineQuery query;
  std::string problem;
  if (!ParseSearch([&](const char* name) { return req.Param(name); },
                   &perimeter, &query, &problem)) {
    return Error(400, problem);
  }
  query.limit = WebApi::kDefaultPageSize;
  if ((req.HasParam("offset") &&
       !ParseCount(req.Param("offset"), &query.offset)) ||
      (req.HasParam("limit") &&
       (!ParseCount(req.Param("limit"), &query.limit) || query.limit < 1 ||
        query.limit > WebApi::kMaxPageSize))) {
    return Error(400, "offset: a number; limit: a number from 1 to 500");
  }
  Json out;
  const Outcome outcome = api_.Quarantine(perimeter, query, &out);
  return outcome.ok() ? JsonAnswer(out) : Failed(outcome);
}

HttpResponse WebConsole::Change(const HttpRequest& req, bool release) {
  const Json body = Json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    return Error(400, "the body is no JSON object");
  }
  ChangeSelection selection;
  std::string problem;
  if (body.contains("match")) {
    // Every message the search finds, chosen by the server: a page need not
    // send the IDs of every page.
    const Json& match = body["match"];
    if (!match.is_object() || body.contains("ids")) {
      return Error(400, "\"match\" is a search object, instead of \"ids\"");
    }
    const auto field = [&](const char* name) -> std::string {
      const auto found = match.find(name);
      return found != match.end() && found->is_string()
                 ? found->get<std::string>()
                 : std::string();
    };
    selection.matching = true;
    if (!ParseSearch(field, &selection.perimeter, &selection.query, &problem)) {
      return Error(400, problem);
    }
  } else if (!ParseIds(body, &selection.ids, &problem)) {
    return Error(400, problem);
  }
  std::string to;
  bool learn = false;
  if (release && body.contains("to")) {
    if (!body["to"].is_string()) return Error(400, "\"to\" names a mail box");
    to = body["to"].get<std::string>();
  }
  if (release && body.contains("learn")) {
    if (!body["learn"].is_boolean())
      return Error(400, "\"learn\" is true or false");
    learn = body["learn"].get<bool>();
  }
  Json out;
  const Outcome outcome = release ? api_.Release(selection, to, learn, &out)
                                  : api_.Delete(selection, &out);
  return outcome.ok() ? JsonAnswer(out) : Failed(outcome);
}

}  // namespace vt::tool
