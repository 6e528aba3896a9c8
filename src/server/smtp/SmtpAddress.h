// The address syntax of RFC 5321 4.1.2 (with RFC 6531's UTF-8 for SMTPUTF8
// mail): the paths of MAIL and RCPT, domains and address literals, so that
// the commands, XFORWARD and the delivery side all judge an address alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vt::smtp {

// RFC 5321 4.5.3.1: local part 64, domain 255 and a whole path (brackets
// and source route included) 256 octets.
struct PathLimits {
  size_t localPart = 64;
  size_t domain = 255;
  size_t path = 256;
};

struct PathRules {
  bool nullPath = false;    // "<>", the reverse-path of a bounce
  bool postmaster = false;  // "<Postmaster>" without a domain (RCPT only)
  PathLimits limits;
};

enum class PathError : unsigned char { kNone, kSyntax, kTooLong };

struct ParsedPath {
  // local-part@domain as the client wrote it (a quoted local part stays
  // quoted, so it can be relayed as it came), without a source route; empty
  // for "<>".
  std::string address;
  // Octets of 0x80 and above (well-formed UTF-8): only for SMTPUTF8 mail.
  bool nonAscii = false;
  std::string_view rest;  // what follows the '>'
};

// Reads the path that opens text. A source route ("<@a,@b:user@host>") is
// checked and dropped, as RFC 5321 4.1.1.3 lets a server do.
PathError ParsePath(std::string_view text, const PathRules& rules,
                    ParsedPath* path);

// A domain of letter-digit-hyphen labels (and '_', which real domains carry
// although hostnames may not); with utf8, U-labels as well.
bool IsDomain(std::string_view text, bool utf8);
// "[1.2.3.4]", "[IPv6:...]" or a general address literal "[tag:content]".
bool IsAddressLiteral(std::string_view text);
bool IsIpv4Address(std::string_view text);
bool IsIpv6Address(std::string_view text);
bool IsValidUtf8(std::string_view text);

}  // namespace vt::smtp
