// Each connection reads only while its session wants input and nothing it
// read is left over, and writes what the session says before it reads on,
// so that what one client holds is bounded by the session's own limits. A
// timer per connection gives the command and data timeouts; a client that
// does not read our replies is cut off by the same timer.
#include "server/smtp/SmtpListener.h"

#include <array>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <utility>

namespace vt::smtp {

namespace asio = boost::asio;
using asio::ip::address;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr size_t kReadSize = 64 * 1024;
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// A v4-mapped v6 address is the v4 address it maps.
address Plain(const address& a) {
  if (a.is_v6() && a.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
  }
  return a;
}

template <size_t N>
bool PrefixMatches(const std::array<unsigned char, N>& a,
                   const std::array<unsigned char, N>& b, unsigned prefix) {
  for (size_t i = 0; i < N && prefix > 0; ++i) {
    const unsigned bits = prefix >= 8 ? 8 : prefix;
    const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - bits));
    if ((a[i] & mask) != (b[i] & mask)) return false;
    prefix -= bits;
  }
  return true;
}

// Says one line to a client that is not served and closes; the line goes
// only if the socket takes it at once.
void Turn(tcp::socket& socket, std::string_view line) {
  error_code ec;
  socket.non_blocking(true, ec);
  socket.write_some(asio::buffer(line.data(), line.size()), ec);
  socket.shutdown(tcp::socket::shutdown_both, ec);
  socket.close(ec);
}

}  // namespace

bool Network::Contains(const address& client) const {
  const address a = Plain(client);
  if (a.is_v4() && base.is_v4()) {
    return PrefixMatches(a.to_v4().to_bytes(), base.to_v4().to_bytes(), prefix);
  }
  if (a.is_v6() && base.is_v6()) {
    return PrefixMatches(a.to_v6().to_bytes(), base.to_v6().to_bytes(), prefix);
  }
  return false;
}

std::optional<Network> ParseNetwork(std::string_view text) {
  const size_t slash = text.find('/');
  error_code ec;
  Network n;
  n.base = asio::ip::make_address(std::string(text.substr(0, slash)), ec);
  if (ec) return std::nullopt;
  n.base = Plain(n.base);
  const unsigned most = n.base.is_v4() ? 32 : 128;
  n.prefix = most;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    unsigned prefix = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    if (prefix > most) return std::nullopt;
    n.prefix = prefix;
  }
  return n;
}

bool IsLoopback(const address& client) { return Plain(client).is_loopback(); }

class SmtpListener::Connection
    : public std::enable_shared_from_this<Connection>,
      public SessionHandler {
 public:
  Connection(SmtpListener& owner, tcp::socket socket, const address& client,
             const SessionOptions& options)
      : owner_(owner),
        socket_(std::move(socket)),
        timer_(owner.io_),
        client_(client),
        session_(options, *this) {}

  void Start() {
    Flush();
    Read();
  }

  // The service stops: 421, then close once it is written.
  void Stop() {
    session_.Close(CloseReason::kShutdown);
    Flush();
  }

 private:
  // ---- SessionHandler ------------------------------------------------------
  void MessageBegins(const Envelope&) override { data_.clear(); }
  void MessageData(std::string_view bytes) override { data_.append(bytes); }
  void MessageRefused(const Reply&) override {
    Drop();
    ++owner_.counts_.refused;
  }
  void MessageComplete(const Envelope& envelope) override {
    const Reply reply =
        owner_.taker_.Take(envelope, data_, ClientInfo{client_.to_string()});
    Drop();
    ++(reply.positive() ? owner_.counts_.accepted : owner_.counts_.refused);
    if (!session_.Answer(reply).ok()) {
      session_.Answer(Reply(451, "4.3.0", "Local error; try again later"))
          .IgnoreError();
    }
  }

  // A large message's memory goes back at once.
  void Drop() { std::string().swap(data_); }

  void Read() {
    if (reading_ || closed_) return;
    if (session_.closed() || !session_.WantsInput() || !pending_.empty()) {
      return;  // the write's completion goes on
    }
    reading_ = true;
    ArmTimer();
    socket_.async_read_some(
        asio::buffer(buffer_),
        [this, self = shared_from_this()](error_code ec, size_t n) {
          reading_ = false;
          if (closed_) return;
          if (ec) {
            CloseSocket();
            return;
          }
          pending_.append(buffer_.data(), n);
          Pump();
        });
  }

  // Feeds what was read (an empty feed goes on with the session's own
  // buffered input), writes the replies, and reads on.
  void Pump() {
    if (closed_) return;
    session_.RefuseMail(owner_.taker_.Refusal()).IgnoreError();
    for (;;) {
      const size_t taken = session_.Feed(pending_);
      pending_.erase(0, taken);
      if (taken == 0 || pending_.empty()) break;
    }
    Flush();
    Read();
  }

  void Flush() {
    if (closed_) return;
    out_ += session_.TakeOutput();
    if (writing_) return;
    if (out_.empty()) {
      if (session_.closed()) CloseSocket();
      return;
    }
    writing_ = true;
    sending_.swap(out_);
    out_.clear();
    asio::async_write(socket_, asio::buffer(sending_),
                      [this, self = shared_from_this()](error_code ec, size_t) {
                        writing_ = false;
                        sending_.clear();
                        if (closed_) return;
                        if (ec) {
                          CloseSocket();
                          return;
                        }
                        Pump();
                      });
  }

  void ArmTimer() {
    timer_.expires_after(session_.phase() == Phase::kData ? kDataBlockTimeout
                                                          : kCommandTimeout);
    timer_.async_wait([this, self = shared_from_this()](error_code ec) {
      if (ec || closed_) return;  // set again, or closed
      if (writing_) {
        CloseSocket();  // it does not even read what we say
        return;
      }
      session_.Close(CloseReason::kTimeout);
      Flush();
    });
  }

  void CloseSocket() {
    if (closed_) return;
    closed_ = true;
    error_code ec;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    owner_.Closed(this, client_);
  }

  SmtpListener& owner_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  address client_;
  SmtpSession session_;
  std::array<char, kReadSize> buffer_;
  std::string pending_;  // read, not yet taken by the session
  std::string out_;      // replies not yet being written
  std::string sending_;  // the write in flight
  std::string data_;     // the message being received
  bool reading_ = false;
  bool writing_ = false;
  bool closed_ = false;
};

