// Messages per minute by route over the last hours, for the chart on the web
// console's overview page. The router says after each pass how many messages
// it moved where ("VTRouter: Moved 3 messages to mail.box"), so the server
// log already holds the history and nothing else has to keep it.
//
// The console asks every few seconds while the log may be hundreds of MB, so
// the log is read backwards from its end and only as far as the window goes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace vt::tool {

struct FlowHistory {
  // The routes in the order of counts' columns.
  enum Route : size_t {
    kMail,         // delivered to a mail box
    kQuarantineB,  // moved to quarantine perimeter B
    kQuarantineC,
    kQuarantineD,
    kScan,  // intercepted into the scan box
    kRoutes
  };

  int64_t start = 0;  // Unix seconds of the first minute, a multiple of 60
  int minutes = 0;
  // One row per minute, oldest first; the last is the minute that holds now.
  std::vector<std::array<uint64_t, kRoutes>> counts;
  uint64_t linesRead = 0;  // how far back the log was read, in lines
  bool logFound = false;   // the log (or its rotated predecessor) was read
};

// The series' names for JSON: "mail", "B", "C", "D" and "scan".
constexpr std::string_view FlowRouteName(FlowHistory::Route route) {
  constexpr std::array<std::string_view, FlowHistory::kRoutes> kNames = {
      "mail", "B", "C", "D", "scan"};
  return route < kNames.size() ? kNames[route] : std::string_view();
}

// The messages moved in the `minutes` whole minutes (at most a week) that end
// with the minute holding nowUnixSeconds, from logFile (the server log) and,
// when the window reaches back before its first line, logFile + ".1", which
// logrotate leaves beside it. A log that is missing or cannot be read gives
// empty counts, never an exception.
FlowHistory ReadFlowHistory(const std::filesystem::path& logFile,
                            int64_t nowUnixSeconds, int minutes);

}  // namespace vt::tool
