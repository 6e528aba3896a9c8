// The task's own file version, as a short dotted text ("1.2.0.5"), read from
// the executable's version block.
#pragma once

#include "notes/FixedText.h"
#include "system/SystemServices.h"

namespace vt {

inline constexpr char kVersionUnavailable[] = "(version unavailable)";

// 0 when versionText was written, 1 when not (it is then left as it was).
int ReadFileVersion(SystemServices& system, const char* exePath,
                    FixedText<30>& versionText);

}  // namespace vt
