// Each connection is one object on the I/O thread: its deadline timer, its
// bounded buffer and parser, and the answer it writes before it closes.
#include "web/HttpServer.h"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <map>
#include <mutex>

namespace vt::tool {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// After its answer, a connection reads and discards what the client still
// sends, so that closing with unread bytes does not reset the connection
// before the client has read the answer; a little, and not for long.
constexpr size_t kMaxLingerBytes = 64 * 1024;
constexpr std::chrono::milliseconds kLingerTime{2000};
// A failed accept (out of descriptors) is tried again after a pause; at
// once, it would fail again at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};

// Connections per client address and in all, taken and given back from the
// I/O thread and from wherever a connection's last owner lets it go.
class ConnectionCounts {
 public:
  ConnectionCounts(size_t perClient, size_t total)
      : perClient_(perClient), total_(total) {}

  bool Admit(const asio::ip::address& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& mine = byClient_[client];
    if (open_ >= total_ || mine >= perClient_) {
      if (mine == 0) byClient_.erase(client);
      return false;
    }
    ++mine;
    ++open_;
    return true;
  }

  void Leave(const asio::ip::address& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = byClient_.find(client);
    if (found != byClient_.end() && --found->second == 0) {
      byClient_.erase(found);
    }
    --open_;
  }

 private:
  const size_t perClient_;
  const size_t total_;
  std::mutex mutex_;
  std::map<asio::ip::address, size_t> byClient_;
  size_t open_ = 0;
};

const beast::error_category& HttpErrors() {
  return http::make_error_code(http::error::bad_target).category();
}

}  // namespace

class HttpServerState {
 public:
  HttpServerState(HttpService& service, HttpLimits limits)
      : service(service),
        limits(limits),
        counts(limits.maxConnectionsPerClient, limits.maxConnections) {
    // The workers take no signals: those are for the threads the program
    // chose (a SIGTERM taken by a worker would end the process at once).
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    workers = std::make_unique<asio::thread_pool>(limits.workers);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~HttpServerState() {
    // Answers being worked on finish before the connections they answer
    // (which io_context owns through its handlers) go.
    workers->join();
  }

  void Accept();

  HttpService& service;
  const HttpLimits limits;
  ConnectionCounts counts;
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer acceptRetry{io};
  std::unique_ptr<asio::thread_pool> workers;
  int port = 0;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  using Impl = HttpServerState;

  Connection(Impl& server, tcp::socket socket, asio::ip::address client)
      : server_(server),
        socket_(std::move(socket)),
        client_(std::move(client)),
        timer_(server.io),
        buffer_(server.limits.maxHeaderBytes + 8192) {
    parser_.header_limit(static_cast<uint32_t>(server.limits.maxHeaderBytes));
    parser_.body_limit(server.limits.maxBody);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { server_.counts.Leave(client_); }

  void Start() {
    // One deadline for the whole request, however slowly it arrives: a
    // client sending a byte a second never resets it.
    Arm(server_.limits.requestDeadline);
    http::async_read_header(
        socket_, buffer_, parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) {
          self->OnHeader(ec);
        });
  }

 private:
  void OnHeader(beast::error_code ec) {
    if (ec) {
      Failed(ec);
      return;
    }
    const auto& message = parser_.get();
    request_.method = std::string(message.method_string());
    request_.target = std::string(message.target());
    size_t fields = 0;
    for (const auto& field : message) {
      if (++fields > server_.limits.maxHeaderFields) {
        Write(server_.service.Refuse(431,
                                     "the request has too many header "
                                     "fields"));
        return;
      }
      request_.headers.emplace_back(std::string(field.name_string()),
                                    std::string(field.value()));
    }
    if (!ParseTarget(request_.target, &request_.path, &request_.params)) {
      Write(server_.service.Refuse(400, "the request's URL is malformed"));
      return;
    }
    std::optional<HttpResponse> refused = server_.service.Screen(request_);
    if (refused) {
      Write(std::move(*refused));
      return;
    }
    if (parser_.is_done()) {
      Dispatch();
      return;
    }
    http::async_read(socket_, buffer_, parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) {
                         self->Failed(ec);
                       } else {
                         self->request_.body = self->parser_.release().body();
                         self->Dispatch();
                       }
                     });
  }

  // A request that cannot be read: answered when it is the client's fault
  // and the client may still read, else closed.
  void Failed(beast::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      Write(server_.service.Refuse(431, "the request's header is too large"));
    } else if (ec == http::error::body_limit) {
      Write(server_.service.Refuse(413, "the request's body is too large"));
    } else if (ec.category() == HttpErrors() &&
               ec != http::error::end_of_stream &&
               ec != http::error::partial_message) {
      Write(server_.service.Refuse(400, "not an HTTP/1.1 request"));
    } else {
      Close();
    }
  }

  void Dispatch() {
    Disarm();
    asio::post(*server_.workers, [self = shared_from_this()] {
      HttpResponse response = self->server_.service.Answer(self->request_);
      asio::post(self->server_.io,
                 [self, response = std::move(response)]() mutable {
                   self->Write(std::move(response));
                 });
    });
  }

  void Write(HttpResponse answer) {
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(11);
    response->result(static_cast<unsigned>(answer.status));
    for (const auto& [name, value] : answer.headers) {
      response->insert(name, value);
    }
    if (!answer.contentType.empty()) {
      response->set(http::field::content_type, answer.contentType);
    }
    response->keep_alive(false);
    response->body() = std::move(answer.body);
    response->prepare_payload();
    if (request_.method == "HEAD") {
      const size_t length = response->body().size();
      response->body().clear();
      if (length > 0) response->content_length(length);
    }
    Arm(server_.limits.writeDeadline);
    http::async_write(
        socket_, *response,
        [self = shared_from_this(), response](beast::error_code ec, size_t) {
          if (ec) {
            self->Close();
          } else {
            self->Linger();
          }
        });
  }

  void Linger() {
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    Arm(kLingerTime);
    Drain();
  }

  void Drain() {
    socket_.async_read_some(
        asio::buffer(drain_),
        [self = shared_from_this()](beast::error_code ec, size_t n) {
          self->drained_ += n;
          if (ec || self->drained_ > kMaxLingerBytes) {
            self->Close();
          } else {
            self->Drain();
          }
        });
  }

  // The timer closes the connection when it runs out; a wait that was
  // replaced or cancelled meanwhile does nothing.
  void Arm(std::chrono::milliseconds after) {
    const uint64_t generation = ++generation_;
    timer_.expires_after(after);
    timer_.async_wait(
        [self = shared_from_this(), generation](beast::error_code ec) {
          if (!ec && generation == self->generation_) self->Close();
        });
  }

  void Disarm() {
    ++generation_;
    timer_.cancel();
  }

  void Close() {
    Disarm();
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  Impl& server_;
  tcp::socket socket_;
  const asio::ip::address client_;
  asio::steady_timer timer_;
  uint64_t generation_ = 0;
  beast::flat_buffer buffer_;
  http::request_parser<http::string_body> parser_;
  HttpRequest request_;
  std::array<char, 4096> drain_{};
  size_t drained_ = 0;
};

}  // namespace

