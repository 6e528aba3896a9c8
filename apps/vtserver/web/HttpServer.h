// The console's HTTP/1.1 server over Boost.Beast and Boost.Asio, built to
// stay answering while some clients are slow or hostile:
//   - a request's header and body must arrive whole within a deadline
//     counted from the connection's start, however slowly it trickles in;
//   - connections are bounded per client address and in total, the ones
//     beyond closed at once;
//   - the header is bounded in bytes and in fields, the body in bytes
//     however it is framed (chunked included), so memory per connection is
//     bounded; all this before the service sees the request; and
//   - one request per connection: an unread body is never taken for a
//     request of its own (a proxy sharing connections would hand its answer
//     to another client).
// Reading and writing run on one thread; the service's answers, which may
// take a while (a release opens databases), on a pool of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "datadir/Outcome.h"
#include "web/HttpMessage.h"

namespace vt::tool {

struct HttpLimits {
  std::chrono::milliseconds requestDeadline{10000};
  // For the answer to be taken by a client that reads slowly.
  std::chrono::milliseconds writeDeadline{30000};
  size_t maxHeaderBytes = 16 * 1024;  // the request line included
  size_t maxHeaderFields = 100;
  size_t maxBody = 64 * 1024;
  size_t maxConnectionsPerClient = 32;
  size_t maxConnections = 512;
  // Answers being worked on at once.
  size_t workers = 8;
};

// What the server serves. Screen runs on the I/O thread and must be quick;
// Answer and Refuse may run on any worker thread at once.
class HttpService {
 public:
  virtual ~HttpService() = default;
  // After the header is read and before the body is: an answer refuses the
  // request, its body left unread.
  virtual std::optional<HttpResponse> Screen(const HttpRequest& request) = 0;
  virtual HttpResponse Answer(const HttpRequest& request) = 0;
  // The answer to a request the server refused itself (too large, not
  // HTTP), with the reason.
  virtual HttpResponse Refuse(int status, std::string_view why) = 0;
};

class HttpServerState;

class HttpServer {
 public:
  HttpServer(HttpService& service, HttpLimits limits);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;
  ~HttpServer();

  // Binds host ("127.0.0.1", "::1") and port (0: any free one); a failure
  // naming the address when it cannot.
  Outcome Bind(const std::string& host, int port);
  // The port bound.
  int port() const;
  // Serves until Stop; false if serving failed.
  bool Serve();
  // Safe from any thread, also before Serve (which then returns at once).
  void Stop();

 private:
  std::unique_ptr<HttpServerState> impl_;
};

}  // namespace vt::tool
