// Routes and the checks every request passes before its route runs.
#include "web/WebConsole.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <string_view>

#include "base/Ascii.h"
#include "web/WebAssets.h"

namespace vt::tool {
namespace {

constexpr size_t kMinTokenLength = 16;
constexpr size_t kMaxIdsPerChange = 1000;
constexpr int kMaxOverviewHours = 24;
constexpr int kDefaultOverviewHours = 3;
// Requests are few (an administrator's pages, a scraper) and the readings
// take turns anyway.
constexpr size_t kThreads = 8;

constexpr char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";
constexpr char kCsrfHeader[] = "X-VT-CSRF";
constexpr char kCsrfPlaceholder[] = "{{csrf}}";

std::string RandomToken() {
  unsigned char bytes[32];
  size_t done = 0;
  while (done < sizeof bytes) {
    const ssize_t n = getrandom(bytes + done, sizeof bytes - done, 0);
    if (n > 0) done += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

// Compares without stopping at the first difference, so that the time
// taken tells nothing about how much of a guess was right.
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

bool Base64Decode(std::string_view text, std::string* out) {
  out->clear();
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') {
      value = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      value = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      value = c - '0' + 52;
    } else if (c == '+') {
      value = 62;
    } else if (c == '/') {
      value = 63;
    } else if (c == '=') {
      break;
    } else {
      return false;
    }
    bits = (bits << 6) | static_cast<uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out->push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return true;
}

// The token of an Authorization header: the password of Basic (whatever
// the user name) or a Bearer token.
std::string PresentedToken(const std::string& header) {
  const std::string_view value = Trim(header);
  if (value.size() > 6 && EqualsIgnoreCase(value.substr(0, 6), "Basic ")) {
    std::string decoded;
    if (!Base64Decode(Trim(value.substr(6)), &decoded)) return "";
    const size_t colon = decoded.find(':');
    return colon == std::string::npos ? "" : decoded.substr(colon + 1);
  }
  if (value.size() > 7 && EqualsIgnoreCase(value.substr(0, 7), "Bearer ")) {
    return std::string(Trim(value.substr(7)));
  }
  return "";
}

void SendJson(httplib::Response& res, const Json& value, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(value.dump(-1, ' ', false, Json::error_handler_t::replace),
                  "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& text) {
  SendJson(res, Json{{"error", JsonText(text)}}, status);
}

const WebAsset* FindAsset(std::string_view name) {
  for (const WebAsset& asset : WebAssets()) {
    if (asset.name == name) return &asset;
  }
  return nullptr;
}

bool ParseCount(const std::string& text, size_t* value) {
  const char* end = text.data() + text.size();
  const auto result = std::from_chars(text.data(), end, *value);
  return result.ec == std::errc() && result.ptr == end;
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

}  // namespace

Outcome ParseListen(const std::string& text, WebListen* listen) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return Outcome::Failure("--listen " + text + ": not ADDRESS:PORT");
  }
  std::string host = text.substr(0, colon);
  const std::string portText = text.substr(colon + 1);
  size_t port = 0;
  if (!ParseCount(portText, &port) || port > 65535) {
    return Outcome::Failure("--listen " + text + ": not a port: " + portText);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (EqualsIgnoreCase(host, "localhost")) host = "127.0.0.1";
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1) {
    listen->loopback = address[0] == 127;
  } else if (inet_pton(AF_INET6, host.c_str(), address) == 1) {
    static constexpr unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
    listen->loopback = std::equal(address, address + 16, kLoopback6);
  } else {
    return Outcome::Failure("--listen " + text +
                            ": not an IP address (nor localhost): " + host);
  }
  listen->host = host;
  listen->port = static_cast<int>(port);
  return Outcome();
}

Outcome ReadTokenFile(const std::string& file, std::string* token) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) {
    return Outcome::Failure("--token-file " + file + ": " +
                            std::strerror(errno));
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return Outcome::Failure("--token-file " + file +
                            ": others may read it; allow only its owner "
                            "(chmod 600)");
  }
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) {
    return Outcome::Failure("--token-file " + file + ": cannot read it");
  }
  *token = std::string(Trim(line));
  if (token->size() < kMinTokenLength) {
    return Outcome::Failure("--token-file " + file +
                            ": the token is shorter "
                            "than " +
                            std::to_string(kMinTokenLength) + " characters");
  }
  return Outcome();
}

