// Failure texts and their one-line report.
#include "datadir/Outcome.h"

#include <array>
#include <cstdio>

#include "notes/FixedText.h"
#include "server/StatusTexts.h"

namespace vt::tool {

Outcome Outcome::Failure(std::string message, Kind kind) {
  Outcome outcome;
  outcome.failed_ = true;
  outcome.kind_ = kind;
  outcome.message_ = message.empty() ? "failed" : std::move(message);
  return outcome;
}

std::string StatusMessage(Status status) {
  std::array<char, 128> text{};
  const size_t length = WriteStatusText(status.value(), text);
  return std::string(text.data(), length);
}

Outcome StatusFailure(std::string_view what, Status status) {
  std::string message(what);
  message.append(": ");
  message.append(StatusMessage(status));
  return Outcome::Failure(std::move(message));
}

int ReportFailure(const Outcome& outcome) {
  // A path or value quoted in the message must not break the one line.
  std::string line = "vtserver: ";
  AppendOnOneLine(line, outcome.message());
  line.push_back('\n');
  std::fputs(line.c_str(), stderr);
  return 1;
}

}  // namespace vt::tool
