// One request per connection, as spamc sends it: the command line, the
// headers, a blank line and the message; spamd answers and closes.
#include "scanner/SpamdClient.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "scanner/EngineReplies.h"

namespace vt::scanner {
namespace {

std::string ProcessUserName() {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) ==
          0 &&
      found != nullptr && found->pw_name != nullptr) {
    return found->pw_name;
  }
  return "nobody";
}

}  // namespace

SpamdClient::SpamdClient(SpamdOptions options) : options_(std::move(options)) {
  if (options_.user.empty()) options_.user = ProcessUserName();
  // A header line must stay one line.
  options_.user = OneLine(options_.user, 128);
}

EngineReply<std::string> SpamdClient::Exchange(
    std::string_view command, std::string_view extraHeaders,
    const ScanRequest& request) const {
  EngineReply<EngineSocket> connected =
      EngineSocket::Connect(Engine::kSpamd, options_.endpoint, request.deadline,
                            options_.connectLimit);
  if (!connected.ok()) return connected.failure();
  EngineSocket& socket = connected.value();
  std::string head(command);
  head += " SPAMC/1.5\r\nContent-length: ";
  head += std::to_string(request.message.size());
  head += "\r\nUser: ";
  head += options_.user;
  head += "\r\n";
  head += extraHeaders;
  head += "\r\n";
  // spamd answers a bad request at once; the rest need not be sent then.
  EngineReply<SendEnd> sent = socket.Send(head, request.deadline, true);
  if (sent.ok() && sent.value() == SendEnd::kSent) {
    sent = socket.Send(request.message, request.deadline, true);
  }
  if (!sent.ok()) return sent.failure();
  socket.FinishSending();
  EngineReply<std::string> reply =
      socket.ReadReply(request.deadline, options_.replyLimit);
  if (reply.ok() && reply.value().empty()) {
    return EngineFailure{Engine::kSpamd, FailureKind::kUnreachable,
                         "spamd at " + options_.endpoint.Text() +
                             " closed the connection without an answer"};
  }
  return reply;
}

EngineOutcome SpamdClient::Scan(const ScanRequest& request) const {
  EngineReply<std::string> reply = Exchange("SYMBOLS", {}, request);
  if (!reply.ok()) return reply.failure();
  return ParseSpamdSymbols(reply.value());
}

LearnOutcome SpamdClient::Learn(const ScanRequest& request, bool spam) const {
  const std::string headers = std::string("Message-class: ") +
                              (spam ? "spam" : "ham") + "\r\nSet: local\r\n";
  EngineReply<std::string> reply = Exchange("TELL", headers, request);
  if (!reply.ok()) return reply.failure();
  return ParseSpamdTell(reply.value());
}

}  // namespace vt::scanner
