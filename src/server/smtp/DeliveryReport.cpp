// The report is built part by part, and only then is a boundary chosen that
// none of the parts holds, since the original message and the next hop's
// words are not ours to trust.
#include "server/smtp/DeliveryReport.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>

#include "server/smtp/SmtpAddress.h"

namespace vt::smtp {
namespace {

// RFC 5322 2.1.1: 998 octets a line at most, 78 where it can be helped.
constexpr size_t kMaxLine = 998;
constexpr size_t kFoldAt = 78;
// A hostile next hop may send a hundred long reply lines; a bounce carries
// enough of them to say why.
constexpr size_t kMaxDiagnostic = 1000;

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
}

// Controls (CR and LF among them) become blanks, so that no value can end
// its line and start a field of its own. UTF-8 is kept when it is well
// formed; other 8-bit octets become '?'.
std::string Clean(std::string_view text) {
  const bool utf8 = IsValidUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      out += ' ';
    } else if (u >= 0x80 && !utf8) {
      out += '?';
    } else {
      out += c;
    }
  }
  return out;
}

// A host name as it may stand in an address, a Message-ID and a "dns;"
// field: what a name or an address literal holds, nothing else.
std::string HostName(std::string_view text) {
  std::string out;
  for (const char c : Clean(text)) {
    const auto u = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' ||
        c == '[' || c == ']' || c == ':' || u >= 0x80) {
      out += c;
    }
  }
  return out.empty() ? "localhost" : out;
}

std::string AlphaNumeric(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c >= '0' && c <= '9')) {
      out += c;
    }
  }
  return out;
}

// RFC 6533: an address that is not ASCII is of type utf-8.
std::string_view AddressType(std::string_view address) {
  return IsAscii(address) ? "rfc822" : "utf-8";
}

// ORCPT's type as the client named it, an atom, unless the address says
// otherwise.
std::string OriginalType(const Orcpt& orcpt) {
  std::string type;
  for (const char c : orcpt.type) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        (c >= '0' && c <= '9') || c == '-') {
      type += c;
    }
  }
  if (!IsAscii(orcpt.address) || type.empty()) {
    return std::string(AddressType(orcpt.address));
  }
  return type;
}

void AppendTwoDigits(std::string* out, unsigned value) {
  *out += static_cast<char>('0' + value / 10 % 10);
  *out += static_cast<char>('0' + value % 10);
}

