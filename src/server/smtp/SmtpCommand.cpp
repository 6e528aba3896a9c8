// Command lines: verbs, MAIL and RCPT paths and parameters, XFORWARD.
#include "server/smtp/SmtpCommand.h"

#include <algorithm>
#include <utility>

#include "base/Ascii.h"
#include "server/smtp/Xtext.h"

namespace vt::smtp {
namespace {

struct VerbName {
  std::string_view name;
  Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"HELO", Verb::kHelo},           {"EHLO", Verb::kEhlo},
    {"LHLO", Verb::kLhlo},           {"MAIL", Verb::kMail},
    {"RCPT", Verb::kRcpt},           {"DATA", Verb::kData},
    {"RSET", Verb::kRset},           {"NOOP", Verb::kNoop},
    {"QUIT", Verb::kQuit},           {"VRFY", Verb::kVrfy},
    {"HELP", Verb::kHelp},           {"XFORWARD", Verb::kXforward},
    {"STARTTLS", Verb::kNotOffered}, {"AUTH", Verb::kNotOffered},
    {"BDAT", Verb::kNotOffered},     {"EXPN", Verb::kNotOffered},
    {"ETRN", Verb::kNotOffered},     {"TURN", Verb::kNotOffered},
};

Reply SyntaxError(std::string_view text) { return Reply(501, "5.5.4", text); }

bool IsKeywordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '-';
}

