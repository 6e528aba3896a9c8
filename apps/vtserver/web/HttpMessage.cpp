// Request targets as browsers and scrapers write them.
#include "web/HttpMessage.h"

#include "base/Ascii.h"

namespace vt::tool {
namespace {

bool Decode(std::string_view text, bool plusIsBlank, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = AsciiHexValue(text[i + 1]);
      const int low = AsciiHexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (c == '+' && plusIsBlank) {
      out->push_back(' ');
    } else {
      out->push_back(c);
    }
  }
  return true;
}

const std::string* Find(const HttpFields& fields, std::string_view name,
                        bool ignoreCase) {
  for (const auto& [key, value] : fields) {
    if (ignoreCase ? EqualsIgnoreCase(key, name) : key == name) return &value;
  }
  return nullptr;
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  const std::string* found = Find(headers, name, true);
  return found != nullptr ? *found : std::string();
}

bool HttpRequest::HasParam(std::string_view name) const {
  return Find(params, name, false) != nullptr;
}

std::string HttpRequest::Param(std::string_view name) const {
  const std::string* found = Find(params, name, false);
  return found != nullptr ? *found : std::string();
}

bool ParseTarget(std::string_view target, std::string* path,
                 HttpFields* params) {
  params->clear();
  const size_t question = target.find('?');
  if (!Decode(target.substr(0, question), false, path)) return false;
  if (question == std::string_view::npos) return true;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view()
                                          : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    std::string name, value;
    if (!Decode(pair.substr(0, equals), true, &name)) return false;
    if (equals != std::string_view::npos &&
        !Decode(pair.substr(equals + 1), true, &value)) {
      return false;
    }
    params->emplace_back(std::move(name), std::move(value));
  }
  return true;
}

}  // namespace vt::tool