// RFC 5322's date-time in UTC: "Mon, 8 Dec 2025 13:20:00 +0000".
std::string FormatDate(int64_t unixSeconds) {
  using namespace std::chrono;
  static constexpr std::array<const char*, 7> kDays = {
      "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun",
      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const sys_seconds time{seconds{unixSeconds}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  std::string out = kDays[weekday{day}.c_encoding()];
  out += ", ";
  out += std::to_string(static_cast<unsigned>(date.day()));
  out += ' ';
  out += kMonths[static_cast<unsigned>(date.month()) - 1];
  out += ' ';
  out += std::to_string(static_cast<int>(date.year()));
  out += ' ';
  AppendTwoDigits(&out, static_cast<unsigned>(clock.hours().count()));
  out += ':';
  AppendTwoDigits(&out, static_cast<unsigned>(clock.minutes().count()));
  out += ':';
  AppendTwoDigits(&out, static_cast<unsigned>(clock.seconds().count()));
  out += " +0000";
  return out;
}

// Splits text into words that each begin at a blank followed by a non-blank
// (the first word at 0), so that a fold never leaves a line of blanks only.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t start = 0;
  for (size_t i = 1; i < text.size(); ++i) {
    if (text[i - 1] == ' ' && text[i] != ' ' && i - 1 > start) {
      words.push_back(text.substr(start, i - 1 - start));
      start = i - 1;
    }
  }
  if (start < text.size()) words.push_back(text.substr(start));
  return words;
}

// "Name: value", folded before blanks near kFoldAt. A word no line can hold
// is cut, a blank added where it is cut: only a hostile reply has one.
void AppendField(std::string* out, std::string_view name,
                 std::string_view value) {
  std::string line(name);
  line += ':';
  const std::string text = " " + Clean(value);
  for (std::string_view word : Words(text)) {
    if (line.size() + word.size() > kFoldAt && line.size() > name.size() + 1) {
      *out += line;
      *out += "\r\n";
      line.clear();
    }
    while (line.size() + word.size() > kMaxLine) {
      const size_t room = kMaxLine - line.size();
      line += word.substr(0, room);
      word.remove_prefix(room);
      *out += line;
      *out += "\r\n";
      line = " ";
    }
    line += word;
  }
  *out += line;
  *out += "\r\n";
}

// Running text in lines near width, for the part a person reads.
void AppendWrapped(std::string* out, std::string_view text, size_t width) {
  const std::string clean = Clean(text);
  std::string line;
  for (std::string_view word : Words(clean)) {
    if (!line.empty() && line.size() + word.size() > width) {
      *out += line;
      *out += "\r\n";
      line.clear();
      if (word.front() == ' ') word.remove_prefix(1);
    }
    while (line.size() + word.size() > kMaxLine) {
      const size_t room = kMaxLine - line.size();
      *out += line;
      *out += word.substr(0, room);
      *out += "\r\n";
      line.clear();
      word.remove_prefix(room);
    }
    line += word;
  }
  *out += line;
  *out += "\r\n";
}

// The original's lines as they are, each ended with CRLF. The listener
// takes no line over 1000 octets with its CRLF, but a line longer than a
// report may carry is cut rather than sent.
void AppendLines(std::string* out, std::string_view text) {
  while (!text.empty()) {
    const size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    do {
      const size_t n = std::min(line.size(), kMaxLine);
      *out += line.substr(0, n);
      *out += "\r\n";
      line.remove_prefix(n);
    } while (!line.empty());
  }
}

// Up to the empty line that ends the header section, or all of it.
std::string_view HeaderSection(std::string_view message) {
  size_t at = 0;
  while (at < message.size()) {
    if (message[at] == '\n' || message.substr(at, 2) == "\r\n") break;
    const size_t lf = message.find('\n', at);
    if (lf == std::string_view::npos) return message;
    at = lf + 1;
  }
  return message.substr(0, at);
}

bool WantsFailureReport(const RcptParams& params) {
  // RFC 3461 4.1: without NOTIFY, failures are reported.
  return params.notify == 0 || (params.notify & kNotifyFailure) != 0;
}

// The reply's own enhanced code when it has one of its class; else what
// RFC 3463 gives for the class alone, and "delivery time expired" when
// the lifetime ended without one.
std::string StatusOf(const FailedRecipient& r) {
  const std::string& e = r.reply.enhanced;
  if (IsEnhancedCode(e) && (e[0] == '4' || e[0] == '5') &&
      (r.reply.code == 0 || e[0] - '0' == r.reply.code / 100)) {
    return e;
  }
  if (r.afterLifetime) return "4.4.7";
  return r.reply.transient() ? "4.0.0" : "5.0.0";
}

// "550 5.1.1 text", as far as the reply has each.
std::string ReplyText(const Reply& reply) {
  std::string out;
  if (reply.code >= 200 && reply.code <= 599) out = std::to_string(reply.code);
  const std::string text = reply.text();
  for (const std::string_view part :
       {std::string_view(reply.enhanced), std::string_view(text)}) {
    if (part.empty()) continue;
    if (!out.empty()) out += ' ';
    out += part;
  }
  if (out.size() > kMaxDiagnostic) out.resize(kMaxDiagnostic);
  return out;
}

std::string Reason(const FailedRecipient& r) {
  std::string reason;
  if (r.afterLifetime) {
    reason = "the message's time in the queue ran out; the last attempt: ";
  }
  if (!r.remoteMta.empty()) {
    reason += "host " + HostName(r.remoteMta) + " said: ";
  }
  reason += ReplyText(r.reply);
  return reason;
}

std::string Notification(const ReportInput& input,
                         const std::vector<const FailedRecipient*>& failed,
                         bool full) {
  std::string text;
  AppendWrapped(
      &text, "This is the mail server at " + HostName(input.reportingMta) + ".",
      76);
  text += "\r\n";
  AppendWrapped(&text,
                "Your message could not be delivered to the recipients "
                "below. Each is followed by the reason.",
                76);
  for (const FailedRecipient* r : failed) {
    text += "\r\n";
    AppendWrapped(&text, "<" + r->address + ">: " + Reason(*r), 76);
  }
  text += "\r\n";
  AppendWrapped(&text,
                std::string(full ? "The message is attached"
                                 : "The header section of the message is "
                                   "attached") +
                    "; its queue ID here was " + AlphaNumeric(input.queueId) +
                    ".",
                76);
  return text;
}

std::string DeliveryStatus(const ReportInput& input,
                           const std::vector<const FailedRecipient*>& failed) {
  std::string fields;
  AppendField(&fields, "Reporting-MTA", "dns; " + HostName(input.reportingMta));
  if (input.mail.envid) {
    AppendField(&fields, "Original-Envelope-Id", *input.mail.envid);
  }
  AppendField(&fields, "Arrival-Date", FormatDate(input.arrivalUnixSeconds));
  for (const FailedRecipient* r : failed) {
    fields += "\r\n";
    if (const std::optional<Orcpt>& o = r->params.orcpt) {
      AppendField(&fields, "Original-Recipient",
                  OriginalType(*o) + "; " + o->address);
    }
    AppendField(&fields, "Final-Recipient",
                std::string(AddressType(r->address)) + "; " + r->address);
    AppendField(&fields, "Action", "failed");
    AppendField(&fields, "Status", StatusOf(*r));
    // Only a next hop's reply is an SMTP diagnostic; our own reasons are in
    // the notification and the status.
    if (!r->remoteMta.empty()) {
      AppendField(&fields, "Remote-MTA", "dns; " + HostName(r->remoteMta));
      if (r->reply.code >= 200 && r->reply.code <= 599) {
        AppendField(&fields, "Diagnostic-Code", "smtp; " + ReplyText(r->reply));
      }
    }
  }
  return fields;
}

std::string Part(std::string_view description, std::string_view type,
                 std::string_view content) {
  std::string part;
  AppendField(&part, "Content-Description", description);
  AppendField(&part, "Content-Type", type);
  if (!IsAscii(content)) {
    AppendField(&part, "Content-Transfer-Encoding", "8bit");
  }
  part += "\r\n";
  part += content;
  return part;
}

uint64_t Fnv1a(uint64_t hash, std::string_view text) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string Hex(uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return out;
}

}  // namespace

