// `vtserver smtp DIR [--listen ADDRESS:PORT] [--allow NETWORK]... [--lmtp]
// [--max-backlog N] [--max-connections N]`: the mail server's SMTP side,
// mail in. It takes what the MTA's content filter hands it into the router's
// mail boxes, marked for the router as the router's configuration asks
// (held, in the alternative interception mode), until SIGTERM or SIGINT.
#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/RouterSettings.h"
#include "quarantine/MailBoxes.h"
#include "server/smtp/MailBoxIntake.h"
#include "server/smtp/SmtpListener.h"

namespace vt::tool {
namespace {

// "127.0.0.1:10025" or "[::1]:10025".
Outcome ParseHostPort(const std::string& text, std::string* host,
                      uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return Outcome::Failure("--listen " + text + ": not ADDRESS:PORT");
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
    return Outcome::Failure("--listen " + text + ": not a port");
  }
  if (!smtp::ParseNetwork(h) || h.find('/') != std::string::npos) {
    return Outcome::Failure("--listen " + text + ": not an IP address");
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
  }

  Outcome CheckArguments() override {
    Outcome outcome = ParseHostPort(listenText_, &host_, &port_);
    if (!outcome.ok()) return outcome;
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
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
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
    boost::asio::signal_set stop(io, SIGTERM, SIGINT);
    stop.async_wait([&](const boost::system::error_code& ec, int) {
      if (!ec) listener.Shutdown();
    });
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
    io.run();
    const smtp::ListenerCounts& counts = listener.counts();
    server.LogMessage(
        "SMTP Server: Stopped after %lu connections: %lu messages taken, %lu "
        "refused.",
        Status(), static_cast<unsigned long>(counts.connections),
        static_cast<unsigned long>(counts.accepted),
        static_cast<unsigned long>(counts.refused));
    return Outcome();
  }

  std::string listenText_ = "127.0.0.1:10025";
  std::vector<std::string> allowTexts_;
  bool lmtp_ = false;
  uint64_t maxBacklog_ = 10000;
  size_t maxConnections_ = 100;
  std::string host_;
  uint16_t port_ = 0;
  smtp::ListenerOptions listener_;
};

}  // namespace

std::unique_ptr<Command> MakeSmtpCommand() {
  return std::make_unique<SmtpServiceCommand>();
}

}  // namespace vt::tool
