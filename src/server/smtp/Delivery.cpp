// One thread runs the connections and the store alike: a message is read,
// sent and settled between network events, so that the store sees one
// writer here and every settlement follows the reply that decided it.
#include "server/smtp/Delivery.h"

#include <array>
#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <optional>
#include <utility>

#include "notes/TimeDate.h"
#include "server/smtp/DeliveryReport.h"

namespace vt::smtp {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr size_t kReadSize = 16 * 1024;
// RFC 5321 4.5.3.2: five minutes for most replies, ten for the final dot.
constexpr auto kConnectTimeout = std::chrono::seconds(30);
constexpr auto kReplyTimeout = std::chrono::seconds(300);
constexpr auto kDotTimeout = std::chrono::seconds(600);
// How many queued messages one look at the mail boxes takes in.
constexpr size_t kDueBatch = 1000;

std::chrono::milliseconds Centis(int64_t centis) {
  return std::chrono::milliseconds(centis * 10);
}

std::string Where(const tcp::endpoint& endpoint) {
  const std::string host = endpoint.address().to_string();
  return (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" +
         std::to_string(endpoint.port());
}

}  // namespace

class Delivery::Connection : public std::enable_shared_from_this<Connection> {
 public:
  explicit Connection(Delivery& owner)
      : owner_(owner),
        socket_(owner.io_),
        timer_(owner.io_),
        session_(ClientOptions{owner.options_.hostName, owner.options_.lmtp}) {}

  void Start() {
    Arm(kConnectTimeout);
    socket_.async_connect(
        owner_.options_.relay,
        [this, self = shared_from_this()](error_code ec) {
          if (closed_) return;
          if (ec) {
            Fail(Reply(421, "4.4.1", "Cannot connect: " + ec.message()));
            return;
          }
          Arm(kReplyTimeout);
          Read();
        });
  }

  // New mail is queued: an idle connection takes it at once.
  void Wake() {
    if (!closed_ && session_.idle() && !current_) Pump();
  }

  // The service stops: whatever is under way stays queued as it is.
  void Stop() {
    current_.reset();
    Close();
  }

 private:
  void Read() {
    if (reading_ || closed_) return;
    reading_ = true;
    socket_.async_read_some(
        asio::buffer(buffer_),
        [this, self = shared_from_this()](error_code ec, size_t n) {
          reading_ = false;
          if (closed_) return;
          if (ec) {
            Fail(Reply(421, "4.4.2",
                       ec == asio::error::eof
                           ? "Connection closed by the next hop"
                           : "Connection lost: " + ec.message()));
            return;
          }
          session_.Feed(std::string_view(buffer_.data(), n));
          Pump();
        });
  }

  // Acts on the session's state after each reply: settles a finished
  // message, starts the next, says what is to be said.
  void Pump() {
    if (closed_) return;
    if (session_.outcomeReady()) Settle();
    if (session_.idle() && !greeted_) {
      greeted_ = true;
      owner_.Reached();
    }
    if (session_.idle() && !current_ && !owner_.stopping_) {
      LoadedMessage next;
      if (owner_.Next(&next)) {
        current_ = std::move(next);
        session_.Send(current_->outgoing);
        if (session_.outcomeReady()) {
          Pump();  // refused before anything was sent
          return;
        }
      }
    }
    if (session_.idle() && !current_) {
      if (!idle_) {
        idle_ = true;
        Arm(Centis(owner_.options_.idleCentis), /*idle=*/true);
      }
    } else {
      idle_ = false;
      Arm(session_.awaitingDot() ? kDotTimeout : kReplyTimeout);
    }
    Write();
    if (session_.finished()) {
      if (!greeted_) TellUnreachable(session_.failure());
      if (out_.empty() && !writing_) Close();
      return;
    }
    Read();
  }

  void Settle() {
    TransactionOutcome outcome = session_.TakeOutcome();
    if (current_) {
      owner_.Settle(*current_, outcome, session_.remoteName());
      current_.reset();
    }
  }