std::optional<DeliveryReport> FormatDeliveryReport(const ReportInput& input) {
  if (input.reversePath.empty()) return std::nullopt;
  std::vector<const FailedRecipient*> failed;
  for (const FailedRecipient& r : input.recipients) {
    if (WantsFailureReport(r.params)) failed.push_back(&r);
  }
  if (failed.empty()) return std::nullopt;

  // Without RET the headers go back alone: a bounce should not carry a
  // large message, or spam sent in a forged sender's name, to that sender.
  const bool full = input.mail.ret == Ret::kFull;
  std::string original;
  AppendLines(&original, full ? input.message : HeaderSection(input.message));
  const std::string status = DeliveryStatus(input, failed);
  const std::string text = Notification(input, failed, full);

  // RFC 6532 and 6533: UTF-8 in header fields or in the status fields calls
  // for the "global" types.
  const bool globalOriginal = !IsAscii(HeaderSection(input.message));
  std::string originalType;
  if (full) {
    originalType = globalOriginal ? "message/global" : "message/rfc822";
  } else {
    originalType =
        globalOriginal ? "message/global-headers" : "text/rfc822-headers";
  }
  const std::array<std::string, 3> parts = {
      Part("Notification",
           IsAscii(text) ? "text/plain; charset=us-ascii"
                         : "text/plain; charset=utf-8",
           text),
      Part("Delivery report",
           IsAscii(status) ? "message/delivery-status"
                           : "message/global-delivery-status",
           status),
      Part(full ? "Undelivered message" : "Undelivered message headers",
           originalType, original)};

  const std::string queueId = AlphaNumeric(input.queueId);
  std::string boundary;
  for (uint64_t n = 0;; ++n) {
    boundary = "=_" + queueId + "." + std::to_string(n);
    if (std::none_of(parts.begin(), parts.end(), [&](const std::string& p) {
          return p.find(boundary) != std::string::npos;
        })) {
      break;
    }
  }

  // One message may be reported on more than once (recipients refused at
  // different times or by different hops): the time and the recipients
  // make each report's ID its own.
  uint64_t hash =
      Fnv1a(1469598103934665603ULL, std::to_string(input.nowUnixSeconds));
  for (const FailedRecipient* r : failed) hash = Fnv1a(hash, r->address + '\n');
  const std::string host = HostName(input.reportingMta);

  DeliveryReport report;
  std::string& out = report.message;
  AppendField(&out, "From",
              "Mail Delivery System <MAILER-DAEMON@" + host + ">");
  AppendField(&out, "To", "<" + input.reversePath + ">");
  AppendField(&out, "Subject", "Undelivered Mail Returned to Sender");
  AppendField(&out, "Date", FormatDate(input.nowUnixSeconds));
  AppendField(&out, "Message-ID",
              "<" + queueId + "." + Hex(hash) + "@" + host + ">");
  // RFC 3834: no automatic reply to this one.
  AppendField(&out, "Auto-Submitted", "auto-replied");
  AppendField(&out, "MIME-Version", "1.0");
  AppendField(&out, "Content-Type",
              "multipart/report; report-type=delivery-status; boundary=\"" +
                  boundary + "\"");
  report.smtpUtf8 = !IsAscii(out);
  out += "\r\nThis is a MIME-encapsulated message.\r\n";
  for (const std::string& part : parts) {
    out += "\r\n--" + boundary + "\r\n";
    out += part;
  }
  out += "\r\n--" + boundary + "--\r\n";
  report.body = IsAscii(out) ? Body::k7Bit : Body::k8BitMime;
  return report;
}

}  // namespace vt::smtp
