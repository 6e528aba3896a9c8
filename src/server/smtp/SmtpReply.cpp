// Formatting, checking and incremental parsing of SMTP replies.
#include "server/smtp/SmtpReply.h"

#include <algorithm>

namespace vt::smtp {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One to three digits from text[*i] on; *i ends after them.
bool ReadNumberPart(std::string_view text, size_t* i) {
  const size_t start = *i;
  while (*i < text.size() && IsDigit(text[*i]) && *i - start < 4) ++*i;
  return *i > start && *i - start <= 3;
}

// The length of the enhanced code that opens text, 0 when none does.
size_t EnhancedCodeLength(std::string_view text) {
  if (text.empty() || (text[0] != '2' && text[0] != '4' && text[0] != '5')) {
    return 0;
  }
  size_t i = 1;
  if (i >= text.size() || text[i] != '.') return 0;
  ++i;
  if (!ReadNumberPart(text, &i)) return 0;
  if (i >= text.size() || text[i] != '.') return 0;
  ++i;
  if (!ReadNumberPart(text, &i)) return 0;
  return i;
}

bool IsReplyCode(std::string_view s) {
  return s.size() >= 3 && s[0] >= '2' && s[0] <= '5' && s[1] >= '0' &&
         s[1] <= '5' && IsDigit(s[2]);
}

}  // namespace

Reply::Reply(int code, std::string_view enhanced, std::string_view text)
    : code(code), enhanced(enhanced) {
  lines.emplace_back(text);
}

std::string Reply::text() const {
  std::string all;
  for (const std::string& line : lines) {
    if (!all.empty()) all += ' ';
    all += line;
  }
  return all;
}

std::string Reply::Summary() const {
  std::string summary = std::to_string(code);
  if (!enhanced.empty()) summary += " " + enhanced;
  const std::string rest = text();
  if (!rest.empty()) summary += " " + rest;
  return summary;
}

std::string FormatReply(const Reply& reply) {
  const std::string code = std::to_string(reply.code);
  if (reply.lines.empty()) return code + "\r\n";
  std::string out;
  for (size_t i = 0; i < reply.lines.size(); ++i) {
    out += code;
    out += i + 1 < reply.lines.size() ? '-' : ' ';
    if (!reply.enhanced.empty()) {
      out += reply.enhanced;
      if (!reply.lines[i].empty()) out += ' ';
    }
    out += reply.lines[i];
    out += "\r\n";
  }
  return out;
}

bool IsEnhancedCode(std::string_view text) {
  return !text.empty() && EnhancedCodeLength(text) == text.size();
}

bool IsSendable(const Reply& reply) {
  const int kind = reply.code / 100;
  if (kind != 2 && kind != 4 && kind != 5) return false;
  if (reply.code / 10 % 10 > 5) return false;
  if (!reply.enhanced.empty() &&
      (!IsEnhancedCode(reply.enhanced) || reply.enhanced[0] - '0' != kind)) {
    return false;
  }
  for (const std::string& line : reply.lines) {
    // "250-" or "250 ", the enhanced code and its blank, the text, CRLF.
    if (4 + reply.enhanced.size() + 1 + line.size() + 2 > kMaxReplyLine) {
      return false;
    }
    for (const char c : line) {
      if (c < 0x20 || c > 0x7E) return false;
    }
  }
  return true;
}

ReplyParser::ReplyParser(size_t maxLine, size_t maxLines)
    : maxLine_(std::max<size_t>(maxLine, 8)),
      maxLines_(std::max<size_t>(maxLines, 1)) {}

size_t ReplyParser::Feed(std::string_view bytes) {
  size_t used = 0;
  while (used < bytes.size() && state_ == State::kReading) {
    const size_t lf = bytes.find('\n', used);
    const size_t end = lf == std::string_view::npos ? bytes.size() : lf;
    line_.append(bytes.substr(used, end - used));
    used = end;
    // The LF counts towards the line as well.
    if (line_.size() + (lf == std::string_view::npos ? 0 : 1) > maxLine_) {
      state_ = State::kFailed;
      break;
    }
    if (lf == std::string_view::npos) break;
    ++used;
    EndLine();
  }
  return used;
}

void ReplyParser::EndLine() {
  std::string_view line(line_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const bool last = line.size() == 3 || (line.size() > 3 && line[3] == ' ');
  if (!IsReplyCode(line) || (!last && line[3] != '-')) {
    state_ = State::kFailed;
    return;
  }
  const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + line[2] - '0';
  std::string_view text = line.size() > 4 ? line.substr(4) : "";
  if (reply_.lines.empty()) {
    reply_.code = code;
    const size_t n = EnhancedCodeLength(text);
    if (n > 0 && text[0] == line[0] && (n == text.size() || text[n] == ' ')) {
      reply_.enhanced = std::string(text.substr(0, n));
    }
  } else if (code != reply_.code || reply_.lines.size() >= maxLines_) {
    state_ = State::kFailed;
    return;
  }
  if (!reply_.enhanced.empty() && text.starts_with(reply_.enhanced) &&
      (text.size() == reply_.enhanced.size() ||
       text[reply_.enhanced.size()] == ' ')) {
    text.remove_prefix(std::min(text.size(), reply_.enhanced.size() + 1));
  }
  reply_.lines.emplace_back(text);
  line_.clear();
  if (last) state_ = State::kReady;
}

Reply ReplyParser::Take() {
  Reply taken;
  if (state_ != State::kReady) return taken;
  taken = std::move(reply_);
  reply_ = Reply();
  state_ = State::kReading;
  return taken;
}

}  // namespace vt::smtp
