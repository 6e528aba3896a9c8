// `ITEM=VALUE` arguments of `vtserver config`, checked and typed before any
// of them is written: the router reads some items as numbers and some as
// text lists, so each is stored the way the router will read it.
#pragma once

#include <string>
#include <vector>

#include "datadir/Outcome.h"

namespace vt::tool {

struct ConfigAssignment {
  enum class Kind { kText, kTextList, kNumber, kRemove };
  std::string item;
  Kind kind = Kind::kText;
  std::string text;
  std::vector<std::string> list;
  double number = 0;
};

// Parses every argument; the first bad one fails the whole (so nothing is
// written), as does an item assigned twice.
Outcome ParseConfigAssignments(const std::vector<std::string>& arguments,
                               std::vector<ConfigAssignment>* assignments);

}  // namespace vt::tool
