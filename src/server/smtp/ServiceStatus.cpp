// The status line's text both ways.
#include "server/smtp/ServiceStatus.h"

#include <array>
#include <cinttypes>
#include <cstdio>

namespace vt::smtp {
namespace {

constexpr char kFormat[] =
    "Taken %" PRIu64 "  refused %" PRIu64 "  delivered %" PRIu64
    "  deferred %" PRIu64 "  dead %" PRIu64 "  reports %" PRIu64;
constexpr char kScan[] =
    "Taken %" SCNu64 "  refused %" SCNu64 "  delivered %" SCNu64
    "  deferred %" SCNu64 "  dead %" SCNu64 "  reports %" SCNu64 "%n";

}  // namespace

std::string FormatServiceStatus(const ServiceCounts& c) {
  char text[256];
  std::snprintf(text, sizeof text, kFormat, c.taken, c.refused, c.delivered,
                c.deferred, c.dead, c.reports);
  return text;
}

std::optional<ServiceCounts> ParseServiceStatus(std::string_view text) {
  ServiceCounts c;
  int end = 0;
  const std::string copy(text);
  if (std::sscanf(copy.c_str(), kScan, &c.taken, &c.refused, &c.delivered,
                  &c.deferred, &c.dead, &c.reports, &end) != 6 ||
      static_cast<size_t>(end) != copy.size()) {
    return std::nullopt;
  }
  // What is read is written again the same, or it was not this line.
  if (FormatServiceStatus(c) != copy) return std::nullopt;
  return c;
}

}  // namespace vt::smtp
