// Parsing --listen and Host.
#include "web/ListenAddress.h"

#include <arpa/inet.h>

#include <algorithm>

#include "base/Ascii.h"
#include "web/Decimal.h"

namespace vt::tool {
namespace {

constexpr int kDefaultHttpPort = 80;

}  // namespace

Outcome ParseListen(const std::string& text, WebListen* listen) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return Outcome::Failure("--listen " + text + ": not ADDRESS:PORT");
  }
  std::string host = text.substr(0, colon);
  const std::string portText = text.substr(colon + 1);
  size_t port = 0;
  if (!ParseCount(portText, &port) || port > 65535) {
    return Outcome::Failure("--listen " + text + ": not a port: " + portText);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (EqualsIgnoreCase(host, "localhost")) host = "127.0.0.1";
  unsigned char address[16];
  if (inet_pton(AF_INET, host.c_str(), address) == 1) {
    listen->loopback = address[0] == 127;
  } else if (inet_pton(AF_INET6, host.c_str(), address) == 1) {
    static constexpr unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
    listen->loopback = std::equal(address, address + 16, kLoopback6);
  } else {
    return Outcome::Failure("--listen " + text +
                            ": not an IP address (nor localhost): " + host);
  }
  listen->host = host;
  listen->port = static_cast<int>(port);
  return Outcome();
}

bool IsOwnHost(std::string_view host, const WebListen& listen, int port) {
  // The name ends where its port begins: after the bracket of an IPv6
  // address, else at the only colon.
  size_t nameEnd = host.size();
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    nameEnd = close + 1;
  } else {
    nameEnd = std::min(host.find(':'), host.size());
  }
  const std::string_view name = host.substr(0, nameEnd);
  size_t named = kDefaultHttpPort;
  if (nameEnd < host.size()) {
    if (host[nameEnd] != ':' || !ParseCount(host.substr(nameEnd + 1), &named)) {
      return false;
    }
  }
  if (named != static_cast<size_t>(port)) return false;
  const std::string bracketed = "[" + listen.host + "]";
  return name == "127.0.0.1" || EqualsIgnoreCase(name, "localhost") ||
         name == "[::1]" || name == listen.host || name == bracketed;
}

}  // namespace vt::tool
