// Names and log lines of the engines' answers.
#include "scanner/EngineResult.h"

#include <array>
#include <charconv>

namespace vt::scanner {

std::string_view EngineName(Engine engine) {
  switch (engine) {
    case Engine::kRspamd:
      return "rspamd";
    case Engine::kSpamd:
      return "spamd";
    case Engine::kClamd:
      return "clamd";
  }
  return "engine";
}

std::string_view FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kUnreachable:
      return "unreachable";
    case FailureKind::kTimeout:
      return "timeout";
    case FailureKind::kProtocol:
      return "protocol error";
    case FailureKind::kTooLarge:
      return "too large";
    case FailureKind::kRefused:
      return "refused";
  }
  return "failure";
}

std::string OneLine(std::string_view text, size_t limit) {
  std::string line;
  line.reserve(text.size() < limit ? text.size() : limit);
  for (const char c : text) {
    if (line.size() >= limit) break;
    const auto u = static_cast<unsigned char>(c);
    line.push_back(u < 0x20 || u == 0x7F ? '?' : c);
  }
  return line;
}

std::string ScoreText(const std::optional<double>& score) {
  if (!score) return {};
  std::array<char, 32> text{};
  const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(),
                                       *score, std::chars_format::fixed, 2);
  return ec == std::errc() ? std::string(text.data(), end) : std::string();
}

std::string EngineFailure::LogLine() const {
  std::string line(EngineName(engine));
  line += ": ";
  line += text;
  return OneLine(line, 400);
}

}  // namespace vt::scanner
