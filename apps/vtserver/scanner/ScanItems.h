// The evidence the scanner saves into a message beside its verdict, as plain
// name and value pairs (the scanner turns them into text and text-list
// items). One value per engine in VTScanEngine's order where an item is per
// engine:
//   VTScanEngine        "rspamd", "spamd", "clamd"
//   VTScanScore         "15.00" ("" for clamd, which has no score)
//   VTScanRequired      the score that counts as spam ("" for clamd)
//   VTScanAction        "reject", "spam", "no action", "virus", "clean" ...
//   VTScanSymbols       "rspamd:GTUBE(0.00)", "spamd:GTUBE", "clamd:NAME":
//                       at most 200 entries of at most 120 bytes each
//   VTScanVirus         what clamd found (only when it found something)
//   VTScanTime          when the scan ended, UTC: "2026-12-09T18:02:37Z"
//   VTScanMillis        how long the scan took, in milliseconds
//   VTScanGivenUp       why a verdict was given without the engines
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "scanner/EngineResult.h"

namespace vt::scanner {

inline constexpr char kItemScanEngine[] = "VTScanEngine";
inline constexpr char kItemScanScore[] = "VTScanScore";
inline constexpr char kItemScanRequired[] = "VTScanRequired";
inline constexpr char kItemScanAction[] = "VTScanAction";
inline constexpr char kItemScanSymbols[] = "VTScanSymbols";
inline constexpr char kItemScanVirus[] = "VTScanVirus";
inline constexpr char kItemScanTime[] = "VTScanTime";
inline constexpr char kItemScanMillis[] = "VTScanMillis";
// Why the scanner decided without the engines (too large, failing).
inline constexpr char kItemScanGivenUp[] = "VTScanGivenUp";

struct ScanItem {
  std::string name;
  std::vector<std::string> values;
  bool list = false;  // a text list; otherwise one text value
};

struct ScanTiming {
  std::chrono::system_clock::time_point finished;
  std::chrono::milliseconds took{0};
};

std::vector<ScanItem> ScanItems(const std::vector<EngineResult>& results,
                                const ScanTiming& timing);

}  // namespace vt::scanner
