// Addresses the console deals in: the one it listens on (--listen), and
// the host a request names (its Host header), which decides whether a
// request without an access token is for this console at all.
#pragma once

#include <string>
#include <string_view>

#include "datadir/Outcome.h"

namespace vt::tool {

struct WebListen {
  std::string host;  // an IP address, without brackets
  int port = 0;      // 0: any free port
  bool loopback = false;
};

// "127.0.0.1:8080", "[::1]:8080", "localhost:8080" or "0.0.0.0:8080".
Outcome ParseListen(const std::string& text, WebListen* listen);

// Whether a Host header names this console listening at listen on port:
// a loopback name (127.0.0.1, localhost, [::1]) or the listening address,
// with the listening port, or without a port when that is HTTP's default
// (80). A page of another site whose name resolves to 127.0.0.1 still
// sends its own name, and is refused.
bool IsOwnHost(std::string_view host, const WebListen& listen, int port);

}  // namespace vt::tool
