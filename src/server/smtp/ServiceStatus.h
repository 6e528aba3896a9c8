// What the SMTP service says of itself on its status line, where `vtserver
// stats`, the web console and /metrics read it: the messages it took and
// refused, and what delivery did with what it sent, since the service
// started. One format, written here and read here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vt::smtp {

inline constexpr char kServiceStatusLineName[] = "VTServer SMTP";

struct ServiceCounts {
  uint64_t taken = 0;      // messages answered 2yz by the listener
  uint64_t refused = 0;    // messages answered 4yz or 5yz
  uint64_t delivered = 0;  // messages relayed to every recipient
  uint64_t deferred = 0;   // tries that left a recipient for later
  uint64_t dead = 0;
  uint64_t reports = 0;  // non-delivery reports written

  bool operator==(const ServiceCounts&) const = default;
};

// "Taken 5  refused 0  delivered 4  deferred 1  dead 0  reports 0"
std::string FormatServiceStatus(const ServiceCounts& counts);
// The counts of such a line; nullopt for any other text.
std::optional<ServiceCounts> ParseServiceStatus(std::string_view text);

}  // namespace vt::smtp
