// `vtserver smtp DIR [--listen ADDRESS:PORT] [--allow NETWORK]... [--lmtp]
// [--max-backlog N] [--max-connections N] [--relay ADDRESS:PORT
// [--relay-lmtp] [--max-deliveries N] [--retry-after S] [--lifetime S]]`:
// the mail server's SMTP side. Mail in: it takes what the MTA's content
// filter hands it into the router's mail boxes, marked for the router as the
// router's configuration asks (held, in the alternative interception mode).
// Mail out, with --relay: it delivers what the mail server may deliver
// (verified mail) to the next hop, the MTA's reinjection port. Both run
// until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/RouterSettings.h"
#include "quarantine/MailBoxes.h"
#include "server/smtp/Delivery.h"
#include "server/smtp/MailBoxIntake.h"
#include "server/smtp/ServiceStatus.h"
#include "server/smtp/SmtpListener.h"

namespace vt::tool {
namespace {

// "127.0.0.1:10025" or "[::1]:10025".
Outcome ParseHostPort(const std::string& option, const std::string& text,
                      std::string* host, uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return Outcome::Failure(option + " " + text + ": not ADDRESS:PORT");
  }
  std::string h = text.substr(0, colon);
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') {
    h = h.substr(1, h.size() - 2);
  }
  const std::string digits = text.substr(colon + 1);
  unsigned p = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), p);
  if (digits.empty() || error != std::errc() ||
      end != digits.data() + digits.size() || p > 65535) {
    return Outcome::Failure(option + " " + text + ": not a port");
  }
  if (!smtp::ParseNetwork(h) || h.find('/') != std::string::npos) {
    return Outcome::Failure(option + " " + text + ": not an IP address");
  }
  *host = h;
  *port = static_cast<uint16_t>(p);
  return Outcome();
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

class SmtpServiceCommand : public DataDirCommand {
 public:
  SmtpServiceCommand()
      : DataDirCommand("smtp",
                       "Take mail over SMTP (or LMTP) from the MTA into the "
                       "router's mail boxes") {}

 private:
  void AddArguments(CLI::App& sub) override {
    sub.add_option("--listen", listenText_,
                   "ADDRESS:PORT to take mail on (default 127.0.0.1:10025; "
                   "port 0 picks a free one)");
    sub.add_option("--allow", allowTexts_,
                   "a client network (\"192.0.2.0/24\") that may connect "
                   "besides loopback; repeat for more");
    sub.add_flag("--lmtp", lmtp_,
                 "speak LMTP (one reply per recipient) instead of SMTP");
    sub.add_option("--max-backlog", maxBacklog_,
                   "defer new mail (452) while the mail boxes hold this many "
                   "messages (default 10000; 0: no limit)");
    sub.add_option("--max-connections", maxConnections_,
                   "connections at once (default 100)");
    sub.add_option("--relay", relayText_,
                   "ADDRESS:PORT to deliver verified mail to (the MTA's "
                   "reinjection port); without it nothing is delivered");
    sub.add_flag("--relay-lmtp", relayLmtp_,
                 "deliver with LMTP (a reply per recipient) instead of SMTP");
    sub.add_option("--max-deliveries", maxDeliveries_,
                   "connections to the relay at once (default 4)");
    sub.add_option("--retry-after", retryAfter_,
                   "seconds before a deferred message is tried again, "
                   "doubling up to an hour (default 60)");
    sub.add_option("--lifetime", lifetime_,
                   "seconds after which a message still deferred is given up "
                   "as dead mail, with a report to its sender (default "
                   "432000: five days)");
  }

  Outcome CheckArguments() override {
    Outcome outcome = ParseHostPort("--listen", listenText_, &host_, &port_);
    if (!outcome.ok()) return outcome;
    if (!relayText_.empty()) {
      std::string host;
      uint16_t port = 0;
      outcome = ParseHostPort("--relay", relayText_, &host, &port);
      if (!outcome.ok()) return outcome;
      if (port == 0) return Outcome::Failure("--relay needs a port");
      delivery_.relay = boost::asio::ip::tcp::endpoint(
          boost::asio::ip::make_address(host), port);
    }
    if (maxDeliveries_ == 0) {
      return Outcome::Failure("--max-deliveries must be at least 1");
    }
    if (retryAfter_ < 1) {
      return Outcome::Failure("--retry-after must be at least 1");
    }
    delivery_.lmtp = relayLmtp_;
    delivery_.maxConnections = maxDeliveries_;
    delivery_.retry.firstCentis = retryAfter_ * 100;
    delivery_.retry.longestCentis =
        std::max<int64_t>(retryAfter_ * 100, 3600 * 100);
    delivery_.retry.lifetimeCentis = lifetime_ * 100;
    for (const std::string& text : allowTexts_) {
      const auto network = smtp::ParseNetwork(text);
      if (!network) {
        return Outcome::Failure("--allow " + text + ": not a network");
      }
      listener_.allowed.push_back(*network);
    }
    if (maxConnections_ == 0) {
      return Outcome::Failure("--max-connections must be at least 1");
    }
    listener_.maxConnections = maxConnections_;
    listener_.session.lmtp = lmtp_;
    listener_.session.hostName = HostName();
    delivery_.hostName = listener_.session.hostName;
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    const Outcome started = StartServiceRuntime(server);
    if (!started.ok()) return started;
    const Outcome outcome = Serve(server);
    server.StopRuntime();
    return outcome;
  }

