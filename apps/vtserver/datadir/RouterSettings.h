// The router's configuration as the router itself reads it: the same
// document, the same defaults and limits, through the router's own reader.
// Reading it here writes nothing to the server log; what the reader would
// have logged becomes the failure's text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct PerimeterSettings {
  char letter = 0;  // 'B', 'C' or 'D'
  // The current quarantine, as configured ('\' or '/'); on another server
  // "server!!path", as the router opens it (so are the boxes below).
  std::string path;
  std::string title;  // "Perimeter 'B'"
};

struct RouterSettings {
  std::vector<std::string> mailBoxes;
  std::vector<std::string> scanBoxes;
  std::array<PerimeterSettings, 3> perimeters;  // B, C, D
  uint64_t maxQuarantineBytes = 0;
  uint16_t processingMode = 0;  // 0 means disabled
  // Held mail is intercepted instead of mail marked for processing (the
  // router reads it at its start).
  bool alternateInterceptor = false;
};

Outcome ReadRouterSettings(LocalNotesServices& server,
                           RouterSettings* settings);

// The name a tool opens a configured database by: the path on this server
// (no server, "local" or this server's own name), else "server!!path", as
// the router builds it.
std::string ToolPath(LocalNotesServices& server, const char* configured,
                     const std::string& path);

// The perimeter of that letter (any case), or null.
const PerimeterSettings* FindPerimeter(const RouterSettings& settings,
                                       char letter);

}  // namespace vt::tool