  void Write() {
    out_ += session_.TakeOutput();
    if (writing_ || out_.empty() || closed_) return;
    writing_ = true;
    sending_.swap(out_);
    out_.clear();
    asio::async_write(
        socket_, asio::buffer(sending_),
        [this, self = shared_from_this()](error_code ec, size_t) {
          writing_ = false;
          sending_.clear();
          if (closed_) return;
          if (ec) {
            Fail(Reply(421, "4.4.2", "Connection lost: " + ec.message()));
            return;
          }
          if (session_.finished() && out_.empty()) {
            Close();
            return;
          }
          Write();
        });
  }

  void Arm(std::chrono::steady_clock::duration after, bool idle = false) {
    timer_.expires_after(after);
    timer_.async_wait([this, idle, self = shared_from_this()](error_code ec) {
      if (ec || closed_) return;
      if (idle && session_.idle() && !current_) {
        session_.Quit();
        Arm(kReplyTimeout);
        Write();
        return;
      }
      Fail(Reply(421, "4.4.2", "The next hop did not answer in time"));
    });
  }

  void Fail(const Reply& why) {
    if (closed_) return;
    const bool wasGreeted = greeted_;
    session_.ConnectionLost(why);
    if (session_.outcomeReady()) Settle();
    if (!wasGreeted) TellUnreachable(why);
    Close();
  }

  // Once per connection: a refusal and the failed write after it are one
  // failure.
  void TellUnreachable(const Reply& why) {
    if (told_) return;
    told_ = true;
    owner_.Unreachable(why);
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    error_code ec;
    timer_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    if (current_) {
      owner_.inFlight_.erase({current_->at.box, current_->at.noteId});
      current_.reset();
    }
    owner_.Closed(this);
  }

