// INI reading with Windows profile semantics over libinih; see
// ProfileReader.h.
#include "system/posix/ProfileReader.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "base/Ascii.h"
#include "notes/FixedText.h"

namespace vt {
namespace {

// Where inih ends a name or section: at one of stops, or at a ';' that
// follows whitespace (an inline comment). npos when neither occurs.
size_t FindStopOrComment(std::string_view s, std::string_view stops) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (stops.find(s[i]) != std::string_view::npos) return i;
    if (s[i] == ';' && i > 0 && IsAsciiSpace(s[i - 1])) return i;
  }
  return std::string_view::npos;
}

// The value inih makes of the text after the separator.
std::string_view InihValue(std::string_view raw) {
  raw = TrimLeft(raw);
  const size_t comment = FindStopOrComment(raw, "");
  return TrimRight(raw.substr(0, comment));
}

struct ProfileParse {
  std::ifstream in;
  int lineNumber = 0;
  std::string line;       // the line as read
  std::string shortened;  // what inih gets instead of a line too long for it
  // inih keeps section names in a 50-byte buffer; tracking the section here
  // lets longer names match whole.
  std::string currentSection;
  bool longValuePending = false;  // the line given to inih was shortened
  std::string longValue;          // its text after the separator

  std::string_view section;
  std::string_view key;
  bool found = false;
  std::string value;
};

// A line longer than inih's buffer, made short: a key line keeps its name
// and the handler takes the value from longValue; anything else becomes a
// line inih skips.
std::string_view Shorten(ProfileParse& p, std::string_view text, size_t room) {
  if (text.front() == '[' || text.front() == ';' || text.front() == '#') {
    return ";";
  }
  const size_t sep = FindStopOrComment(text, "=:");
  if (sep == std::string_view::npos || text[sep] == ';') return ";";
  const std::string_view name = TrimRight(text.substr(0, sep));
  if (name.size() + 1 > room) return ";";  // no key that long is asked for
  p.shortened.assign(name);
  p.shortened.push_back('=');
  p.longValue.assign(text.substr(sep + 1));
  p.longValuePending = true;
  return p.shortened;
}

// inih's fgets-style reader: one whole line per call, however long.
char* ReadLine(char* str, int num, void* stream) {
  auto& p = *static_cast<ProfileParse*>(stream);
  p.longValuePending = false;
  if (num < 3 || !std::getline(p.in, p.line)) return nullptr;
  std::string_view text(p.line);
  text = text.substr(0, text.find('\0'));
  if (++p.lineNumber == 1 && text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);
  }
  // Without leading blanks inih cannot take a line for the continuation of
  // the previous value (its multi-line option is on in the library);
  // Windows has no continuation lines.
  text = TrimLeft(text);
  if (!text.empty() && text.front() == '[') {
    const size_t close = FindStopOrComment(text.substr(1), "]");
    if (close != std::string_view::npos && text[1 + close] == ']') {
      p.currentSection.assign(text.substr(1, close));
    }
  }
  const size_t room = static_cast<size_t>(num) - 2;  // '\n' and NUL
  if (text.size() > room) text = Shorten(p, text, room);
  if (!text.empty()) std::memcpy(str, text.data(), text.size());
  str[text.size()] = '\n';
  str[text.size() + 1] = '\0';
  return str;
}

int OnValue(void* user, const char* /*section*/, const char* name,
            const char* value) {
  auto& p = *static_cast<ProfileParse*>(user);
  if (p.found || name == nullptr) return 1;
  if (!EqualsIgnoreCase(Trim(p.currentSection), p.section) ||
      !EqualsIgnoreCase(name, p.key)) {
    return 1;
  }
  std::string_view v = p.longValuePending ? InihValue(p.longValue)
                       : value            ? std::string_view(value)
                                          : std::string_view();
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  p.value.assign(v);
  p.found = true;
  return 1;
}

uint32_t Deliver(std::span<char> out, std::string_view text) {
  if (out.empty()) return 0;
  CopyBounded(out, text);
  return static_cast<uint32_t>(std::min(text.size(), out.size() - 1));
}

}  // namespace

uint32_t ReadProfileString(const char* section, const char* key,
                           const char* defaultValue, std::span<char> out,
                           const char* fileName) {
  std::string_view fallback = defaultValue ? defaultValue : "";
  while (!fallback.empty() &&
         (fallback.back() == ' ' || fallback.back() == '\t')) {
    fallback.remove_suffix(1);
  }
  if (section == nullptr || key == nullptr || fileName == nullptr) {
    return Deliver(out, fallback);
  }

  ProfileParse parse;
  parse.section = section;
  parse.key = key;
  parse.in.open(fileName, std::ios::in | std::ios::binary);
  if (!parse.in) return Deliver(out, fallback);
  // Odd lines are parse errors to inih, which reports them and reads on;
  // whatever the file does hold is still found.
  static_cast<void>(ini_parse_stream(ReadLine, &parse, OnValue, &parse));
  return Deliver(out, parse.found ? std::string_view(parse.value) : fallback);
}

}  // namespace vt
