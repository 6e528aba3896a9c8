// What the delivery client says to the next hop: the features its EHLO
// reply announces, and MAIL, RCPT and XFORWARD written from an envelope the
// listener took, with only the parameters that hop announced, so that size,
// body type, DSN requests and the original client pass on unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/smtp/SmtpCommand.h"
#include "server/smtp/SmtpReply.h"

namespace vt::smtp {

struct ServerFeatures {
  bool pipelining = false;
  bool size = false;
  uint64_t maxSize = 0;  // 0 when SIZE came without a limit
  bool eightBitMime = false;
  bool smtpUtf8 = false;
  bool enhancedStatusCodes = false;
  bool dsn = false;
  std::array<bool, kXforwardAttributes> xforward{};  // the attributes taken
};

// The keywords of a 250 reply to EHLO or LHLO (the lines after the first).
ServerFeatures ParseEhloReply(const Reply& reply);

// "MAIL FROM:<path> SIZE=... BODY=... SMTPUTF8 RET=... ENVID=...\r\n". A
// parameter whose extension the server did not announce is left out; the
// caller decides beforehand whether the message may go without it (8-bit
// data without 8BITMIME, UTF-8 addresses without SMTPUTF8).
std::string FormatMailFrom(std::string_view reversePath,
                           const MailParams& params,
                           const ServerFeatures& features);
// "RCPT TO:<path> NOTIFY=... ORCPT=type;xtext\r\n"; utf8 when the
// transaction is SMTPUTF8 (an original recipient may then keep its UTF-8).
std::string FormatRcptTo(std::string_view forwardPath, const RcptParams& params,
                         const ServerFeatures& features, bool utf8);
// XFORWARD commands for the attributes the server takes, as few as fit in
// 512-octet lines; empty when there are none. An attribute whose value
// would pass 255 characters as sent is left out.
std::string FormatXforward(const Xforward& xforward,
                           const ServerFeatures& features);

}  // namespace vt::smtp
