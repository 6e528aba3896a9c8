// Path, domain and address-literal syntax.
#include "server/smtp/SmtpAddress.h"

#include <arpa/inet.h>

#include <cstring>

#include "base/Ascii.h"

namespace vt::smtp {
namespace {

// The octet at i, or NUL past the end: NUL matches no rule below, so the
// scanners need no bounds test of their own.
unsigned char At(std::string_view s, size_t i) {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

// RFC 5322's atext; every octet of a UTF-8 sequence counts (RFC 6531), and
// whether the whole is well-formed UTF-8 is checked once at the end.
bool IsAtext(unsigned char c) {
  return IsAlnum(c) || c >= 0x80 ||
         (c != 0 && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

bool IsQtext(unsigned char c) {
  return c == 32 || c == 33 || (c >= 35 && c <= 91) || (c >= 93 && c <= 126) ||
         c >= 0x80;
}

bool IsLabelChar(unsigned char c, bool utf8) {
  return IsAlnum(c) || c == '-' || c == '_' || (utf8 && c >= 0x80);
}

// The end of the domain that starts at i, or i when none does.
size_t ScanDomain(std::string_view s, size_t i, bool utf8) {
  const size_t start = i;
  for (;;) {
    const size_t label = i;
    while (IsLabelChar(At(s, i), utf8)) ++i;
    if (i == label || s[label] == '-' || s[i - 1] == '-') return start;
    if (At(s, i) != '.' || !IsLabelChar(At(s, i + 1), utf8)) return i;
    ++i;
  }
}

// The end of the dot-string or quoted string that starts at i, or i.
size_t ScanLocalPart(std::string_view s, size_t i) {
  const size_t start = i;
  if (At(s, i) == '"') {
    ++i;
    for (;;) {
      const unsigned char c = At(s, i);
      if (c == '"') return i + 1;
      if (c == '\\') {
        const unsigned char quoted = At(s, i + 1);
        if (quoted < 32 || quoted == 127) return start;
        i += 2;
      } else if (IsQtext(c)) {
        ++i;
      } else {
        return start;
      }
    }
  }
  for (;;) {
    const size_t atom = i;
    while (IsAtext(At(s, i))) ++i;
    if (i == atom) return start;
    if (At(s, i) != '.') return i;
    ++i;
  }
}

bool IsGeneralLiteral(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon + 1 >= text.size())
    return false;
  // Standardized-tag is an Ldh-str: it cannot end in a hyphen.
  for (size_t i = 0; i < colon; ++i) {
    if (!IsAlnum(At(text, i)) && text[i] != '-') return false;
  }
  if (text[colon - 1] == '-') return false;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    const unsigned char c = At(text, i);
    if (c < 33 || c > 126 || c == '[' || c == '\\' || c == ']') return false;
  }
  return true;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = At(text, i);
    size_t more = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the next octet
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      if (c == 0xE0) low = 0xA0;   // no overlong forms
      if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      return false;
    }
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char next = At(text, i + k);
      if (next < low || next > high) return false;
      low = 0x80;
      high = 0xBF;
    }
    i += more + 1;
  }
  return true;
}

bool IsDomain(std::string_view text, bool utf8) {
  return !text.empty() && ScanDomain(text, 0, utf8) == text.size() &&
         (!utf8 || IsValidUtf8(text));
}

bool IsIpv4Address(std::string_view text) {
  size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (At(text, i) != '.') return false;
      ++i;
    }
    int value = 0;
    const size_t start = i;
    while (At(text, i) >= '0' && At(text, i) <= '9' && i - start < 3) {
      value = value * 10 + (text[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
  }
  return i == text.size();
}

bool IsIpv6Address(std::string_view text) {
  // inet_pton knows every compressed and IPv4-tailed form; it wants a
  // terminated string, and no IPv6 address is longer than 45 characters.
  char buffer[46];
  if (text.empty() || text.size() >= sizeof buffer ||
      text.find('\0') != std::string_view::npos) {
    return false;
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  unsigned char address[16];
  return ::inet_pton(AF_INET6, buffer, address) == 1;
}

bool IsAddressLiteral(std::string_view text) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') {
    return false;
  }
  const std::string_view inner = text.substr(1, text.size() - 2);
  if (IsIpv4Address(inner)) return true;
  if (inner.size() > 5 && EqualsIgnoreCase(inner.substr(0, 5), "IPv6:")) {
    return IsIpv6Address(inner.substr(5));
  }
  return IsGeneralLiteral(inner);
}

PathError ParsePath(std::string_view text, const PathRules& rules,
                    ParsedPath* path) {
  path->address.clear();
  path->nonAscii = false;
  path->rest = {};
  if (At(text, 0) != '<') return PathError::kSyntax;
  size_t i = 1;
  if (At(text, i) == '>') {
    if (!rules.nullPath) return PathError::kSyntax;
    path->rest = text.substr(2);
    return PathError::kNone;
  }
  if (At(text, i) == '@') {
    for (;;) {
      const size_t end = ScanDomain(text, i + 1, true);
      if (end == i + 1) return PathError::kSyntax;
      i = end;
      if (At(text, i) == ':') break;
      if (At(text, i) != ',' || At(text, i + 1) != '@') {
        return PathError::kSyntax;
      }
      ++i;
    }
    ++i;
  }
  const size_t localStart = i;
  i = ScanLocalPart(text, i);
  if (i == localStart) return PathError::kSyntax;
  const std::string_view local = text.substr(localStart, i - localStart);
  std::string_view domain;
  if (At(text, i) == '@') {
    const size_t domainStart = ++i;
    if (At(text, i) == '[') {
      const size_t close = text.find(']', i);
      if (close == std::string_view::npos ||
          !IsAddressLiteral(text.substr(i, close + 1 - i))) {
        return PathError::kSyntax;
      }
      i = close + 1;
    } else {
      i = ScanDomain(text, i, true);
      if (i == domainStart) return PathError::kSyntax;
    }
    domain = text.substr(domainStart, i - domainStart);
  } else if (!rules.postmaster || !EqualsIgnoreCase(local, "postmaster")) {
    return PathError::kSyntax;
  }
  if (At(text, i) != '>') return PathError::kSyntax;
  ++i;
  const std::string_view whole = text.substr(0, i);
  for (const char c : whole) {
    if (static_cast<unsigned char>(c) >= 0x80) path->nonAscii = true;
  }
  if (path->nonAscii && !IsValidUtf8(whole)) return PathError::kSyntax;
  if (whole.size() > rules.limits.path ||
      local.size() > rules.limits.localPart ||
      domain.size() > rules.limits.domain) {
    return PathError::kTooLong;
  }
  path->address.assign(text.substr(localStart, i - 1 - localStart));
  path->rest = text.substr(i);
  return PathError::kNone;
}

}  // namespace vt::smtp
