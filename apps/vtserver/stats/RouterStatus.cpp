// Reading the router's status line.
#include "stats/RouterStatus.h"

#include <charconv>
#include <system_error>
#include <vector>

#include "databases/RouterItems.h"

namespace vt::tool {
namespace {

// Consumes literal from the front of text.
bool Take(std::string_view& text, std::string_view literal) {
  if (text.substr(0, literal.size()) != literal) return false;
  text.remove_prefix(literal.size());
  return true;
}

bool TakeNumber(std::string_view& text, int64_t* value) {
  const char* end = text.data() + text.size();
  const auto [next, ec] = std::from_chars(text.data(), end, *value);
  if (ec != std::errc() || next == text.data()) return false;
  text.remove_prefix(static_cast<size_t>(next - text.data()));
  return true;
}

}  // namespace

const char* RouterStateName(RouterState state) {
  switch (state) {
    case RouterState::kRunning:
      return "running";
    case RouterState::kPaused:
      return "paused";
    case RouterState::kStopped:
      break;
  }
  return "stopped";
}

RouterStatus ParseRouterStatusText(std::string_view text) {
  RouterStatus status;
  status.text = std::string(text);
  if (text == kPausedStatus) {
    status.state = RouterState::kPaused;
    return status;
  }
  status.state = RouterState::kRunning;
  // "v%s - Mail: %ld  Spam-D: %ld  Spam-C: %ld  Spam-B: %ld", written after
  // every pass; the version may hold blanks ("(version unavailable)").
  const size_t dash = text.rfind(" - Mail: ");
  if (text.empty() || text.front() != 'v' || dash == std::string_view::npos) {
    return status;
  }
  std::string_view rest = text.substr(dash);
  RouterTotals totals;
  if (Take(rest, " - Mail: ") && TakeNumber(rest, &totals.mail) &&
      Take(rest, "  Spam-D: ") && TakeNumber(rest, &totals.spamD) &&
      Take(rest, "  Spam-C: ") && TakeNumber(rest, &totals.spamC) &&
      Take(rest, "  Spam-B: ") && TakeNumber(rest, &totals.spamB) &&
      rest.empty()) {
    status.version = std::string(text.substr(1, dash - 1));
    status.totals = totals;
  }
  return status;
}

std::optional<RouterTotals> ParseMovedText(std::string_view text) {
  // kMovedLineFormat, piece by piece.
  RouterTotals moved;
  if (Take(text, "Since start - mail ") && TakeNumber(text, &moved.mail) &&
      Take(text, "  spam-D ") && TakeNumber(text, &moved.spamD) &&
      Take(text, "  spam-C ") && TakeNumber(text, &moved.spamC) &&
      Take(text, "  spam-B ") && TakeNumber(text, &moved.spamB) &&
      text.empty()) {
    return moved;
  }
  return std::nullopt;
}

RouterStatus ReadRouterStatus(const ServerAdmin& server) {
  const std::vector<ServerAdmin::TaskLine> lines = server.ReadTaskLines();
  RouterStatus status;
  for (const ServerAdmin::TaskLine& line : lines) {
    if (line.running && line.name == kStatusLineName) {
      status = ParseRouterStatusText(line.text);
      break;
    }
  }
  // A moved line without a main line is a router on its way out.
  if (status.state == RouterState::kStopped) return status;
  for (const ServerAdmin::TaskLine& line : lines) {
    if (line.running && line.name == kMovedLineName) {
      status.moved = ParseMovedText(line.text);
      break;
    }
  }
  return status;
}

}  // namespace vt::tool