SmtpListener::SmtpListener(asio::io_context& io, const ListenerOptions& options,
                           MessageTaker& taker)
    : io_(io), options_(options), taker_(taker), acceptor_(io) {}

SmtpListener::~SmtpListener() {
  error_code ec;
  acceptor_.close(ec);
}

bool SmtpListener::Listen(const std::string& host, uint16_t port,
                          std::string* error) {
  error_code ec;
  const address a = asio::ip::make_address(host, ec);
  if (ec) {
    *error = "'" + host + "' is no IP address";
    return false;
  }
  const tcp::endpoint endpoint(a, port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " +
             ec.message();
    acceptor_.close(ec);
    return false;
  }
  port_ = acceptor_.local_endpoint(ec).port();
  Accept();
  return true;
}

void SmtpListener::Shutdown() {
  if (stopping_) return;
  stopping_ = true;
  error_code ec;
  acceptor_.close(ec);
  // Stopping a connection may close it, which takes it out of the set.
  const std::set<std::shared_ptr<Connection>> open = connections_;
  for (const std::shared_ptr<Connection>& c : open) c->Stop();
}

void SmtpListener::Accept() {
  acceptor_.async_accept([this](error_code ec, tcp::socket socket) {
    if (stopping_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      // Out of descriptors, say: wait a little rather than spin.
      auto timer = std::make_shared<asio::steady_timer>(io_, kAcceptRetry);
      timer->async_wait([this, timer](error_code) {
        if (!stopping_) Accept();
      });
      return;
    }
    error_code remoteError;
    const tcp::endpoint remote = socket.remote_endpoint(remoteError);
    if (remoteError) {
      Accept();
      return;
    }
    const address client = Plain(remote.address());
    if (!Allowed(client)) {
      ++counts_.refusedConnections;
      Turn(socket, "554 5.7.1 Access denied\r\n");
    } else if (connections_.size() >= options_.maxConnections ||
               (!IsLoopback(client) &&
                perClient_[client] >= options_.maxConnectionsPerClient)) {
      ++counts_.refusedConnections;
      Turn(socket, "421 4.7.0 Too many connections; try again later\r\n");
    } else {
      SessionOptions session = options_.session;
      session.xforward = MaySendXforward(client);
      auto connection = std::make_shared<Connection>(*this, std::move(socket),
                                                     client, session);
      connections_.insert(connection);
      ++perClient_[client];
      ++counts_.connections;
      connection->Start();
    }
    Accept();
  });
}

bool SmtpListener::Allowed(const address& client) const {
  if (IsLoopback(client)) return true;
  for (const Network& n : options_.allowed) {
    if (n.Contains(client)) return true;
  }
  return false;
}

bool SmtpListener::MaySendXforward(const address& client) const {
  if (options_.xforwardClients.empty()) return IsLoopback(client);
  for (const Network& n : options_.xforwardClients) {
    if (n.Contains(client)) return true;
  }
  return false;
}

void SmtpListener::Closed(Connection* connection, const address& client) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      connections_.erase(it);
      break;
    }
  }
  auto count = perClient_.find(client);
  if (count != perClient_.end() && --count->second == 0) {
    perClient_.erase(count);
  }
}

}  // namespace vt::smtp
