// Checking configuration assignments against the router's reader.
#include "datadir/ConfigCheck.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/Ascii.h"
#include "config/ConfigItems.h"
#include "config/ConfigValues.h"
#include "config/ServerConfig.h"
#include "databases/DatabaseName.h"

namespace vt::tool {
namespace {

// Single values the router reads into fields of a server name's or a path's
// size, refusing (not cutting) a longer one.
constexpr const char* kServerItems[] = {
    kItemMailboxServer,     kItemScanningServer,    kItemQuarantineServerB,
    kItemQuarantineServerC, kItemQuarantineServerD, kItemServerName};
constexpr const char* kPathItems[] = {
    kItemQuarantinePathB, kItemQuarantinePathC, kItemQuarantinePathD};

bool Is(const std::string& item, const char* name) {
  return EqualsIgnoreCase(item, name);
}

template <typename Names>
bool IsOneOf(const std::string& item, const Names& names) {
  return std::any_of(std::begin(names), std::end(names),
                     [&](const char* name) { return Is(item, name); });
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

// Edit distance without regard to case, for the nearest item name.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = AsciiToLower(a[i - 1]) == AsciiToLower(b[j - 1]);
      row[j] =
          std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Unknown(const std::string& item) {
  std::string text = item + " is not an item the router reads";
  const char* nearest = nullptr;
  size_t best = 4;  // further off than this is no typo
  for (const char* name : kRouterConfigItems) {
    const size_t d = Distance(item, name);
    if (d < best) {
      best = d;
      nearest = name;
    }
  }
  if (nearest != nullptr)
    text += std::string(" (did you mean ") + nearest + "?)";
  return text;
}

// The number the router would work with, and the values it takes as given.
struct NumberRule {
  const char* item;
  double (*read)(double);
  const char* accepted;
};

const NumberRule kNumberRules[] = {
    {kItemMaxQuarantineSize,
     [](double n) { return static_cast<double>(QuarantineMegabytes(n)); },
     "a whole number of megabytes from 10 to 4075"},
    {kItemReleaseMailMinutes,
     [](double n) { return static_cast<double>(ReleaseMinutes(n)); },
     "0 (no timed release) or a whole number of minutes from 10"},
    {kItemAlternateInterceptor,
     [](double n) {
       // Only 1 turns it on; the router treats every other value as 0.
       return AlternateInterceptor(n) == 1 ? 1.0 : 0.0;
     },
     "0 or 1"},
};

Outcome CheckNumber(const ConfigAssignment& a) {
  for (const NumberRule& rule : kNumberRules) {
    if (!Is(a.item, rule.item)) continue;
    const double read = rule.read(a.number);
    if (read == a.number) return Outcome();
    return Outcome::Failure(a.item + "=" + Number(a.number) +
                            " would be read by the router as " + Number(read) +
                            "; it takes " + rule.accepted);
  }
  return Outcome();
}

// Text items the router reads by their first character.
Outcome CheckChoice(const ConfigAssignment& a) {
  struct Choice {
    const char* item;
    std::vector<std::string_view> values;
    const char* accepted;
  };
  const Choice choices[] = {
      {kItemMailProcessingOptions, {"0", "1", "2"}, "0 (disabled), 1 or 2"},
      {kItemConsoleLogLevel, {"0", "1"}, "0 or 1 (no summary lines)"},
  };
  for (const Choice& c : choices) {
    if (!Is(a.item, c.item)) continue;
    if (a.kind == ConfigAssignment::Kind::kText &&
        std::find(c.values.begin(), c.values.end(), a.text) != c.values.end()) {
      return Outcome();
    }
    return Outcome::Failure(a.item + " takes " + c.accepted);
  }
  return Outcome();
}

Outcome CheckText(const ConfigAssignment& a) {
  size_t fieldSize = 0;
  if (IsOneOf(a.item, kServerItems)) fieldSize = kServerNameSize;
  if (IsOneOf(a.item, kPathItems)) fieldSize = kPathSize;
  if (fieldSize == 0) return Outcome();
  if (a.kind != ConfigAssignment::Kind::kText) {
    return Outcome::Failure(a.item + " takes one value, not a list");
  }
  if (a.text.size() >= fieldSize) {
    return Outcome::Failure(a.item + " is longer than the router reads (" +
                            std::to_string(fieldSize - 1) + " characters)");
  }
  return Outcome();
}

Outcome CheckOne(const ConfigAssignment& a) {
  if (a.kind == ConfigAssignment::Kind::kRemove) {
    if (Is(a.item, kItemMailboxNsf)) {
      return Outcome::Failure("the router cannot run without MailboxNsf");
    }
    if (Is(a.item, kItemServerName)) {
      return Outcome::Failure("the router finds its document by ServerName");
    }
    return Outcome();
  }
  if (a.kind == ConfigAssignment::Kind::kNumber) return CheckNumber(a);
  if (Is(a.item, kItemMailboxNsf) || Is(a.item, kItemScanningNsf)) {
    const size_t limit =
        Is(a.item, kItemMailboxNsf) ? kMaxMailboxNames : kMaxScanBoxNames;
    if (a.list.size() > limit) {
      return Outcome::Failure(a.item + " has " + std::to_string(a.list.size()) +
                              " databases; the router reads the first " +
                              std::to_string(limit) + " only");
    }
    return Outcome();
  }
  const Outcome choice = CheckChoice(a);
  if (!choice.ok()) return choice;
  return CheckText(a);
}

}  // namespace

Outcome CheckConfigAssignments(const std::vector<ConfigAssignment>& assignments,
                               bool force, std::vector<std::string>* warnings) {
  warnings->clear();
  for (const ConfigAssignment& a : assignments) {
    const bool known = IsOneOf(a.item, kRouterConfigItems);
    // Removing a stray item needs no force: that is how a typo is undone.
    if (!known && a.kind != ConfigAssignment::Kind::kRemove) {
      if (!force) {
        return Outcome::Failure(Unknown(a.item) +
                                "; give --force to write it anyway; nothing "
                                "written");
      }
      warnings->push_back(Unknown(a.item) + "; written as --force asks");
      continue;
    }
    // An administrator (or a test of the router's own refusals) may still
    // insist; the warning then says what the router will make of it.
    const Outcome outcome = CheckOne(a);
    if (outcome.ok()) continue;
    if (!force) {
      return Outcome::Failure(outcome.message() +
                              "; nothing written (--force writes it anyway)");
    }
    warnings->push_back(outcome.message() + "; written as --force asks");
  }
  return Outcome();
}

}  // namespace vt::tool
