// Comparing server names across their spellings.
#include "server/ServerNames.h"

#include "base/Ascii.h"

namespace vt {

namespace {

std::string_view StripLabel(std::string_view component) {
  component = Trim(component);
  for (std::string_view label : {"CN=", "OU=", "O=", "C="}) {
    if (component.size() >= label.size() &&
        EqualsIgnoreCase(component.substr(0, label.size()), label)) {
      return Trim(component.substr(label.size()));
    }
  }
  return component;
}

}  // namespace

std::string AbbreviateName(std::string_view name) {
  std::string out;
  size_t start = 0;
  while (true) {
    const size_t slash = name.find('/', start);
    const std::string_view part = name.substr(
        start, slash == std::string_view::npos ? std::string_view::npos
                                               : slash - start);
    if (!out.empty() || start > 0) out.push_back('/');
    out.append(StripLabel(part));
    if (slash == std::string_view::npos) return out;
    start = slash + 1;
  }
}

std::string CommonName(std::string_view name) {
  return std::string(StripLabel(name.substr(0, name.find('/'))));
}

bool NameMatches(std::string_view fullName, std::string_view key) {
  const std::string_view k = Trim(key);
  if (k.empty() || Trim(fullName).empty()) return false;
  if (EqualsIgnoreCase(AbbreviateName(fullName), AbbreviateName(k))) {
    return true;
  }
  // A bare common name on either side matches the other's common name.
  const bool bare = k.find('/') == std::string_view::npos ||
                    fullName.find('/') == std::string_view::npos;
  return bare && EqualsIgnoreCase(CommonName(fullName), CommonName(k));
}

}  // namespace vt