  Outcome Serve(LocalNotesServices& server) {
    RouterSettings settings;
    Outcome outcome = ReadRouterSettings(server, &settings);
    if (!outcome.ok()) return outcome;
    MailBoxes boxes;
    outcome = boxes.Open(server, settings);
    if (!outcome.ok()) return outcome;
    std::vector<smtp::OpenMailBox> open;
    for (size_t i = 0; i < boxes.size(); ++i) {
      open.push_back({boxes.handle(i), boxes.name(i)});
    }
    smtp::MailBoxIntakeOptions options;
    options.intake.hold = settings.alternateInterceptor;
    options.maxBacklog = maxBacklog_;
    smtp::MailBoxIntake intake(server, server, open, options);

    boost::asio::io_context io;
    smtp::SmtpListener listener(io, listener_, intake);
    std::string error;
    if (!listener.Listen(host_, port_, &error)) return Outcome::Failure(error);
    std::optional<smtp::Delivery> delivery;
    if (!relayText_.empty()) {
      delivery.emplace(io, server, server, open, delivery_);
      const Status s = delivery->Start();
      if (!s.ok()) return StatusFailure("cannot start delivery", s);
    }
    // The server's runtime takes the signals: SIGTERM and SIGINT end the
    // service, SIGHUP and SIGUSR1 (logrotate's) have the log reopened
    // before its next line. It is asked between network events.
    // The counts go on a status line of the service's own, as they change.
    ServiceStatusLine line(server, smtp::kServiceStatusLineName);
    auto show = [&] {
      const smtp::ListenerCounts& in = listener.counts();
      smtp::ServiceCounts counts;
      counts.taken = in.accepted;
      counts.refused = in.refused;
      if (delivery) {
        const smtp::DeliveryCounts& out = delivery->counts();
        counts.delivered = out.delivered;
        counts.deferred = out.deferred;
        counts.dead = out.dead;
        counts.reports = out.reports;
      }
      line.Show(smtp::FormatServiceStatus(counts));
    };
    show();
    boost::asio::steady_timer stop(io);
    std::function<void()> watch = [&] {
      stop.expires_after(std::chrono::milliseconds(100));
      stop.async_wait([&](const boost::system::error_code& ec) {
        if (ec) return;
        show();
        if (!server.ShouldTerminate()) {
          watch();
          return;
        }
        listener.Shutdown();
        if (delivery) delivery->Stop();
      });
    };
    watch();
    const std::string where =
        (host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]") +
        ":" + std::to_string(listener.port());
    std::printf("vtserver smtp: taking mail for %s at %s (%s, Ctrl-C ends)\n",
                dir().c_str(), where.c_str(), lmtp_ ? "LMTP" : "SMTP");
    std::fflush(stdout);
    server.LogMessage(
        "SMTP Server: Listening for connect requests on %s (%s), into %lu "
        "mail boxes%s.",
        Status(), where.c_str(), lmtp_ ? "LMTP" : "SMTP",
        static_cast<unsigned long>(open.size()),
        options.intake.hold ? ", held for the router" : "");
    if (delivery) {
      server.LogMessage("SMTP Delivery: Delivering to %s (%s), %lu at once.",
                        Status(), relayText_.c_str(),
                        relayLmtp_ ? "LMTP" : "SMTP",
                        static_cast<unsigned long>(maxDeliveries_));
    }
    io.run();
    const smtp::ListenerCounts& counts = listener.counts();
    server.LogMessage(
        "SMTP Server: Stopped after %lu connections: %lu messages taken, %lu "
        "refused.",
        Status(), static_cast<unsigned long>(counts.connections),
        static_cast<unsigned long>(counts.accepted),
        static_cast<unsigned long>(counts.refused));
    if (delivery) {
      const smtp::DeliveryCounts& sent = delivery->counts();
      server.LogMessage(
          "SMTP Delivery: Stopped: %lu messages delivered, %lu deferred, %lu "
          "dead, %lu reports.",
          Status(), static_cast<unsigned long>(sent.delivered),
          static_cast<unsigned long>(sent.deferred),
          static_cast<unsigned long>(sent.dead),
          static_cast<unsigned long>(sent.reports));
    }
    return Outcome();
  }

  std::string listenText_ = "127.0.0.1:10025";
  std::vector<std::string> allowTexts_;
  bool lmtp_ = false;
  uint64_t maxBacklog_ = 10000;
  size_t maxConnections_ = 100;
  std::string relayText_;
  bool relayLmtp_ = false;
  size_t maxDeliveries_ = 4;
  int64_t retryAfter_ = 60;
  int64_t lifetime_ = 5LL * 24 * 3600;
  std::string host_;
  uint16_t port_ = 0;
  smtp::ListenerOptions listener_;
  smtp::DeliveryOptions delivery_;
};

}  // namespace

std::unique_ptr<Command> MakeSmtpCommand() {
  return std::make_unique<SmtpServiceCommand>();
}

}  // namespace vt::tool
