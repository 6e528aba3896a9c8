// A small MIME walk, enough to find the text a person reads: headers
// unfolded, multipart bodies split on their boundary, the two transfer
// encodings mail uses for text decoded, Latin-1 made UTF-8. Whatever it
// does not understand it leaves out rather than guessing.
#include "quarantine/MessagePreview.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

#include "base/Ascii.h"
#include "databases/MailItems.h"
#include "server/smtp/MessageIntake.h"

namespace vt::tool {
namespace {

// Nesting beyond this is an attack on the reader, not a letter.
constexpr int kMaxDepth = 8;
constexpr size_t kMaxParts = 100;
// The encoded bytes of the chosen part that are decoded at most: enough for
// a preview of any encoding.
constexpr size_t kMaxEncoded = 64 * 1024;

struct Entity {
  std::string_view headers;
  std::string_view body;
};

Entity Split(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') continue;
    // An empty line: "\n\n" or "\n\r\n". A message starting with one has no
    // headers.
    if (i + 1 < text.size() && text[i + 1] == '\n') {
      return {text.substr(0, i + 1), text.substr(i + 2)};
    }
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') {
      return {text.substr(0, i + 1), text.substr(i + 3)};
    }
  }
  if (text.starts_with("\r\n")) return {{}, text.substr(2)};
  if (text.starts_with("\n")) return {{}, text.substr(1)};
  return {text, {}};
}

// The first field of that name, unfolded.
std::string Field(std::string_view headers, std::string_view name) {
  size_t at = 0;
  while (at < headers.size()) {
    size_t end = headers.find('\n', at);
    if (end == std::string_view::npos) end = headers.size();
    const std::string_view line = headers.substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos ||
        !EqualsIgnoreCase(Trim(line.substr(0, colon)), name)) {
      continue;
    }
    std::string value(line.substr(colon + 1));
    while (at < headers.size() && (headers[at] == ' ' || headers[at] == '\t')) {
      end = headers.find('\n', at);
      if (end == std::string_view::npos) end = headers.size();
      value += headers.substr(at, end - at);
      at = end + 1;
    }
    std::replace(value.begin(), value.end(), '\r', ' ');
    return std::string(Trim(value));
  }
  return {};
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiToLower(c);
  return lower;
}

struct ContentType {
  std::string type = "text/plain";  // lower case
  std::string boundary;
  std::string charset;  // lower case
};

ContentType ParseContentType(const std::string& value) {
  ContentType parsed;
  if (value.empty()) return parsed;
  const size_t semicolon = value.find(';');
  parsed.type = Lower(Trim(std::string_view(value).substr(0, semicolon)));
  size_t at = semicolon;
  while (at != std::string::npos && at < value.size()) {
    ++at;
    const size_t equals = value.find('=', at);
    if (equals == std::string::npos) break;
    const std::string name = Lower(Trim(value.substr(at, equals - at)));
    std::string parameter;
    size_t next = equals + 1;
    while (next < value.size() && value[next] == ' ') ++next;
    if (next < value.size() && value[next] == '"') {
      const size_t close = value.find('"', next + 1);
      parameter =
          value.substr(next + 1, close == std::string::npos ? std::string::npos
                                                            : close - next - 1);
      at = close == std::string::npos ? close : value.find(';', close);
    } else {
      at = value.find(';', next);
      parameter = std::string(Trim(value.substr(
          next, at == std::string::npos ? std::string::npos : at - next)));
    }
    if (name == "boundary") parsed.boundary = parameter;
    if (name == "charset") parsed.charset = Lower(parameter);
  }
  return parsed;
}

struct TextPart {
  std::string_view body;
  std::string encoding;  // Content-Transfer-Encoding, lower case
  std::string charset;
};

struct Found {
  std::optional<TextPart> plain;
  std::optional<TextPart> html;
  size_t parts = 0;
};