  Delivery& owner_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  SmtpClientSession session_;
  std::array<char, kReadSize> buffer_{};
  std::string out_;
  std::string sending_;
  std::optional<LoadedMessage> current_;
  bool reading_ = false;
  bool writing_ = false;
  bool greeted_ = false;
  bool idle_ = false;
  bool told_ = false;
  bool closed_ = false;
};

Delivery::Delivery(asio::io_context& io, NotesServices& notes,
                   ServerAdmin& admin, std::vector<OpenMailBox> mailBoxes,
                   const DeliveryOptions& options)
    : io_(io),
      notes_(notes),
      admin_(admin),
      options_(options),
      queue_(notes, admin, std::move(mailBoxes), options.hostName),
      poll_(io) {}

Delivery::~Delivery() { Stop(); }

int64_t Delivery::Now() {
  TimeDate now;
  notes_.CurrentTime(&now);
  return UnixCentisFromTimeDate(now);
}

Status Delivery::Start() {
  const Status s = queue_.Init();
  if (!s.ok()) return s;
  SchedulePoll(0);
  return Status();
}

void Delivery::Stop() {
  if (stopping_) return;
  stopping_ = true;
  poll_.cancel();
  // Closing takes a connection out of the set.
  const auto open = connections_;
  for (const auto& connection : open) connection->Stop();
}

void Delivery::SchedulePoll(int64_t afterCentis) {
  if (stopping_) return;
  poll_.expires_after(Centis(afterCentis));
  poll_.async_wait([this](error_code ec) {
    if (!ec) Poll();
  });
}

void Delivery::Poll() {
  if (stopping_) return;
  const int64_t now = Now();
  if (unreachable_ && now < relayRetryAt_) {
    SchedulePoll(relayRetryAt_ - now);
    return;
  }
  if (nextDue_ >= due_.size()) {
    const Status s = queue_.Due(now, kDueBatch, &due_);
    if (!s.ok()) due_.clear();
    nextDue_ = 0;
    moreDue_ = due_.size() >= kDueBatch;
  }
  Open();
  SchedulePoll(options_.pollCentis);
}

void Delivery::Open() {
  const auto open = connections_;
  for (const auto& connection : open) connection->Wake();
  size_t waiting = 0;
  for (size_t i = nextDue_; i < due_.size(); ++i) {
    if (!inFlight_.contains({due_[i].box, due_[i].noteId})) ++waiting;
  }
  // While the next hop is unreachable one connection finds out whether it
  // is back.
  const size_t most = unreachable_ ? 1 : options_.maxConnections;
  while (waiting > 0 && connections_.size() < most) {
    auto connection = std::make_shared<Connection>(*this);
    connections_.insert(connection);
    connection->Start();
    --waiting;
  }
}

bool Delivery::Next(LoadedMessage* message) {
  for (;;) {
    if (nextDue_ >= due_.size()) {
      if (!moreDue_) return false;
      const Status s = queue_.Due(Now(), kDueBatch, &due_);
      nextDue_ = 0;
      moreDue_ = s.ok() && due_.size() >= kDueBatch;
      if (!s.ok()) due_.clear();
      if (due_.empty()) return false;
    }
    const QueuedMessage at = due_[nextDue_++];
    if (inFlight_.contains({at.box, at.noteId})) continue;
    const Status s = queue_.Load(at, message);
    if (s.Is(err::kInvalidNote)) {
      if (damaged_.insert({at.box, at.noteId}).second) {
        notes_.LogMessage(
            "SMTP Delivery: Note %lX in %s has no envelope that can be read "
            "and is not delivered.",
            Status(), static_cast<unsigned long>(at.noteId),
            queue_.mailBoxes()[at.box].name.c_str());
      }
      continue;
    }
    // Gone or changed since it was found: the next look finds it as it is.
    if (!s.ok()) continue;
    inFlight_.insert({at.box, at.noteId});
    return true;
  }
}

void Delivery::Settle(const LoadedMessage& message,
                      const TransactionOutcome& outcome,
                      const std::string& remoteName) {
  inFlight_.erase({message.at.box, message.at.noteId});
  const int64_t now = Now();
  Settlement settlement = Judge(message, outcome, now, options_.retry);
  // The report is written before the message is settled: a crash between
  // the two sends the report again, never loses it.
  if (!settlement.refused.empty()) {
    WriteReport(message, outcome, settlement, remoteName);
  }
  const Status s = queue_.Settle(message, &settlement);
  const char* id = message.queueId.c_str();
  const std::string relay = Where(options_.relay);
  if (!s.ok()) {
    notes_.LogMessage(
        "SMTP Delivery: Message %s could not be settled after its try; it "
        "may be sent again:",
        s, id);
    return;
  }
  const std::string remote =
      outcome.remoteId.empty() ? "" : " as " + outcome.remoteId;
  if (settlement.deleted) {
    ++counts_.delivered;
    notes_.LogMessage(
        "SMTP Delivery: Message %s delivered to %s%s for %lu recipient%s.",
        Status(), id, relay.c_str(), remote.c_str(),
        static_cast<unsigned long>(settlement.delivered),
        settlement.delivered == 1 ? "" : "s");
    return;
  }
  if (settlement.delivered > 0) {
    notes_.LogMessage(
        "SMTP Delivery: Message %s delivered to %s%s for %lu of its "
        "recipients.",
        Status(), id, relay.c_str(), remote.c_str(),
        static_cast<unsigned long>(settlement.delivered));
  }
  if (settlement.dead) {
    ++counts_.dead;
    notes_.LogMessage(
        "SMTP Delivery: Message %s is dead mail, refused for %lu "
        "recipient%s: %s",
        Status(), id, static_cast<unsigned long>(settlement.refused.size()),
        settlement.refused.size() == 1 ? "" : "s", settlement.reason.c_str());
    return;
  }
  if (!settlement.refused.empty()) {
    notes_.LogMessage(
        "SMTP Delivery: Message %s refused for %lu recipient%s: %s", Status(),
        id, static_cast<unsigned long>(settlement.refused.size()),
        settlement.refused.size() == 1 ? "" : "s",
        settlement.refusedLines.front().c_str());
  }
  ++counts_.deferred;
  notes_.LogMessage(
      "SMTP Delivery: Message %s deferred for %lu recipient%s, next try in "
      "%ld s: %s",
      Status(), id, static_cast<unsigned long>(settlement.deferred.size()),
      settlement.deferred.size() == 1 ? "" : "s",
      static_cast<long>((settlement.nextAttemptCentis - now + 99) / 100),
      settlement.reason.c_str());
}

void Delivery::WriteReport(const LoadedMessage& message,
                           const TransactionOutcome& outcome,
                           const Settlement& settlement,
                           const std::string& remoteName) {
  const OutgoingMessage& out = message.outgoing;
  if (out.reversePath.empty()) return;  // no report of a report
  ReportInput input;
  input.reportingMta = options_.hostName;
  input.reversePath = out.reversePath;
  input.mail = out.mail;
  // The original as it came, without our trace field.
  const size_t traceEnd = out.data.find("\r\n", out.data.find(';'));
  input.message = std::string_view(out.data).substr(
      traceEnd == std::string::npos ? 0 : traceEnd + 2);
  input.arrivalUnixSeconds = message.receivedCentis / 100;
  input.nowUnixSeconds = Now() / 100;
  input.queueId = message.queueId;
  for (const size_t i : settlement.refused) {
    FailedRecipient failed;
    failed.address = out.recipients[i].address;
    failed.params = out.recipients[i].params;
    failed.reply = outcome.recipients[i].reply;
    failed.remoteMta = remoteName;
    failed.afterLifetime = outcome.recipients[i].fate == Fate::kDeferred;
    input.recipients.push_back(std::move(failed));
  }
  const std::optional<DeliveryReport> report = FormatDeliveryReport(input);
  if (!report) return;
  Envelope envelope;
  envelope.greeting = Greeting::kEhlo;
  envelope.heloName = options_.hostName;
  envelope.mail.body = report->body;
  envelope.mail.smtpUtf8 = report->smtpUtf8;
  envelope.recipients.push_back({out.reversePath, RcptParams()});
  IntakeOptions intake;
  intake.forRouter = false;
  const IntakeResult r =
      TakeMessage(notes_, admin_, queue_.mailBoxes()[message.at.box].handle,
                  envelope, report->message, Now(), intake);
  if (!r.reply.positive()) {
    notes_.LogMessage(
        "SMTP Delivery: The report on message %s to %s could not be stored:",
        r.status, message.queueId.c_str(), out.reversePath.c_str());
    return;
  }
  ++counts_.reports;
  notes_.LogMessage("SMTP Delivery: Message %s: non-delivery report %s to %s.",
                    Status(), message.queueId.c_str(), UnidHex(r.unid).c_str(),
                    out.reversePath.c_str());
}

void Delivery::Unreachable(const Reply& why) {
  const int64_t now = Now();
  relayDelay_ = relayDelay_ == 0 ? options_.relayRetryCentis
                                 : std::min(relayDelay_ * 2,
                                            options_.relayRetryLongestCentis);
  relayRetryAt_ = now + relayDelay_;
  if (unreachable_) return;
  unreachable_ = true;
  notes_.LogMessage(
      "SMTP Delivery: Cannot deliver to %s: %s.  Mail waits until it can.",
      Status(), Where(options_.relay).c_str(), why.Summary().c_str());
}

void Delivery::Reached() {
  relayDelay_ = 0;
  if (!unreachable_) return;
  unreachable_ = false;
  notes_.LogMessage("SMTP Delivery: %s takes mail again.", Status(),
                    Where(options_.relay).c_str());
  Open();
}

void Delivery::Closed(Connection* connection) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      connections_.erase(it);
      break;
    }
  }
}

}  // namespace vt::smtp