WebConsole::WebConsole(WebApi& api, WebConsoleOptions options)
    : api_(api),
      options_(std::move(options)),
      csrfToken_(RandomToken()),
      http_(std::make_unique<httplib::Server>()) {
  http_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  // The library's default adds SO_REUSEPORT, with which a second console
  // on the same port would start too and take half the requests.
  http_->set_socket_options([](int socket) {
    const int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http_->set_payload_max_length(kMaxBody);
  // One request per connection: a request refused before its body was
  // read (no token, say) would otherwise leave that body to be read as the
  // next request on the connection, and a proxy in front that shares
  // connections would hand the answers to the wrong clients.
  http_->set_keep_alive_max_count(1);
  http_->set_default_headers({
      {"Content-Security-Policy", kSecurityPolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
  });
  http_->set_pre_routing_handler([this](const httplib::Request& req,
                                        httplib::Response& res) {
    using Handled = httplib::Server::HandlerResponse;
    if (req.target.size() > kMaxTarget) {
      SendError(res, 414, "the request line is too long");
      return Handled::Handled;
    }
    if (!options_.accessToken.empty()) {
      if (!SameSecret(PresentedToken(req.get_header_value("Authorization")),
                      options_.accessToken)) {
        res.set_header("WWW-Authenticate",
                       "Basic realm=\"VTRouter web console\", "
                       "charset=\"UTF-8\"");
        SendError(res, 401, "the access token is missing or wrong");
        return Handled::Handled;
      }
    } else {
      // Only loopback is served without a token; a page elsewhere whose
      // name resolves to 127.0.0.1 still names its own host.
      const std::string host = req.get_header_value("Host");
      // Browsers leave out the default port.
      const std::string port =
          port_ == 80 ? std::string() : ":" + std::to_string(port_);
      const bool local = host == "127.0.0.1" + port ||
                         EqualsIgnoreCase(host, "localhost" + port) ||
                         host == "[::1]" + port ||
                         host == "[" + options_.listen.host + "]" + port ||
                         host == options_.listen.host + port;
      if (!local) {
        SendError(res, 403, "this console answers only to its own address");
        return Handled::Handled;
      }
    }
    if (req.method == "POST") {
      if (!SameSecret(req.get_header_value(kCsrfHeader), csrfToken_)) {
        SendError(res, 403,
                  "the request carries no valid CSRF token; reload the page");
        return Handled::Handled;
      }
      if (req.get_header_value("Content-Type").rfind("application/json", 0) !=
          0) {
        SendError(res, 415, "changes are sent as application/json");
        return Handled::Handled;
      }
    } else if (req.method != "GET" && req.method != "HEAD") {
      SendError(res, 405, "only GET and POST are served");
      return Handled::Handled;
    }
    return Handled::Unhandled;
  });
  AddRoutes();
}

WebConsole::~WebConsole() = default;

void WebConsole::AddRoutes() {
  auto page = [this](const char* file) {
    return [this, file](const httplib::Request&, httplib::Response& res) {
      const WebAsset* asset = FindAsset(file);
      std::string html(asset->body);
      const size_t at = html.find(kCsrfPlaceholder);
      if (at != std::string::npos) {
        html.replace(at, sizeof kCsrfPlaceholder - 1, csrfToken_);
      }
      res.set_header("Cache-Control", "no-store");
      res.set_content(html, "text/html; charset=utf-8");
    };
  };
  http_->Get("/", page("index.html"));
  http_->Get("/log", page("log.html"));
  http_->Get("/quarantine", page("quarantine.html"));
  auto asset = [](const char* file, const char* type) {
    return [file, type](const httplib::Request&, httplib::Response& res) {
      const WebAsset* found = FindAsset(file);
      res.set_content(std::string(found->body), type);
    };
  };
  http_->Get("/assets/console.css", asset("console.css", "text/css"));
  http_->Get("/assets/console.js",
             asset("console.js", "text/javascript; charset=utf-8"));

  http_->Get("/api/overview",
             [this](const httplib::Request& req, httplib::Response& res) {
               size_t hours = kDefaultOverviewHours;
               if (req.has_param("hours") &&
                   (!ParseCount(req.get_param_value("hours"), &hours) ||
                    hours < 1 || hours > kMaxOverviewHours)) {
                 SendError(res, 400, "hours: a number from 1 to 24");
                 return;
               }
               SendJson(res, api_.Overview(static_cast<int>(hours)));
             });
  http_->Get("/api/stats",
             [this](const httplib::Request&, httplib::Response& res) {
               SendJson(res, api_.StatsOnly());
             });
  http_->Get("/metrics",
             [this](const httplib::Request&, httplib::Response& res) {
               res.set_header("Cache-Control", "no-store");
               res.set_content(api_.Metrics(), "text/plain; version=0.0.4");
             });
  http_->Get(
      "/api/log", [this](const httplib::Request& req, httplib::Response& res) {
        LogPosition from;
        size_t offset = 0;
        const bool resume = req.has_param("file") && req.has_param("offset") &&
                            ParseCount(req.get_param_value("offset"), &offset);
        from.file = req.get_param_value("file");
        from.offset = offset;
        SendJson(res, api_.Log(resume ? &from : nullptr));
      });
  http_->Get("/api/quarantine", [this](const httplib::Request& req,
                                       httplib::Response& res) {
    char perimeter = 0;
    const std::string p = req.get_param_value("perimeter");
    if (p == "B" || p == "C" || p == "D" || p == "b" || p == "c" || p == "d") {
      perimeter = static_cast<char>(std::toupper(p[0]));
    } else if (!p.empty() && p != "all") {
      SendError(res, 400, "perimeter: B, C, D or all");
      return;
    }
    QuarantineQuery query;
    query.from = req.get_param_value("from");
    query.subject = req.get_param_value("subject");
    query.limit = WebApi::kDefaultPageSize;
    if ((req.has_param("offset") &&
         !ParseCount(req.get_param_value("offset"), &query.offset)) ||
        (req.has_param("limit") &&
         (!ParseCount(req.get_param_value("limit"), &query.limit) ||
          query.limit < 1 || query.limit > WebApi::kMaxPageSize))) {
      SendError(res, 400, "offset: a number; limit: a number from 1 to 500");
      return;
    }
    Json out;
    const Outcome outcome = api_.Quarantine(perimeter, query, &out);
    if (!outcome.ok()) {
      SendError(res, 500, outcome.message());
      return;
    }
    SendJson(res, out);
  });
  http_->Get("/api/quarantine/message", [this](const httplib::Request& req,
                                               httplib::Response& res) {
    Json out;
    const Outcome outcome = api_.Message(req.get_param_value("id"), &out);
    if (!outcome.ok()) {
      SendError(res, 404, outcome.message());
      return;
    }
    SendJson(res, out);
  });

  auto change = [this](bool release) {
    return
        [this, release](const httplib::Request& req, httplib::Response& res) {
          const Json body = Json::parse(req.body, nullptr, false);
          std::vector<std::string> ids;
          std::string problem;
          if (body.is_discarded() || !body.is_object()) {
            SendError(res, 400, "the body is no JSON object");
            return;
          }
          if (!ParseIds(body, &ids, &problem)) {
            SendError(res, 400, problem);
            return;
          }
          std::string to;
          if (release && body.contains("to")) {
            if (!body["to"].is_string()) {
              SendError(res, 400, "\"to\" names a mail box");
              return;
            }
            to = body["to"].get<std::string>();
          }
          Json out;
          const Outcome outcome =
              release ? api_.Release(ids, to, &out) : api_.Delete(ids, &out);
          if (!outcome.ok()) {
            SendError(res, 409, outcome.message());
            return;
          }
          SendJson(res, out);
        };
  };
  http_->Post("/api/quarantine/release", change(true));
  http_->Post("/api/quarantine/delete", change(false));
  http_->Get("/favicon.ico", [](const httplib::Request&,
                                httplib::Response& res) { res.status = 204; });
  http_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      SendError(res, res.status,
                res.status == 404
                    ? "no such page"
                    : "HTTP status " + std::to_string(res.status));
    }
  });
}

Outcome WebConsole::Bind() {
  const WebListen& listen = options_.listen;
  if (listen.port == 0) {
    port_ = http_->bind_to_any_port(listen.host);
  } else if (http_->bind_to_port(listen.host, listen.port)) {
    port_ = listen.port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    return Outcome::Failure("cannot listen on " + listen.host + ":" +
                            std::to_string(listen.port) + ": " +
                            std::strerror(errno));
  }
  return Outcome();
}

bool WebConsole::Serve() { return http_->listen_after_bind(); }

void WebConsole::Stop() { http_->stop(); }

}  // namespace vt::tool