void Walk(std::string_view text, int depth, Found* found) {
  if (found->plain || depth > kMaxDepth || ++found->parts > kMaxParts) return;
  const Entity entity = Split(text);
  const ContentType type =
      ParseContentType(Field(entity.headers, "Content-Type"));
  if (Lower(Field(entity.headers, "Content-Disposition"))
          .starts_with("attachment")) {
    return;
  }
  if (type.type.starts_with("multipart/")) {
    if (type.boundary.empty()) return;
    const std::string delimiter = "--" + type.boundary;
    std::string_view body = entity.body;
    size_t at = body.starts_with(delimiter) ? 0 : body.find("\n" + delimiter);
    while (at != std::string_view::npos && !found->plain) {
      const size_t lineEnd = body.find('\n', at + 1);
      if (lineEnd == std::string_view::npos) return;
      const std::string_view line = body.substr(at, lineEnd - at);
      if (line.find(delimiter + "--") != std::string_view::npos) return;
      const size_t next = body.find("\n" + delimiter, lineEnd);
      std::string_view part = body.substr(
          lineEnd + 1, next == std::string_view::npos ? std::string_view::npos
                                                      : next - lineEnd - 1);
      if (part.ends_with('\r')) part.remove_suffix(1);
      Walk(part, depth + 1, found);
      at = next;
    }
    return;
  }
  const TextPart part{entity.body,
                      Lower(Field(entity.headers, "Content-Transfer-Encoding")),
                      type.charset};
  if (type.type == "text/plain") {
    found->plain = part;
  } else if (type.type == "text/html" && !found->html) {
    found->html = part;
  }
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string Decode(const TextPart& part) {
  const std::string_view body = part.body.substr(0, kMaxEncoded);
  std::string out;
  if (part.encoding == "base64") {
    uint32_t bits = 0;
    int count = 0;
    for (const char c : body) {
      const int value = Base64Value(c);
      if (value < 0) continue;
      bits = bits << 6 | static_cast<uint32_t>(value);
      count += 6;
      if (count >= 8) {
        count -= 8;
        out.push_back(static_cast<char>((bits >> count) & 0xFF));
      }
    }
  } else if (part.encoding == "quoted-printable") {
    for (size_t i = 0; i < body.size(); ++i) {
      if (body[i] != '=') {
        out.push_back(body[i]);
      } else if (i + 1 < body.size() && body[i + 1] == '\n') {
        i += 1;  // a soft line break
      } else if (i + 2 < body.size() && body[i + 1] == '\r' &&
                 body[i + 2] == '\n') {
        i += 2;
      } else if (i + 2 < body.size() && AsciiHexValue(body[i + 1]) >= 0 &&
                 AsciiHexValue(body[i + 2]) >= 0) {
        out.push_back(static_cast<char>(AsciiHexValue(body[i + 1]) << 4 |
                                        AsciiHexValue(body[i + 2])));
        i += 2;
      } else {
        out.push_back('=');
      }
    }
  } else {
    out.assign(body);
  }
  if (part.charset == "iso-8859-1" || part.charset == "latin1" ||
      part.charset == "windows-1252" || part.charset == "us-ascii") {
    std::string utf8;
    for (const char c : out) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x80) {
        utf8.push_back(c);
      } else {
        utf8.push_back(static_cast<char>(0xC0 | byte >> 6));
        utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
      }
    }
    out = std::move(utf8);
  }
  return out;
}

void AppendUtf8(uint32_t code, std::string* out) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    code = 0xFFFD;
  }
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The entity at html[at] ('&'), appended; how many bytes it took (1 when it
// is none known, and '&' is appended as it is).
size_t DecodeEntity(std::string_view html, size_t at, std::string* out) {
  const size_t semicolon = html.find(';', at);
  if (semicolon == std::string_view::npos || semicolon - at > 10) {
    out->push_back('&');
    return 1;
  }
  const std::string name(html.substr(at + 1, semicolon - at - 1));
  static constexpr std::pair<const char*, uint32_t> kNamed[] = {
      {"amp", '&'},       {"lt", '<'},       {"gt", '>'},
      {"quot", '"'},      {"apos", '\''},    {"nbsp", 0xA0},
      {"copy", 0xA9},     {"reg", 0xAE},     {"euro", 0x20AC},
      {"hellip", 0x2026}, {"mdash", 0x2014}, {"ndash", 0x2013}};
  for (const auto& [entity, code] : kNamed) {
    if (name == entity) {
      AppendUtf8(code, out);
      return semicolon - at + 1;
    }
  }
  if (name.size() >= 2 && name[0] == '#') {
    const bool hex = name[1] == 'x' || name[1] == 'X';
    uint32_t code = 0;
    for (size_t i = hex ? 2 : 1; i < name.size(); ++i) {
      const int digit =
          hex ? AsciiHexValue(name[i])
              : (name[i] >= '0' && name[i] <= '9' ? name[i] - '0' : -1);
      if (digit < 0 || code > 0x10FFFF) {
        out->push_back('&');
        return 1;
      }
      code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    }
    AppendUtf8(code, out);
    return semicolon - at + 1;
  }
  out->push_back('&');
  return 1;
}

bool StartsWithIgnoreCase(std::string_view text, size_t at,
                          std::string_view prefix) {
  return text.size() - at >= prefix.size() &&
         EqualsIgnoreCase(text.substr(at, prefix.size()), prefix);
}

// The end of the tag starting at html[at] ('<'): after its '>', quotes
// inside it honoured.
size_t TagEnd(std::string_view html, size_t at) {
  char quote = 0;
  for (size_t i = at + 1; i < html.size(); ++i) {
    if (quote != 0) {
      if (html[i] == quote) quote = 0;
    } else if (html[i] == '"' || html[i] == '\'') {
      quote = html[i];
    } else if (html[i] == '>') {
      return i + 1;
    }
  }
  return html.size();
}

// Control characters (but line ends and tabs) as '?', line ends as '\n'.
std::string Clean(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') continue;
      clean.push_back('\n');
    } else if ((static_cast<unsigned char>(c) < 0x20 && c != '\n' &&
                c != '\t') ||
               c == 0x7F) {
      clean.push_back('?');
    } else {
      clean.push_back(c);
    }
  }
  return clean;
}

