// RFC 3461's xtext, in which DSN parameters (ENVID, ORCPT) and XFORWARD
// values travel: printable ASCII but '+' and '=', any other octet as "+XX".
// The listener decodes what the client sent; the delivery client encodes it
// again for the next hop, so a value passes on unchanged.
#pragma once

#include <string>
#include <string_view>

namespace vt::smtp {

// Decodes text into *out. False for a character xtext does not have (a
// control, a blank, '=', a '+' without two hex digits); with utf8, octets of
// 0x80 and above pass as they are (RFC 6533's unitext, for SMTPUTF8 mail).
// Lower-case hex digits are taken although RFC 3461 writes upper case.
bool XtextDecode(std::string_view text, bool utf8, std::string* out);

// Encodes text; with keepUtf8, octets of 0x80 and above stay as they are.
std::string XtextEncode(std::string_view text, bool keepUtf8 = false);

}  // namespace vt::smtp
