// Teaching the spam engines, through the real programs and private rspamd
// and spamd on loopback: a false positive released with --learn reaches its
// mail box once, and both engines learn it as ham; taught again, from a
// file, both know it already.
#include <fstream>
#include <nlohmann/json.hpp>

#include "DataDirTest.h"
#include "QuarantinedMail.h"
#include "scanner/PrivateEngines.h"
#include "scanner/ScanMessages.h"

namespace vt::e2e {
namespace {

using Json = nlohmann::json;
using scanner::testing::PrivateRspamd;
using scanner::testing::PrivateSpamd;

class LearnTest : public DataDirTest {};

TEST_F(LearnTest, AReleasedFalsePositiveIsLearntAsHamOnce) {
  PrivateRspamd rspamd;
  PrivateSpamd spamd;
  std::string error = rspamd.Launch() + spamd.Launch();
  if (error.empty())
    error = rspamd.WaitUntilAnswering() + spamd.WaitUntilAnswering();
  ASSERT_EQ(error, "");
  Init(UniqueServerName());
  ConfigureScanner({"Rspamd=" + rspamd.url(),
                    "RspamdController=" + rspamd.controllerUrl(),
                    std::string("RspamdPassword=") + PrivateRspamd::kPassword,
                    "Spamd=" + spamd.tcp().Text()});
  const std::string letter = scanner::testing::PlainRequest().message;
  Items items = SmtpItems(letter, {"bob@example.com"});
  items.insert_or_assign("Subject", "A false positive");
  AddQuarantined(dir(), items);
  ASSERT_FALSE(HasFailure());
  const RunResult listed = Vt({"quarantine", dir(), "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const std::string id = Json::parse(listed.out).at(0)["unid"];

  const RunResult released =
      Vt({"quarantine", dir(), "release", id, "--learn"});
  ASSERT_EQ(released.exitCode, 0) << released.err;
  EXPECT_EQ(released.out,
            id + ": released from Veltrane/QuarantineC_1.nsf to mail.box\n" +
                id + ": learnt as ham by rspamd, spamd\n");
  EXPECT_EQ(Count("mail.box", "A false positive"), 1);
  EXPECT_EQ(Count("Veltrane/QuarantineC_1.nsf", "A false positive"), 0);

  // The same message from a file: both engines know it.
  const std::string file = (folder() / "letter.eml").string();
  std::ofstream(file, std::ios::binary) << letter;
  const RunResult again = Vt({"learn", dir(), "--ham", file});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, file + ": already known to rspamd, spamd\n");
  EXPECT_EQ(Count("mail.box", "A false positive"), 1);
}

// An engine that cannot learn says so, and the release stands.
TEST_F(LearnTest, AnEngineThatCannotLearnLeavesTheReleaseDone) {
  Init(UniqueServerName());
  ConfigureScanner({"Spamd=127.0.0.1:" +
                    std::to_string(scanner::testing::FreeLoopbackPort())});
  Items items =
      SmtpItems(scanner::testing::PlainRequest().message, {"bob@example.com"});
  items.insert_or_assign("Subject", "Unlearnt");
  AddQuarantined(dir(), items);
  ASSERT_FALSE(HasFailure());
  const RunResult listed = Vt({"quarantine", dir(), "list", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  const std::string id = Json::parse(listed.out).at(0)["unid"];

  const RunResult released =
      Vt({"quarantine", dir(), "release", id, "--learn"});
  EXPECT_EQ(released.exitCode, 1);
  EXPECT_NE(released.err.find("cannot learn " + id + " as ham"),
            std::string::npos)
      << released.err;
  EXPECT_EQ(Count("mail.box", "Unlearnt"), 1);
  EXPECT_EQ(Count("Veltrane/QuarantineC_1.nsf", "Unlearnt"), 0);
}

}  // namespace
}  // namespace vt::e2e