BodyPreview Bounded(std::string text, size_t limit) {
  BodyPreview preview;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.size() > limit) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    text.resize(cut);
    preview.truncated = true;
  }
  preview.text = std::move(text);
  return preview;
}

}  // namespace

std::string HtmlToText(std::string_view html) {
  static constexpr std::string_view kBreaks[] = {
      "br",  "p",     "/p",     "div",        "/div", "tr",  "/tr",
      "li",  "/li",   "h1",     "h2",         "h3",   "/h1", "/h2",
      "/h3", "table", "/table", "blockquote", "hr"};
  std::string text;
  auto newline = [&] {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.size() >= 2 && text.ends_with("\n\n")) return;
    if (!text.empty()) text.push_back('\n');
  };
  size_t i = 0;
  while (i < html.size()) {
    const char c = html[i];
    if (c == '<') {
      if (html.substr(i).starts_with("<!--")) {
        const size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      bool skipped = false;
      for (const std::string_view hidden :
           {"script", "style", "head", "title"}) {
        if (StartsWithIgnoreCase(html, i + 1, hidden)) {
          // Skip to its closing tag (any case).
          const std::string close = "</" + std::string(hidden);
          size_t end = i + 1;
          while (end < html.size() && !StartsWithIgnoreCase(html, end, close)) {
            ++end;
          }
          i = end < html.size() ? TagEnd(html, end) : html.size();
          skipped = true;
          break;
        }
      }
      if (skipped) continue;
      const size_t end = TagEnd(html, i);
      size_t nameEnd = i + 1;
      while (nameEnd < end &&
             (std::isalnum(static_cast<unsigned char>(html[nameEnd])) ||
              html[nameEnd] == '/')) {
        ++nameEnd;
      }
      const std::string name = Lower(html.substr(i + 1, nameEnd - i - 1));
      if (std::find(std::begin(kBreaks), std::end(kBreaks), name) !=
          std::end(kBreaks)) {
        newline();
      } else if (!text.empty() && text.back() != ' ' && text.back() != '\n' &&
                 (name == "td" || name == "th")) {
        text.push_back(' ');
      }
      i = end;
    } else if (c == '&') {
      i += DecodeEntity(html, i, &text);
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!text.empty() && text.back() != ' ' && text.back() != '\n') {
        text.push_back(' ');
      }
      ++i;
    } else {
      text.push_back(c);
      ++i;
    }
  }
  return text;
}

BodyPreview PreviewOfMessage(std::string_view message, size_t limit) {
  Found found;
  Walk(message, 0, &found);
  if (found.plain) return Bounded(Clean(Decode(*found.plain)), limit);
  if (found.html) {
    BodyPreview preview =
        Bounded(Clean(HtmlToText(Decode(*found.html))), limit);
    preview.fromHtml = true;
    return preview;
  }
  return {};
}

BodyPreview PreviewOfNote(const std::vector<NoteItem>& items, size_t limit) {
  if (const NoteItem* bytes = FindItem(items, smtp::kItemSmtpMessage)) {
    return PreviewOfMessage(
        std::string_view(reinterpret_cast<const char*>(bytes->value.data()),
                         bytes->value.size()),
        limit);
  }
  std::string text;
  for (const std::string& line : ItemTextList(FindItem(items, kItemBody))) {
    text += line + "\n";
  }
  return Bounded(Clean(text), limit);
}

}  // namespace vt::tool
