// What `vtserver config` checks before it writes: that each item is one the
// router reads, and that each value is one the router takes as given, by the
// router's own rules (config/ConfigValues.h) rather than a copy of them.
#pragma once

#include <string>
#include <vector>

#include "datadir/ConfigAssignment.h"
#include "datadir/Outcome.h"

namespace vt::tool {

// Fails on the first value the router would refuse or read as something
// else, naming what it would make of it, and on an item the router does not
// read (a typo, or an item of another task of the product). With force
// neither fails: *warnings says the same, and the values are written.
Outcome CheckConfigAssignments(const std::vector<ConfigAssignment>& assignments,
                               bool force, std::vector<std::string>* warnings);

}  // namespace vt::tool
