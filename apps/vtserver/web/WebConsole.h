// The web console's HTTP side: where it listens, who may come in, and the
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
//   - a request line or body larger than the console needs is refused.
#pragma once

#include <memory>
#include <string>

#include "datadir/Outcome.h"
#include "web/WebApi.h"

namespace httplib {
class Server;
}

namespace vt::tool {

struct WebListen {
  std::string host;  // an IP address, without brackets
  int port = 0;      // 0: any free port
  bool loopback = false;
};

// "127.0.0.1:8080", "[::1]:8080", "localhost:8080" or "0.0.0.0:8080".
Outcome ParseListen(const std::string& text, WebListen* listen);

// The access token in file: its first line, trimmed, at least 16
// characters; a file others may read is refused.
Outcome ReadTokenFile(const std::string& file, std::string* token);

struct WebConsoleOptions {
  WebListen listen;
  std::string accessToken;  // empty: none (loopback only)
};

class WebConsole {
 public:
  // The largest request target and body the console accepts.
  static constexpr size_t kMaxTarget = 2048;
  static constexpr size_t kMaxBody = 64 * 1024;

  WebConsole(WebApi& api, WebConsoleOptions options);
  WebConsole(const WebConsole&) = delete;
  WebConsole& operator=(const WebConsole&) = delete;
  ~WebConsole();

  // Binds the address; a failure naming it when it cannot.
  Outcome Bind();
  // The port bound (the one chosen, for port 0).
  int port() const { return port_; }
  // Serves until Stop; false if serving failed.
  bool Serve();
  // Safe from any thread.
  void Stop();

 private:
  void AddRoutes();

  WebApi& api_;
  const WebConsoleOptions options_;
  const std::string csrfToken_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> http_;
};

}  // namespace vt::tool
