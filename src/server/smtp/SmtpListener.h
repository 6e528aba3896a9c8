// The mail server's SMTP (or LMTP) listener on Boost.Asio: it accepts the
// MTA's connections, runs one SmtpSession on each, applies the timeouts and
// the bounds the sessions leave to it, and hands each message at its final
// dot to a MessageTaker, whose reply the client gets. It is a filter's
// input, not a public MX: only loopback clients, or the networks it is
// told, may connect. One thread runs it; a message's store write blocks
// the others for its commit, which keeps every answer in order with the
// store.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/smtp/SmtpReply.h"
#include "server/smtp/SmtpSession.h"

namespace vt::smtp {

// An address block, "192.0.2.0/24" or "2001:db8::/32"; a bare address is
// the one host.
struct Network {
  boost::asio::ip::address base;
  unsigned prefix = 0;
  bool Contains(const boost::asio::ip::address& client) const;
};
// The block, or nullopt for text that is none.
std::optional<Network> ParseNetwork(std::string_view text);
bool IsLoopback(const boost::asio::ip::address& client);

// Who sent the message, for the log.
struct ClientInfo {
  std::string address;
};

class MessageTaker {
 public:
  virtual ~MessageTaker() = default;
  // Asked before each command the client sends: a reply that refuses every
  // MAIL for now (the store cannot take mail), or none.
  virtual std::optional<Reply> Refusal() = 0;
  // The final dot: stores the message and returns the client's reply (in
  // LMTP, every recipient's).
  virtual Reply Take(const Envelope& envelope, std::string_view data,
                     const ClientInfo& client) = 0;
};

struct ListenerOptions {
  SessionOptions session;
  // Empty: loopback clients only.
  std::vector<Network> allowed;
  size_t maxConnections = 100;
  // For clients other than loopback, where the MTA itself connects from.
  size_t maxConnectionsPerClient = 20;
  // The addresses that may send XFORWARD (the MTA's); loopback when empty.
  std::vector<Network> xforwardClients;
};

struct ListenerCounts {
  uint64_t connections = 0;  // accepted connections
  uint64_t refusedConnections = 0;
  uint64_t accepted = 0;  // messages answered 2yz
  uint64_t refused = 0;   // messages answered 4yz or 5yz
};

class SmtpListener {
 public:
  SmtpListener(boost::asio::io_context& io, const ListenerOptions& options,
               MessageTaker& taker);
  SmtpListener(const SmtpListener&) = delete;
  SmtpListener& operator=(const SmtpListener&) = delete;
  ~SmtpListener();

  // Binds and starts accepting; port 0 picks a free port. False with the
  // reason in *error.
  bool Listen(const std::string& host, uint16_t port, std::string* error);
  uint16_t port() const { return port_; }
  // Stops accepting; every session says 421, writes what it has and
  // closes. The io_context's run() then returns.
  void Shutdown();

  const ListenerCounts& counts() const { return counts_; }
  size_t openConnections() const { return connections_.size(); }

 private:
  class Connection;
  friend class Connection;

  void Accept();
  bool Allowed(const boost::asio::ip::address& client) const;
  bool MaySendXforward(const boost::asio::ip::address& client) const;
  void Closed(Connection* connection, const boost::asio::ip::address& client);

  boost::asio::io_context& io_;
  ListenerOptions options_;
  MessageTaker& taker_;
  boost::asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  bool stopping_ = false;
  std::set<std::shared_ptr<Connection>> connections_;
  std::map<boost::asio::ip::address, size_t> perClient_;
  ListenerCounts counts_;
};

}  // namespace vt::smtp
