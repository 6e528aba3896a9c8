// The non-delivery report the mail server sends to a message's envelope
// sender when recipients are refused for good or the message outlives its
// lifetime: RFC 6522's multipart/report with RFC 3464's delivery-status,
// honouring the DSN requests of RFC 3461 the client made (NOTIFY, RET,
// ENVID, ORCPT). Formatting only; delivery sends what comes back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/smtp/SmtpCommand.h"
#include "server/smtp/SmtpReply.h"

namespace vt::smtp {

struct FailedRecipient {
  std::string address;  // the forward path as it was tried
  RcptParams params;    // NOTIFY and ORCPT as the client gave them
  // The next hop's reply, or our own when no hop answered (a lifetime past
  // without a connection, a local refusal).
  Reply reply;
  std::string remoteMta;  // the next hop's host name; empty when it was ours
  // The lifetime ran out: reply is then the last try's 4xx, and the
  // recipient still counts as failed.
  bool afterLifetime = false;
};

struct ReportInput {
  std::string reportingMta;  // our host name
  std::string reversePath;   // the original envelope sender, empty for <>
  MailParams mail;           // RET and ENVID of the original MAIL
  std::string_view message;  // the original message, CRLF lines
  int64_t arrivalUnixSeconds = 0;
  int64_t nowUnixSeconds = 0;
  std::string queueId;  // our ID of the message (32 hex digits)
  std::vector<FailedRecipient> recipients;
};

struct DeliveryReport {
  std::string message;  // CRLF lines of at most 998 octets
  // What the MAIL that sends it must declare: BODY=8BITMIME when any octet
  // is 8-bit (a returned 8-bit message, UTF-8 addresses), SMTPUTF8 when its
  // own header section carries UTF-8 (a UTF-8 envelope sender).
  Body body = Body::k7Bit;
  bool smtpUtf8 = false;
};

// The report for the recipients whose NOTIFY asks for failures or says
// nothing; nothing when none is left or the reverse path is empty (a bounce
// is never bounced). Text from the envelope and the next hop cannot add
// header lines: controls become blanks before anything is written.
std::optional<DeliveryReport> FormatDeliveryReport(const ReportInput& input);

}  // namespace vt::smtp
