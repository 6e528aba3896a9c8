// What the scanner service says of itself on its status line, where `vtserver
// stats`, the web console and /metrics read it: the verdicts it gave by
// route since it started, the messages waiting for one, the engines' failed
// answers, the messages given a verdict without the engines, and which
// engines are down now. One format, written here and read here:
//
//   "Verdicts M 7 B 1 C 1 D 0  waiting 2  engine failures 3  given up 0
//    down spamd,clamd"      (one line; "down -" when every engine answers)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt::scanner {

inline constexpr char kScannerStatusLineName[] = "VTServer Scanner";

struct ScannerCounts {
  std::array<uint64_t, 4> verdicts{};  // by route: M, B, C, D
  uint64_t waiting = 0;   // messages without a verdict at the last look
  uint64_t failures = 0;  // engine answers that were failures
  uint64_t givenUp = 0;   // verdicts given after repeated failures or size
  std::vector<std::string> down;  // engines failing now, by name

  bool operator==(const ScannerCounts&) const = default;
};

std::string FormatScannerStatus(const ScannerCounts& counts);
// The counts of such a line; nullopt for any other text.
std::optional<ScannerCounts> ParseScannerStatus(std::string_view text);

}  // namespace vt::scanner
