// Typing configuration assignments by item name.
#include "datadir/ConfigAssignment.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "base/Ascii.h"
#include "datadir/MailItems.h"

namespace vt::tool {
namespace {

// Items the router reads with GetNumberItem.
constexpr const char* kNumberItems[] = {
    "MaxQuarantineSize", "AlternateInterceptor", "ReleaseMailMinutes"};
// Items the router reads as lists of database paths.
constexpr const char* kPathListItems[] = {kItemMailboxNsf, kItemScanningNsf};
// The router cuts longer list entries; refusing them is kinder.
constexpr size_t kMaxPathEntry = 499;
constexpr size_t kMaxItemName = 255;
constexpr size_t kMaxValue = 0xFFFF;

bool SameName(const std::string& a, const char* b) {
  return EqualsIgnoreCase(a, b);
}

bool IsItemName(const std::string& name) {
  if (name.empty() || name.size() > kMaxItemName) return false;
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    (c >= '0' && c <= '9') || c == '_' || c == '$';
    if (!ok) return false;
  }
  return true;
}

std::vector<std::string> SplitList(const std::string& value) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (true) {
    const size_t semicolon = value.find(';', start);
    entries.push_back(value.substr(start, semicolon - start));
    if (semicolon == std::string::npos) break;
    start = semicolon + 1;
  }
  return entries;
}

bool ParseNumber(const std::string& text, double* number) {
  if (text.empty() || text.front() == ' ' || text.front() == '\t') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE ||
      !std::isfinite(value)) {
    return false;
  }
  *number = value;
  return true;
}

Outcome ParseOne(const std::string& argument, ConfigAssignment* out) {
  const size_t equals = argument.find('=');
  if (equals == std::string::npos || equals == 0) {
    return Outcome::Failure("malformed assignment '" + argument +
                            "' (expected ITEM=VALUE); nothing written");
  }
  ConfigAssignment a;
  a.item = argument.substr(0, equals);
  const std::string value = argument.substr(equals + 1);
  if (!IsItemName(a.item)) {
    return Outcome::Failure("malformed assignment '" + argument + "': '" +
                            a.item +
                            "' is not an item name (letters, digits, _ and "
                            "$); nothing written");
  }
  if (value.size() > kMaxValue) {
    return Outcome::Failure("the value of " + a.item +
                            " is too long; nothing written");
  }
  if (value.empty()) {
    a.kind = ConfigAssignment::Kind::kRemove;
    *out = std::move(a);
    return Outcome();
  }
  for (const char* name : kNumberItems) {
    if (!SameName(a.item, name)) continue;
    if (!ParseNumber(value, &a.number)) {
      return Outcome::Failure(a.item + " needs a number, not '" + value +
                              "'; nothing written");
    }
    a.kind = ConfigAssignment::Kind::kNumber;
    *out = std::move(a);
    return Outcome();
  }
  for (const char* name : kPathListItems) {
    if (!SameName(a.item, name)) continue;
    a.kind = ConfigAssignment::Kind::kTextList;
    for (std::string& entry : SplitList(value)) {
      if (entry.empty()) continue;
      if (entry.size() > kMaxPathEntry) {
        return Outcome::Failure("a database path of " + a.item +
                                " is longer than 499 characters; nothing "
                                "written");
      }
      a.list.push_back(std::move(entry));
    }
    if (a.list.empty()) {
      return Outcome::Failure(a.item +
                              " needs at least one database path; nothing "
                              "written");
    }
    *out = std::move(a);
    return Outcome();
  }
  if (value.find(';') != std::string::npos) {
    a.kind = ConfigAssignment::Kind::kTextList;
    a.list = SplitList(value);
  } else {
    a.kind = ConfigAssignment::Kind::kText;
    a.text = value;
  }
  *out = std::move(a);
  return Outcome();
}

}  // namespace

Outcome ParseConfigAssignments(const std::vector<std::string>& arguments,
                               std::vector<ConfigAssignment>* assignments) {
  std::vector<ConfigAssignment> parsed;
  for (const std::string& argument : arguments) {
    ConfigAssignment a;
    const Outcome outcome = ParseOne(argument, &a);
    if (!outcome.ok()) return outcome;
    for (const ConfigAssignment& earlier : parsed) {
      if (SameName(earlier.item, a.item.c_str())) {
        return Outcome::Failure(a.item + " is assigned twice; nothing written");
      }
    }
    parsed.push_back(std::move(a));
  }
  *assignments = std::move(parsed);
  return Outcome();
}

}  // namespace vt::tool