void HttpServerState::Accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      acceptRetry.expires_after(kAcceptRetry);
      acceptRetry.async_wait([this](beast::error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    beast::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    // Beyond the limits the connection is closed unread, as it goes.
    if (!peerError && counts.Admit(peer.address())) {
      std::make_shared<Connection>(*this, std::move(socket), peer.address())
          ->Start();
    }
    Accept();
  });
}

HttpServer::HttpServer(HttpService& service, HttpLimits limits)
    : impl_(std::make_unique<HttpServerState>(service, limits)) {}

HttpServer::~HttpServer() = default;

Outcome HttpServer::Bind(const std::string& host, int port) {
  const std::string where = host + ":" + std::to_string(port);
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(host, ec);
  const tcp::endpoint endpoint(address, static_cast<uint16_t>(port));
  if (!ec) impl_->acceptor.open(endpoint.protocol(), ec);
  // SO_REUSEADDR only: with SO_REUSEPORT a second console on the same port
  // would start too and take half the requests.
  if (!ec) impl_->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec)
    impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) impl_->port = impl_->acceptor.local_endpoint(ec).port();
  if (ec) {
    impl_->acceptor.close(ec);
    return Outcome::Failure("cannot listen on " + where + ": " + ec.message());
  }
  return Outcome();
}

int HttpServer::port() const { return impl_->port; }

bool HttpServer::Serve() {
  if (!impl_->acceptor.is_open()) return false;
  impl_->Accept();
  impl_->io.run();
  return true;
}

void HttpServer::Stop() { impl_->io.stop(); }

}  // namespace vt::tool
