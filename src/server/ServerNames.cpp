// Comparing server names across their spellings.
#include "server/ServerNames.h"

namespace vt {

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

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

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

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
