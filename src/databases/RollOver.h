// Starting a new numbered database in place of a full (or retired) one: the
// next free file name, created as a copy of the current database's design
// and titled with its number.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "databases/MailDatabase.h"

namespace vt {

inline constexpr int kMaxRollOverAttempts = 2000;

// The next numbered name of path: "Box_3.nsf" -> "Box_4.nsf", "Box.nsf" ->
// "Box_1.nsf". 1 with the name in result (260 bytes), or 0 with an empty
// result when path is empty or the name would not fit.
int NextIncrementalName(const char* path, std::span<char> result);

// The number a roll-over gave path ("Box_3.nsf": 3), read as
// NextIncrementalName reads it; 0 for a name without one.
int64_t RollOverNumber(const char* path);
// The name of path's series with that number: "Box_3.nsf" and 2 give
// "Box_2.nsf", and 0 gives "Box.nsf", the name a series begins from. False,
// with an empty result, when it does not fit.
bool NumberedName(const char* path, int64_t number, std::span<char> result);

// A new, open record on the next free numbered name, or null (logged where
// it failed; silently when no free name was found).
std::unique_ptr<MailDatabase> RollOverDatabase(MailDatabase& record,
                                               const char* title);

}  // namespace vt
