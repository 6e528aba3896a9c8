// `vtserver demo`: the whole demonstration runs, every message ends where
// its verdict sends it, and nothing is left behind.
#include <filesystem>

#include "DataDirTest.h"

namespace vt::e2e {
namespace {

TEST(Demo, EveryMessageEndsWhereItsVerdictSendsIt) {
  ASSERT_FALSE(VtServerPath().empty()) << "VT_BUILD_DIR is not set";
  const RunResult r = RunVtServer({"demo"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Every message ended where its verdict sends it."),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Totals for today - Mail: 3  Spam-D: 1  Spam-C: 1  "
                       "Spam-B: 1"),
            std::string::npos)
      << r.out;
  // The temporary data directory is gone.
  const std::string marker = "vtserver init ";
  const size_t at = r.out.find(marker);
  ASSERT_NE(at, std::string::npos);
  const size_t start = at + marker.size();
  const std::string dir = r.out.substr(start, r.out.find(' ', start) - start);
  EXPECT_FALSE(std::filesystem::exists(dir)) << dir;
}

}  // namespace
}  // namespace vt::e2e
