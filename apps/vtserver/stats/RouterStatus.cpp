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

// The four counts of a status text, each after its label, in the order both
// of the router's lines give them (mail, D, C, B), and nothing after them.
bool TakeCounts(std::string_view text, const std::string_view (&labels)[4],
                RouterTotals* totals) {
  int64_t* const counts[] = {&totals->mail, &totals->spamD, &totals->spamC,
                             &totals->spamB};
  for (size_t i = 0; i < 4; ++i) {
    if (!Take(text, labels[i]) || !TakeNumber(text, counts[i])) return false;
  }
  return text.empty();
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
  RouterTotals totals;
  if (TakeCounts(text.substr(dash),
                 {" - Mail: ", "  Spam-D: ", "  Spam-C: ", "  Spam-B: "},
                 &totals)) {
    status.version = std::string(text.substr(1, dash - 1));
    status.totals = totals;
  }
  return status;
}

std::optional<RouterTotals> ParseMovedText(std::string_view text) {
  // kMovedLineFormat, piece by piece.
  RouterTotals moved;
  if (TakeCounts(text,
                 {"Since start - mail ", "  spam-D ", "  spam-C ", "  spam-B "},
                 &moved)) {
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
