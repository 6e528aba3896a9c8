// The header fields of an Internet message that become a mail note's items,
// read with GMime: addresses and subjects with their RFC 2047 encoded words
// decoded to UTF-8, the date as a time, and the trace fields counted for
// loop detection. Only the header section is parsed; the body is never
// looked at, so a 50 MB message costs what its headers cost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt::smtp {

struct HeaderFields {
  std::string from;  // "Name <address>", or the address alone
  std::vector<std::string> to;
  std::vector<std::string> cc;
  std::string subject;
  std::optional<int64_t> dateUnixSeconds;  // none when absent or unreadable
  std::string messageId;                   // "<...>", as the header gives it
  size_t receivedFields = 0;               // Received: trace fields
};

// The header section is everything up to the first empty line (or the
// whole message when there is none). Malformed fields are read as far as
// GMime can; what it cannot read stays empty.
HeaderFields ReadHeaderFields(std::string_view message);

}  // namespace vt::smtp
