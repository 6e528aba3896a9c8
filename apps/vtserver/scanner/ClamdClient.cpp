// INSTREAM, watching for clamd's answer between chunks: it answers "INSTREAM
// size limit exceeded" and closes as soon as a stream passes its limit, and
// that answer is read before the connection's reset can discard it.
#include "scanner/ClamdClient.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "scanner/EngineReplies.h"

namespace vt::scanner {
namespace {

std::array<char, 4> ChunkLength(size_t size) {
  const auto n = static_cast<uint32_t>(size);
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
          static_cast<char>(n >> 8), static_cast<char>(n)};
}

}  // namespace

EngineOutcome ClamdClient::Scan(const ScanRequest& request) const {
  EngineReply<EngineSocket> connected =
      EngineSocket::Connect(Engine::kClamd, options_.endpoint, request.deadline,
                            options_.connectLimit);
  if (!connected.ok()) return connected.failure();
  EngineSocket& socket = connected.value();
  // The z form: the command ends at a NUL, and so does the reply.
  static constexpr std::string_view kCommand{"zINSTREAM\0", 10};
  EngineReply<SendEnd> sent = socket.Send(kCommand, request.deadline, true);
  const std::string_view message = request.message;
  const size_t chunk = std::max<size_t>(options_.chunkBytes, 1);
  size_t offset = 0;
  while (sent.ok() && sent.value() == SendEnd::kSent &&
         offset < message.size()) {
    const size_t size = std::min(chunk, message.size() - offset);
    const std::array<char, 4> length = ChunkLength(size);
    sent = socket.Send({length.data(), length.size()}, request.deadline, true);
    if (sent.ok() && sent.value() == SendEnd::kSent) {
      sent = socket.Send(message.substr(offset, size), request.deadline, true);
      offset += size;
    }
  }
  if (sent.ok() && sent.value() == SendEnd::kSent) {
    const std::array<char, 4> end = ChunkLength(0);
    sent = socket.Send({end.data(), end.size()}, request.deadline, true);
  }
  if (!sent.ok()) return sent.failure();
  EngineReply<std::string> reply =
      socket.ReadReply(request.deadline, options_.replyLimit, '\0');
  if (!reply.ok()) return reply.failure();
  if (reply.value().empty()) {
    return EngineFailure{Engine::kClamd, FailureKind::kUnreachable,
                         "clamd at " + options_.endpoint.Text() +
                             " closed the connection without an answer after " +
                             std::to_string(offset) + " of " +
                             std::to_string(message.size()) + " bytes"};
  }
  return ParseClamdReply(reply.value());
}

}  // namespace vt::scanner
