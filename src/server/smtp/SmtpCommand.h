// One SMTP command line (without its CRLF) read into what it asks for: the
// verb and, for MAIL, RCPT and XFORWARD, the path and the parameters
// (RFC 1870 SIZE, RFC 6152 BODY, RFC 6531 SMTPUTF8, RFC 3461 DSN, Postfix's
// XFORWARD). Input from the network is judged here and nowhere else; what
// is refused comes back as the very reply the session sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/smtp/SmtpAddress.h"
#include "server/smtp/SmtpReply.h"

namespace vt::smtp {

// RFC 5321 4.5.3.1.4: a command line is at most 512 octets with its CRLF.
inline constexpr size_t kMaxCommandLine = 512;

enum class Verb : unsigned char {
  kHelo,
  kEhlo,
  kLhlo,
  kMail,
  kRcpt,
  kData,
  kRset,
  kNoop,
  kQuit,
  kVrfy,
  kHelp,
  kXforward,
  kNotOffered,  // STARTTLS, AUTH, BDAT, EXPN, ETRN, TURN: known, not offered
  kUnknown,
};

struct CommandLine {
  Verb verb = Verb::kUnknown;
  std::string_view argument;  // after the verb, without surrounding blanks
};

// The verb is matched without regard to case and ends at a blank or at the
// end; "MAILFROM:" is no verb.
CommandLine SplitCommand(std::string_view line);

enum class Body : unsigned char { kUnspecified, k7Bit, k8BitMime };
enum class Ret : unsigned char { kUnspecified, kFull, kHdrs };

// RFC 3461: ENVID at most 100 and ORCPT at most 500 characters, as sent.
inline constexpr size_t kMaxEnvidLength = 100;
inline constexpr size_t kMaxOrcptLength = 500;

struct MailParams {
  std::optional<uint64_t> size;  // as declared; UINT64_MAX when it overflows
  Body body = Body::kUnspecified;
  bool smtpUtf8 = false;
  Ret ret = Ret::kUnspecified;
  std::optional<std::string> envid;  // decoded from xtext

  bool operator==(const MailParams&) const = default;
};

// NOTIFY's values as bits; none set means NOTIFY was not given.
enum NotifyBits : uint8_t {
  kNotifyNever = 1,
  kNotifySuccess = 2,
  kNotifyFailure = 4,
  kNotifyDelay = 8,
};

struct Orcpt {
  std::string type;     // "rfc822", "utf-8", ...
  std::string address;  // decoded from xtext

  bool operator==(const Orcpt&) const = default;
};

struct RcptParams {
  uint8_t notify = 0;
  std::optional<Orcpt> orcpt;

  bool operator==(const RcptParams&) const = default;
};

struct MailCommand {
  std::string reversePath;  // empty for the null path
  MailParams params;
};

struct RcptCommand {
  std::string forwardPath;
  RcptParams params;
};

// Postfix's XFORWARD attributes, in the order its EHLO keyword lists them.
enum class XforwardAttribute : unsigned char {
  kName,
  kAddr,
  kProto,
  kHelo,
  kSource,
  kPort,
  kIdent,
};
inline constexpr size_t kXforwardAttributes = 7;
inline constexpr std::array<std::string_view, kXforwardAttributes>
    kXforwardNames = {"NAME",   "ADDR", "PROTO", "HELO",
                      "SOURCE", "PORT", "IDENT"};
// An attribute value is at most 255 characters as sent (XFORWARD_README).
inline constexpr size_t kMaxXforwardValue = 255;

// What an up-stream MTA said about the client it took the mail from. A
// value is kept decoded; "[UNAVAILABLE]" (and, for NAME, "[TEMPUNAVAIL]")
// stay as they are, for the Received line and the next hop alike, and a
// NAME, ADDR, PORT or SOURCE that is none becomes "[UNAVAILABLE]".
struct Xforward {
  std::array<std::optional<std::string>, kXforwardAttributes> values;

  const std::optional<std::string>& operator[](XforwardAttribute a) const {
    return values[static_cast<size_t>(a)];
  }
  std::optional<std::string>& operator[](XforwardAttribute a) {
    return values[static_cast<size_t>(a)];
  }
  bool empty() const;
  bool operator==(const Xforward&) const = default;
};

// The reply that refuses a command, or nothing when it is good.
using Refusal = std::optional<Reply>;

// "FROM:<path> params": with a blank after the colon taken too, as some
// clients send it. An address with UTF-8 needs SMTPUTF8 among the params.
[[nodiscard]] Refusal ParseMail(std::string_view argument,
                                const PathLimits& limits, MailCommand* mail);
// "TO:<path> params"; utf8 when the transaction's MAIL gave SMTPUTF8.
[[nodiscard]] Refusal ParseRcpt(std::string_view argument, bool utf8,
                                const PathLimits& limits, RcptCommand* rcpt);
// "NAME=value ..." merged into *xforward only when every pair is good.
[[nodiscard]] Refusal ParseXforward(std::string_view argument,
                                    Xforward* xforward);

}  // namespace vt::smtp
