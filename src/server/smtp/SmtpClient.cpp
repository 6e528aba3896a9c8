// EHLO features and the delivery client's MAIL, RCPT and XFORWARD lines.
#include "server/smtp/SmtpClient.h"

#include <algorithm>
#include <utility>

#include "base/Ascii.h"
#include "server/smtp/Xtext.h"

namespace vt::smtp {

ServerFeatures ParseEhloReply(const Reply& reply) {
  ServerFeatures features;
  if (!reply.positive()) return features;
  for (size_t i = 1; i < reply.lines.size(); ++i) {
    const std::string_view line = Trim(reply.lines[i]);
    const size_t blank = std::min(line.find(' '), line.size());
    const std::string_view keyword = line.substr(0, blank);
    const std::string_view rest = Trim(line.substr(blank));
    if (EqualsIgnoreCase(keyword, "PIPELINING")) {
      features.pipelining = true;
    } else if (EqualsIgnoreCase(keyword, "SIZE")) {
      features.size = true;
      uint64_t limit = 0;
      for (const char c : rest) {
        if (c < '0' || c > '9' || limit > UINT64_MAX / 10 - 1) {
          limit = 0;
          break;
        }
        limit = limit * 10 + static_cast<uint64_t>(c - '0');
      }
      features.maxSize = limit;
    } else if (EqualsIgnoreCase(keyword, "8BITMIME")) {
      features.eightBitMime = true;
    } else if (EqualsIgnoreCase(keyword, "SMTPUTF8")) {
      features.smtpUtf8 = true;
    } else if (EqualsIgnoreCase(keyword, "ENHANCEDSTATUSCODES")) {
      features.enhancedStatusCodes = true;
    } else if (EqualsIgnoreCase(keyword, "DSN")) {
      features.dsn = true;
    } else if (EqualsIgnoreCase(keyword, "XFORWARD")) {
      std::string_view names = rest;
      while (!names.empty()) {
        const size_t end = std::min(names.find(' '), names.size());
        for (size_t a = 0; a < kXforwardAttributes; ++a) {
          if (EqualsIgnoreCase(names.substr(0, end), kXforwardNames[a])) {
            features.xforward[a] = true;
          }
        }
        names = TrimLeft(names.substr(end));
      }
    }
  }
  return features;
}

std::string FormatMailFrom(std::string_view reversePath,
                           const MailParams& params,
                           const ServerFeatures& features) {
  std::string line = "MAIL FROM:<" + std::string(reversePath) + ">";
  if (features.size && params.size) {
    line += " SIZE=" + std::to_string(*params.size);
  }
  if (features.eightBitMime && params.body != Body::kUnspecified) {
    line += params.body == Body::k8BitMime ? " BODY=8BITMIME" : " BODY=7BIT";
  }
  if (features.smtpUtf8 && params.smtpUtf8) line += " SMTPUTF8";
  if (features.dsn && params.ret != Ret::kUnspecified) {
    line += params.ret == Ret::kFull ? " RET=FULL" : " RET=HDRS";
  }
  if (features.dsn && params.envid) {
    line += " ENVID=" + XtextEncode(*params.envid);
  }
  return line + "\r\n";
}

std::string FormatRcptTo(std::string_view forwardPath, const RcptParams& params,
                         const ServerFeatures& features, bool utf8) {
  std::string line = "RCPT TO:<" + std::string(forwardPath) + ">";
  if (features.dsn && params.notify != 0) {
    static constexpr std::pair<uint8_t, std::string_view> kNames[] = {
        {kNotifyNever, "NEVER"},
        {kNotifySuccess, "SUCCESS"},
        {kNotifyFailure, "FAILURE"},
        {kNotifyDelay, "DELAY"}};
    char separator = '=';
    line += " NOTIFY";
    for (const auto& [bit, name] : kNames) {
      if ((params.notify & bit) == 0) continue;
      line += separator;
      line += name;
      separator = ',';
    }
  }
  if (features.dsn && params.orcpt) {
    line += " ORCPT=" + params.orcpt->type + ";" +
            XtextEncode(params.orcpt->address, utf8 && features.smtpUtf8);
  }
  return line + "\r\n";
}

std::string FormatXforward(const Xforward& xforward,
                           const ServerFeatures& features) {
  constexpr std::string_view kVerb = "XFORWARD";
  std::string commands;
  std::string line;
  for (size_t a = 0; a < kXforwardAttributes; ++a) {
    const std::optional<std::string>& value = xforward.values[a];
    if (!value || !features.xforward[a]) continue;
    const std::string encoded = XtextEncode(*value);
    if (encoded.size() > kMaxXforwardValue) continue;
    const std::string pair = std::string(kXforwardNames[a]) + "=" + encoded;
    if (!line.empty() && line.size() + 1 + pair.size() + 2 > kMaxCommandLine) {
      commands += line + "\r\n";
      line.clear();
    }
    if (line.empty()) line = kVerb;
    line += ' ';
    line += pair;
  }
  if (!line.empty()) commands += line + "\r\n";
  return commands;
}

}  // namespace vt::smtp