bool IsPrintable(std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// A name the client sent, fit to stand in a reply: it was checked to be a
// keyword, and it is cut so that the reply keeps within its line.
std::string_view Echo(std::string_view keyword) {
  return keyword.substr(0, 64);
}

bool AllDigits(std::string_view text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The "FROM:" or "TO:" that opens the argument, and the path after it.
bool TakePrefix(std::string_view* argument, std::string_view prefix) {
  if (argument->size() < prefix.size() ||
      !EqualsIgnoreCase(argument->substr(0, prefix.size()), prefix)) {
    return false;
  }
  argument->remove_prefix(prefix.size());
  while (!argument->empty() && argument->front() == ' ') {
    argument->remove_prefix(1);
  }
  return true;
}

// RFC 5321's esmtp-param list after a path: " keyword[=value]" each, the
// value printable ASCII but '=' (and UTF-8 for SMTPUTF8 mail). take() is
// called for each and may refuse it.
template <typename Take>
Refusal ForEachParam(std::string_view rest, bool utf8, Take take) {
  if (!rest.empty() && rest.front() != ' ') {
    return SyntaxError("Syntax error in parameters");
  }
  while (!rest.empty()) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (rest.empty()) break;
    const size_t end = std::min(rest.find(' '), rest.size());
    const std::string_view param = rest.substr(0, end);
    rest.remove_prefix(end);
    const size_t equals = param.find('=');
    const std::string_view keyword = param.substr(0, equals);
    std::optional<std::string_view> value;
    if (equals != std::string_view::npos) value = param.substr(equals + 1);
    bool good = !keyword.empty() && keyword.front() != '-';
    for (const char c : keyword) good = good && IsKeywordChar(c);
    if (value) {
      good = good && !value->empty();
      for (const char c : *value) {
        const auto u = static_cast<unsigned char>(c);
        good = good && u != '=' && (u >= 0x80 ? utf8 : u >= 33 && u <= 126);
      }
    }
    if (!good) return SyntaxError("Syntax error in parameters");
    if (Refusal refused = take(keyword, value)) return refused;
  }
  return std::nullopt;
}

Refusal Duplicate(std::string_view keyword) {
  return SyntaxError("Duplicate " + std::string(Echo(keyword)) + " parameter");
}

Refusal BadValue(std::string_view keyword) {
  return SyntaxError("Bad " + std::string(Echo(keyword)) + " parameter");
}

Refusal Unsupported(std::string_view keyword) {
  return Reply(555, "5.5.4",
               "Unsupported parameter: " + std::string(Echo(keyword)));
}

Refusal PathRefusal(PathError error, bool sender) {
  const char* enhanced = sender ? "5.1.7" : "5.1.3";
  if (error == PathError::kTooLong) {
    return Reply(501, enhanced, "Path too long");
  }
  return Reply(
      501, enhanced,
      sender ? "Bad sender address syntax" : "Bad recipient address syntax");
}

Refusal NonAsciiRefusal() {
  return Reply(553, "5.6.7", "Non-ASCII address without SMTPUTF8");
}

// BODY and RET: one of two words, given once.
template <typename Choice>
Refusal TakeChoice(std::string_view keyword,
                   std::optional<std::string_view> value,
                   std::array<std::string_view, 2> words,
                   std::array<Choice, 2> choices, Choice* taken) {
  if (*taken != Choice::kUnspecified) return Duplicate(keyword);
  for (size_t i = 0; i < words.size(); ++i) {
    if (value && EqualsIgnoreCase(*value, words[i])) {
      *taken = choices[i];
      return std::nullopt;
    }
  }
  return BadValue(keyword);
}

Refusal TakeMailParam(std::string_view keyword,
                      std::optional<std::string_view> value, MailParams* params,
                      bool* seenUtf8) {
  if (EqualsIgnoreCase(keyword, "SIZE")) {
    if (params->size) return Duplicate(keyword);
    if (!value || !AllDigits(*value, 20)) return BadValue(keyword);
    uint64_t size = 0;
    for (const char c : *value) {
      const uint64_t digit = static_cast<uint64_t>(c - '0');
      size = size > (UINT64_MAX - digit) / 10 ? UINT64_MAX : size * 10 + digit;
    }
    params->size = size;
  } else if (EqualsIgnoreCase(keyword, "BODY")) {
    return TakeChoice(keyword, value, {"7BIT", "8BITMIME"},
                      {Body::k7Bit, Body::k8BitMime}, &params->body);
  } else if (EqualsIgnoreCase(keyword, "SMTPUTF8")) {
    if (*seenUtf8) return Duplicate(keyword);
    *seenUtf8 = true;
    if (value) return BadValue(keyword);
    params->smtpUtf8 = true;
  } else if (EqualsIgnoreCase(keyword, "RET")) {
    return TakeChoice(keyword, value, {"FULL", "HDRS"},
                      {Ret::kFull, Ret::kHdrs}, &params->ret);
  } else if (EqualsIgnoreCase(keyword, "ENVID")) {
    if (params->envid) return Duplicate(keyword);
    std::string envid;
    if (!value || value->size() > kMaxEnvidLength ||
        !XtextDecode(*value, false, &envid) || !IsPrintable(envid)) {
      return BadValue(keyword);
    }
    params->envid = std::move(envid);
  } else {
    return Unsupported(keyword);
  }
  return std::nullopt;
}

bool ParseNotify(std::string_view value, uint8_t* notify) {
  uint8_t bits = 0;
  for (;;) {
    const size_t comma = std::min(value.find(','), value.size());
    const std::string_view item = value.substr(0, comma);
    if (EqualsIgnoreCase(item, "NEVER")) {
      bits |= kNotifyNever;
    } else if (EqualsIgnoreCase(item, "SUCCESS")) {
      bits |= kNotifySuccess;
    } else if (EqualsIgnoreCase(item, "FAILURE")) {
      bits |= kNotifyFailure;
    } else if (EqualsIgnoreCase(item, "DELAY")) {
      bits |= kNotifyDelay;
    } else {
      return false;
    }
    if (comma == value.size()) break;
    value.remove_prefix(comma + 1);
  }
  // RFC 3461 4.1: NEVER stands alone.
  if ((bits & kNotifyNever) != 0 && bits != kNotifyNever) return false;
  *notify = bits;
  return true;
}

bool ParseOrcpt(std::string_view value, bool utf8, Orcpt* orcpt) {
  const size_t semicolon = value.find(';');
  if (value.size() > kMaxOrcptLength || semicolon == 0 ||
      semicolon == std::string_view::npos) {
    return false;
  }
  const std::string_view type = value.substr(0, semicolon);
  for (const char c : type) {
    if (!IsKeywordChar(c) && c != '_' && c != '.') return false;
  }
  std::string address;
  if (!XtextDecode(value.substr(semicolon + 1), utf8, &address) ||
      address.empty()) {
    return false;
  }
  for (const char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  if (!IsValidUtf8(address)) return false;
  orcpt->type.assign(type);
  orcpt->address = std::move(address);
  return true;
}

// Whether a decoded value means what its attribute says. One that does not
// is kept as "[UNAVAILABLE]" rather than refused: XFORWARD only improves the
// logging, and a refusal would fail the up-stream MTA's delivery to us.
bool IsPlausible(XforwardAttribute attribute, std::string_view value) {
  if (value == "[UNAVAILABLE]") return true;
  switch (attribute) {
    case XforwardAttribute::kName:
      return value == "[TEMPUNAVAIL]" || IsDomain(value, false);
    case XforwardAttribute::kAddr:
      if (value.size() > 5 && EqualsIgnoreCase(value.substr(0, 5), "IPV6:")) {
        return IsIpv6Address(value.substr(5));
      }
      return IsIpv4Address(value) || IsIpv6Address(value);
    case XforwardAttribute::kPort: {
      if (!AllDigits(value, 5)) return false;
      int port = 0;
      for (const char c : value) port = port * 10 + (c - '0');
      return port <= 65535;
    }
    case XforwardAttribute::kSource:
      return EqualsIgnoreCase(value, "LOCAL") ||
             EqualsIgnoreCase(value, "REMOTE");
    default:
      return true;
  }
}

}  // namespace

CommandLine SplitCommand(std::string_view line) {
  const size_t blank = line.find(' ');
  const std::string_view word = line.substr(0, blank);
  CommandLine command;
  if (blank != std::string_view::npos) {
    command.argument = Trim(line.substr(blank + 1));
  }
  for (const VerbName& v : kVerbs) {
    if (EqualsIgnoreCase(word, v.name)) {
      command.verb = v.verb;
      return command;
    }
  }
  return command;
}

bool Xforward::empty() const {
  for (const auto& value : values) {
    if (value) return false;
  }
  return true;
}

Refusal ParseMail(std::string_view argument, const PathLimits& limits,
                  MailCommand* mail) {
  *mail = MailCommand();
  if (!TakePrefix(&argument, "FROM:")) {
    return SyntaxError("Syntax: MAIL FROM:<address>");
  }
  ParsedPath path;
  const PathError error =
      ParsePath(argument, PathRules{true, false, limits}, &path);
  if (error != PathError::kNone) return PathRefusal(error, true);
  bool seenUtf8 = false;
  if (Refusal refused = ForEachParam(
          path.rest, false,
          [&](std::string_view keyword, std::optional<std::string_view> value) {
            return TakeMailParam(keyword, value, &mail->params, &seenUtf8);
          })) {
    return refused;
  }
  if (path.nonAscii && !mail->params.smtpUtf8) return NonAsciiRefusal();
  mail->reversePath = std::move(path.address);
  return std::nullopt;
}

Refusal ParseRcpt(std::string_view argument, bool utf8,
                  const PathLimits& limits, RcptCommand* rcpt) {
  *rcpt = RcptCommand();
  if (!TakePrefix(&argument, "TO:")) {
    return SyntaxError("Syntax: RCPT TO:<address>");
  }
  ParsedPath path;
  const PathError error =
      ParsePath(argument, PathRules{false, true, limits}, &path);
  if (error != PathError::kNone) return PathRefusal(error, false);
  if (path.nonAscii && !utf8) return NonAsciiRefusal();
  RcptParams& params = rcpt->params;
  if (Refusal refused =
          ForEachParam(path.rest, utf8,
                       [&](std::string_view keyword,
                           std::optional<std::string_view> value) -> Refusal {
                         if (EqualsIgnoreCase(keyword, "NOTIFY")) {
                           if (params.notify != 0) return Duplicate(keyword);
                           if (!value || !ParseNotify(*value, &params.notify)) {
                             return BadValue(keyword);
                           }
                         } else if (EqualsIgnoreCase(keyword, "ORCPT")) {
                           if (params.orcpt) return Duplicate(keyword);
                           Orcpt orcpt;
                           if (!value || !ParseOrcpt(*value, utf8, &orcpt)) {
                             return BadValue(keyword);
                           }
                           params.orcpt = std::move(orcpt);
                         } else {
                           return Unsupported(keyword);
                         }
                         return std::nullopt;
                       })) {
    return refused;
  }
  rcpt->forwardPath = std::move(path.address);
  return std::nullopt;
}

Refusal ParseXforward(std::string_view argument, Xforward* xforward) {
  if (argument.empty())
    return SyntaxError("Syntax: XFORWARD attribute=value...");
  Xforward merged = *xforward;
  while (!argument.empty()) {
    const size_t end = std::min(argument.find(' '), argument.size());
    const std::string_view pair = argument.substr(0, end);
    argument.remove_prefix(end);
    while (!argument.empty() && argument.front() == ' ') {
      argument.remove_prefix(1);
    }
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos) {
      return SyntaxError("Syntax: XFORWARD attribute=value...");
    }
    const std::string_view name = pair.substr(0, equals);
    size_t index = 0;
    while (index < kXforwardAttributes &&
           !EqualsIgnoreCase(name, kXforwardNames[index])) {
      ++index;
    }
    if (index == kXforwardAttributes) {
      bool keyword = !name.empty();
      for (const char c : name) keyword = keyword && IsKeywordChar(c);
      return SyntaxError(keyword ? "Bad XFORWARD attribute name: " +
                                       std::string(Echo(name))
                                 : std::string("Bad XFORWARD attribute name"));
    }
    const auto attribute = static_cast<XforwardAttribute>(index);
    const std::string_view value = pair.substr(equals + 1);
    // Values go into Received lines and logs: printable ASCII, no blanks.
    std::string decoded;
    bool good = !value.empty() && value.size() <= kMaxXforwardValue &&
                XtextDecode(value, false, &decoded);
    for (const char c : decoded) good = good && c >= '!' && c <= '~';
    if (!good) {
      return SyntaxError("Bad XFORWARD attribute value: " +
                         std::string(kXforwardNames[index]));
    }
    if (!IsPlausible(attribute, decoded)) decoded = "[UNAVAILABLE]";
    merged[attribute] = std::move(decoded);
  }
  *xforward = std::move(merged);
  return std::nullopt;
}

}  // namespace vt::smtp
