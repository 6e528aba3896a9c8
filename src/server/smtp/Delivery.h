// The mail server's delivery on Boost.Asio: it relays what the outbound
// queue holds to the next hop over a bounded number of connections, each
// carrying one message at a time, and settles each message by what the next
// hop answered: deleted after 250 (for every recipient), tried again later
// after 4yz, dead after 5yz or when its lifetime is past, with a report to
// the sender. A next hop that cannot be reached is tried again with a
// growing delay, and no message is charged for it. At most the one message
// a connection carries when the service dies can reach the next hop twice.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "notes/NotesServices.h"
#include "server/ServerAdmin.h"
#include "server/smtp/MessageIntake.h"
#include "server/smtp/OutboundQueue.h"
#include "server/smtp/SmtpClientSession.h"

namespace vt::smtp {

struct DeliveryOptions {
  boost::asio::ip::tcp::endpoint relay;
  bool lmtp = false;
  std::string hostName = "localhost";  // EHLO, our trace field, reports
  size_t maxConnections = 4;
  RetryPolicy retry;
  // How often the queue is looked at while there is nothing to send.
  int64_t pollCentis = 100;
  // A next hop that could not be reached is tried again after this, then
  // twice as long each time, up to the longest.
  int64_t relayRetryCentis = 100;
  int64_t relayRetryLongestCentis = 60 * 100;
  // How long an idle connection is kept for the next message.
  int64_t idleCentis = 200;
};

struct DeliveryCounts {
  uint64_t delivered = 0;  // messages, every recipient taken
  uint64_t deferred = 0;   // tries that left a recipient for later
  uint64_t dead = 0;
  uint64_t reports = 0;  // non-delivery reports written
};

class Delivery {
 public:
  Delivery(boost::asio::io_context& io, NotesServices& notes,
           ServerAdmin& admin, std::vector<OpenMailBox> mailBoxes,
           const DeliveryOptions& options);
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  ~Delivery();

  Status Start();
  // Sends nothing more and closes every connection; what a connection was
  // sending stays queued, to be sent again at the next start.
  void Stop();

  const DeliveryCounts& counts() const { return counts_; }

 private:
  class Connection;
  friend class Connection;

  int64_t Now();
  void SchedulePoll(int64_t afterCentis);
  void Poll();
  void Open();
  // The next message for a connection that is idle, or false.
  bool Next(LoadedMessage* message);
  void Settle(const LoadedMessage& message, const TransactionOutcome& outcome,
              const std::string& remoteName);
  void WriteReport(const LoadedMessage& message,
                   const TransactionOutcome& outcome,
                   const Settlement& settlement, const std::string& remoteName);
  // The connection could not be made or greeted us with a refusal.
  void Unreachable(const Reply& why);
  void Reached();
  void Closed(Connection* connection);

  boost::asio::io_context& io_;
  NotesServices& notes_;
  ServerAdmin& admin_;
  DeliveryOptions options_;
  OutboundQueue queue_;
  boost::asio::steady_timer poll_;
  bool stopping_ = false;
  std::vector<QueuedMessage> due_;
  size_t nextDue_ = 0;
  bool moreDue_ = false;  // the last look found more than it took
  std::set<std::pair<size_t, uint32_t>> inFlight_;
  // Notes whose envelope cannot be read, said once each.
  std::set<std::pair<size_t, uint32_t>> damaged_;
  std::set<std::shared_ptr<Connection>> connections_;
  // The next hop's state: reachable, or tried again from relayRetryAt_.
  bool unreachable_ = false;
  int64_t relayDelay_ = 0;
  int64_t relayRetryAt_ = 0;
  DeliveryCounts counts_;
};

}  // namespace vt::smtp
