// Starting a new numbered database in place of a full (or retired) one: the
// next free file name, created as a copy of the current database's design
// and titled with its number.
#pragma once

#include <memory>
#include <span>

#include "databases/MailDatabase.h"

namespace vt {

inline constexpr int kMaxRollOverAttempts = 2000;

// The next numbered name of path: "Box_3.nsf" -> "Box_4.nsf", "Box.nsf" ->
// "Box_1.nsf". 1 with the name in result (260 bytes), or 0 with an empty
// result when path is empty or the name would not fit.
int NextIncrementalName(const char* path, std::span<char> result);

// A new, open record on the next free numbered name, or null (logged where
// it failed; silently when no free name was found).
std::unique_ptr<MailDatabase> RollOverDatabase(MailDatabase& record,
                                               const char* title);

}  // namespace vt
