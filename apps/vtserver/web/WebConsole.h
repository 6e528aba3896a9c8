// The web console's routes: where it listens, who may come in, and the
// routes from URLs to the pages and to WebApi. A quarantined message is
// hostile input, and so is every request:
//   - pages show every value as text (the script sets textContent only),
//     and the Content-Security-Policy forbids inline scripts and anything
//     from elsewhere;
//   - a change is a POST carrying the process's own CSRF token, which only
//     a page served by this process holds;
//   - without an access token only loopback addresses are served, and only
//     requests naming a loopback host (a page of another site that has its
//     name resolve to 127.0.0.1 is refused);
//   - with one (--token-file), every request must carry it, as the password
//     of HTTP Basic authentication or as a Bearer token; and
//   - a request line, header or body larger than the console needs is
//     refused, and so is a request that arrives too slowly (HttpServer).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "datadir/Outcome.h"
#include "web/AccessToken.h"
#include "web/HttpServer.h"
#include "web/ListenAddress.h"
#include "web/PageLayout.h"
#include "web/WebApi.h"

namespace vt::tool {

struct WebConsoleOptions {
  WebListen listen;
  std::string accessToken;  // empty: none (loopback only)
  HttpLimits limits;
};

class WebConsole : private HttpService {
 public:
  // The largest request target the console accepts.
  static constexpr size_t kMaxTarget = 2048;

  WebConsole(WebApi& api, WebConsoleOptions options);
  WebConsole(const WebConsole&) = delete;
  WebConsole& operator=(const WebConsole&) = delete;
  ~WebConsole() override;

  // Binds the address; a failure naming it when it cannot.
  Outcome Bind();
  // The port bound (the one chosen, for port 0).
  int port() const { return http_.port(); }
  // Serves until Stop; false if serving failed.
  bool Serve() { return http_.Serve(); }
  // Safe from any thread.
  void Stop() { http_.Stop(); }

 private:
  std::optional<HttpResponse> Screen(const HttpRequest& request) override;
  HttpResponse Answer(const HttpRequest& request) override;
  HttpResponse Refuse(int status, std::string_view why) override;

  HttpResponse Route(const HttpRequest& request);
  HttpResponse Page(const PageInfo& page) const;
  HttpResponse QuarantinePage(const HttpRequest& request);
  HttpResponse Change(const HttpRequest& request, bool release);

  WebApi& api_;
  const WebConsoleOptions options_;
  const std::string csrfToken_;
  HttpServer http_;
};

}  // namespace vt::tool
