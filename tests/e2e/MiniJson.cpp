// Recursive descent over the JSON grammar, UTF-8 checked.
#include "MiniJson.h"

#include <cctype>
#include <cstdlib>

namespace vt::e2e {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> ParseDocument() {
    JsonValue value;
    SkipBlanks();
    if (!ParseValue(&value, 0)) return std::nullopt;
    SkipBlanks();
    if (pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void SkipBlanks() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
            text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool Take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool TakeWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool ParseValue(JsonValue* v, int depth) {
    if (depth > kMaxDepth || pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '{') return ParseObject(v, depth);
    if (c == '[') return ParseArray(v, depth);
    if (c == '"') {
      v->kind = JsonValue::Kind::kString;
      return ParseString(&v->text);
    }
    if (TakeWord("null")) {
      v->kind = JsonValue::Kind::kNull;
      return true;
    }
    if (TakeWord("true") || TakeWord("false")) {
      v->kind = JsonValue::Kind::kBool;
      v->boolean = text_[pos_ - 1] == 'e' && text_[pos_ - 2] == 'u';
      return true;
    }
    return ParseNumber(v);
  }

  bool ParseNumber(JsonValue* v) {
    const size_t start = pos_;
    Take('-');
    if (Take('0')) {
    } else if (pos_ < text_.size() && text_[pos_] >= '1' &&
               text_[pos_] <= '9') {
      while (pos_ < text_.size() && std::isdigit(Byte(pos_))) ++pos_;
    } else {
      return false;
    }
    if (Take('.')) {
      if (!Digits()) return false;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    v->kind = JsonValue::Kind::kNumber;
    v->number = std::strtod(
        std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
    return true;
  }

  bool Digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && std::isdigit(Byte(pos_))) ++pos_;
    return pos_ > start;
  }

  unsigned char Byte(size_t i) const {
    return static_cast<unsigned char>(text_[i]);
  }

  static void AppendUtf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool Hex4(unsigned* value) {
    if (pos_ + 4 > text_.size()) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      unsigned d = 0;
      if (c >= '0' && c <= '9') {
        d = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      *value = *value * 16 + d;
    }
    return true;
  }

  // A raw multi-byte UTF-8 sequence, checked.
  bool TakeUtf8(std::string* out) {
    const unsigned char b0 = Byte(pos_);
    size_t n = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      n = 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      n = 4;
    } else {
      return false;
    }
    if (pos_ + n > text_.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((Byte(pos_ + k) & 0xC0) != 0x80) return false;
    }
    out->append(text_.substr(pos_, n));
    pos_ += n;
    return true;
  }

  bool ParseString(std::string* out) {
    if (!Take('"')) return false;
    while (pos_ < text_.size()) {
      const unsigned char c = Byte(pos_);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c >= 0x80) {
        if (!TakeUtf8(out)) return false;
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (pos_ >= text_.size()) return false;
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          unsigned cp = 0;
          if (!Hex4(&cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low = 0;
            if (!TakeWord("\\u") || !Hex4(&low) || low < 0xDC00 ||
                low > 0xDFFF) {
              return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool ParseArray(JsonValue* v, int depth) {
    v->kind = JsonValue::Kind::kArray;
    Take('[');
    SkipBlanks();
    if (Take(']')) return true;
    while (true) {
      JsonValue element;
      SkipBlanks();
      if (!ParseValue(&element, depth + 1)) return false;
      v->array.push_back(std::move(element));
      SkipBlanks();
      if (Take(']')) return true;
      if (!Take(',')) return false;
    }
  }

  bool ParseObject(JsonValue* v, int depth) {
    v->kind = JsonValue::Kind::kObject;
    Take('{');
    SkipBlanks();
    if (Take('}')) return true;
    while (true) {
      std::string name;
      JsonValue member;
      SkipBlanks();
      if (!ParseString(&name)) return false;
      SkipBlanks();
      if (!Take(':')) return false;
      SkipBlanks();
      if (!ParseValue(&member, depth + 1)) return false;
      v->names.push_back(std::move(name));
      v->members.push_back(std::move(member));
      SkipBlanks();
      if (Take('}')) return true;
      if (!Take(',')) return false;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view name) const {
  for (size_t i = 0; i < names.size() && i < members.size(); ++i) {
    if (names[i] == name) return &members[i];
  }
  return nullptr;
}

std::optional<JsonValue> ParseJson(std::string_view text) {
  return Parser(text).ParseDocument();
}

}  // namespace vt::e2e
