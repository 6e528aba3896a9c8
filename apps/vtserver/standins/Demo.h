// The live demonstration: a new data directory, the real vtrouter started
// on it, mail of every kind deposited, the scanner's verdicts given, and in
// the end where each message went. It succeeds only when every message ended
// where its verdict sends it.
#pragma once

namespace vt::tool {

// The exit code: 0 when every message ended in its place.
int RunDemo(bool keep);

}  // namespace vt::tool
