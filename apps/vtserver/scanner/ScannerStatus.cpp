// The status line is read back by parsing and writing again: what does not
// come out the same was not this line.
#include "scanner/ScannerStatus.h"

#include <cinttypes>
#include <cstdio>

namespace vt::scanner {
namespace {

constexpr char kFormat[] =
    "Verdicts M %" PRIu64 " B %" PRIu64 " C %" PRIu64 " D %" PRIu64
    "  waiting %" PRIu64 "  engine failures %" PRIu64 "  given up %" PRIu64
    "  down ";
constexpr char kScan[] =
    "Verdicts M %" SCNu64 " B %" SCNu64 " C %" SCNu64 " D %" SCNu64
    "  waiting %" SCNu64 "  engine failures %" SCNu64 "  given up %" SCNu64
    "  down %n";

}  // namespace

std::string FormatScannerStatus(const ScannerCounts& c) {
  char text[256];
  std::snprintf(text, sizeof text, kFormat, c.verdicts[0], c.verdicts[1],
                c.verdicts[2], c.verdicts[3], c.waiting, c.failures, c.givenUp);
  std::string line = text;
  if (c.down.empty()) return line + "-";
  for (size_t i = 0; i < c.down.size(); ++i) {
    if (i > 0) line += ",";
    line += c.down[i];
  }
  return line;
}

std::optional<ScannerCounts> ParseScannerStatus(std::string_view text) {
  ScannerCounts c;
  int end = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), kScan, &c.verdicts[0], &c.verdicts[1],
                  &c.verdicts[2], &c.verdicts[3], &c.waiting, &c.failures,
                  &c.givenUp, &end) != 7 ||
      end <= 0) {
    return std::nullopt;
  }
  std::string_view rest = std::string_view(copy).substr(end);
  if (rest != "-") {
    while (!rest.empty()) {
      const size_t comma = rest.find(',');
      c.down.emplace_back(rest.substr(0, comma));
      rest.remove_prefix(comma == std::string_view::npos ? rest.size()
                                                         : comma + 1);
    }
  }
  if (FormatScannerStatus(c) != copy) return std::nullopt;
  return c;
}

}  // namespace vt::scanner
