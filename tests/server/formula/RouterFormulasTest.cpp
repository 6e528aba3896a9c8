// The router's own selection formulas, byte for byte, against the notes it
// meets: with and without each item, with lists, with items of the wrong
// type. A fault here moves mail to the wrong place.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "FormulaTesting.h"
#include "server/formula/FormulaBlob.h"

namespace vt::formula {
namespace {

using testing::FakeNote;
using testing::FixedNow;
using testing::MinutesBefore;
using testing::Program;

std::string VerdictFormula(char verdict) {
  return std::string("SELECT ((Kesto_Router = \"") + verdict +
         "\") & (VeltraneVerified = \"1\"))";
}

constexpr const char* kDeadFormula =
    "SELECT ((RoutingState = \"DEAD\") & (VeltraneProcess = \"1\") & "
    "(VeltraneVerified != \"1\"))";
constexpr const char* kHoldFormula =
    "SELECT ((RoutingState = \"HOLD\") & (VeltraneVerified != \"1\"))";
constexpr const char* kProcessFormula =
    "SELECT ((VeltraneProcess = \"1\") & (VeltraneVerified != \"1\"))";
constexpr const char* kHoldVerifiedFormula =
    "SELECT ((RoutingState = \"HOLD\") & (VeltraneVerified = \"1\"))";

std::string ReleaseFormula(long minutes) {
  char text[160];
  std::snprintf(text, sizeof text,
                "SELECT ((@Created < @Adjust( @Now; 0; 0; 0; 0; -%ld; 0)) & "
                "(VeltraneVerified != \"1\"))",
                minutes);
  return text;
}

TEST(RouterVerdictFormulas, SelectVerifiedNotesWithTheirVerdict) {
  for (char verdict : {'M', 'B', 'C', 'D'}) {
    const FormulaProgram p = Program(VerdictFormula(verdict));
    const std::string own(1, verdict);
    EXPECT_TRUE(p.Selects(
        FakeNote().Text("Kesto_Router", own).Text("VeltraneVerified", "1"),
        FixedNow()))
        << verdict;
    EXPECT_FALSE(p.Selects(FakeNote()
                               .Text("Kesto_Router", verdict == 'M' ? "B" : "M")
                               .Text("VeltraneVerified", "1"),
                           FixedNow()))
        << verdict;
  }
}

TEST(RouterVerdictFormulas, NeedBothItems) {
  const FormulaProgram p = Program(VerdictFormula('M'));
  EXPECT_FALSE(p.Selects(FakeNote().Text("Kesto_Router", "M"), FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote().Text("VeltraneVerified", "1"), FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote(), FixedNow()));
  EXPECT_FALSE(p.Selects(
      FakeNote().Text("Kesto_Router", "M").Text("VeltraneVerified", "0"),
      FixedNow()));
}

TEST(RouterVerdictFormulas, CompareTextWithRegardToCase) {
  const FormulaProgram p = Program(VerdictFormula('M'));
  EXPECT_FALSE(p.Selects(
      FakeNote().Text("Kesto_Router", "m").Text("VeltraneVerified", "1"),
      FixedNow()));
  EXPECT_FALSE(p.Selects(
      FakeNote().Text("Kesto_Router", "M ").Text("VeltraneVerified", "1"),
      FixedNow()));
}

TEST(RouterVerdictFormulas, FindItemsWhateverTheirSpelling) {
  const FormulaProgram p = Program(VerdictFormula('C'));
  EXPECT_TRUE(p.Selects(
      FakeNote().Text("KESTO_ROUTER", "C").Text("veltraneverified", "1"),
      FixedNow()));
}

TEST(RouterVerdictFormulas, MatchWhenAnyListEntryMatches) {
  const FormulaProgram p = Program(VerdictFormula('D'));
  EXPECT_TRUE(p.Selects(FakeNote()
                            .List("Kesto_Router", {"M", "D"})
                            .List("VeltraneVerified", {"0", "1"}),
                        FixedNow()));
  EXPECT_FALSE(p.Selects(
      FakeNote().List("Kesto_Router", {"M", "B"}).Text("VeltraneVerified", "1"),
      FixedNow()));
}

TEST(RouterVerdictFormulas, NumbersWhereTextIsExpectedDoNotMatch) {
  const FormulaProgram p = Program(VerdictFormula('M'));
  const FakeNote note =
      FakeNote().Text("Kesto_Router", "M").Number("VeltraneVerified", 1);
  EXPECT_FALSE(p.Selects(note, FixedNow()));
  bool selected = true;
  EXPECT_TRUE(
      p.EvaluateSelection(note, FixedNow(), &selected).Is(err::kWrongItemType));
  EXPECT_FALSE(selected);
}

TEST(RouterDeadFormula, SelectsUnverifiedDeadMessagesToProcess) {
  const FormulaProgram p = Program(kDeadFormula);
  EXPECT_TRUE(p.Selects(
      FakeNote().Text("RoutingState", "DEAD").Text("VeltraneProcess", "1"),
      FixedNow()));
  EXPECT_TRUE(p.Selects(FakeNote()
                            .Text("RoutingState", "DEAD")
                            .Text("VeltraneProcess", "1")
                            .Text("VeltraneVerified", "0"),
                        FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote()
                             .Text("RoutingState", "DEAD")
                             .Text("VeltraneProcess", "1")
                             .Text("VeltraneVerified", "1"),
                         FixedNow()));
  EXPECT_FALSE(p.Selects(
      FakeNote().Text("RoutingState", "HOLD").Text("VeltraneProcess", "1"),
      FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote().Text("RoutingState", "DEAD"), FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote(), FixedNow()));
}

TEST(RouterHoldFormulas, SplitHeldMessagesByVerification) {
  const FormulaProgram unverified = Program(kHoldFormula);
  const FormulaProgram verified = Program(kHoldVerifiedFormula);
  const FakeNote held = FakeNote().Text("RoutingState", "HOLD");
  const FakeNote heldVerified =
      FakeNote().Text("RoutingState", "HOLD").Text("VeltraneVerified", "1");
  const FakeNote notHeld = FakeNote().Text("VeltraneVerified", "1");
  EXPECT_TRUE(unverified.Selects(held, FixedNow()));
  EXPECT_FALSE(unverified.Selects(heldVerified, FixedNow()));
  EXPECT_FALSE(unverified.Selects(notHeld, FixedNow()));
  EXPECT_FALSE(verified.Selects(held, FixedNow()));
  EXPECT_TRUE(verified.Selects(heldVerified, FixedNow()));
  EXPECT_FALSE(verified.Selects(notHeld, FixedNow()));
}

TEST(RouterProcessFormula, SelectsMessagesToProcessUntilVerified) {
  const FormulaProgram p = Program(kProcessFormula);
  EXPECT_TRUE(p.Selects(FakeNote().Text("VeltraneProcess", "1"), FixedNow()));
  EXPECT_FALSE(p.Selects(
      FakeNote().Text("VeltraneProcess", "1").Text("VeltraneVerified", "1"),
      FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote().Text("VeltraneProcess", "0"), FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote(), FixedNow()));
}

// Any pair that differs makes `!=` hold, so a list that also holds "1"
// still counts as unverified unless every entry is "1".
TEST(RouterProcessFormula, NotEqualHoldsWhenAnyListEntryDiffers) {
  const FormulaProgram p = Program(kProcessFormula);
  EXPECT_TRUE(p.Selects(FakeNote()
                            .Text("VeltraneProcess", "1")
                            .List("VeltraneVerified", {"1", "0"}),
                        FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote()
                             .Text("VeltraneProcess", "1")
                             .List("VeltraneVerified", {"1", "1"}),
                         FixedNow()));
}

TEST(RouterProcessFormula, ItemsOfTheWrongTypeDoNotMatch) {
  const FormulaProgram p = Program(kProcessFormula);
  EXPECT_FALSE(p.Selects(FakeNote().Number("VeltraneProcess", 1), FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote()
                             .Text("VeltraneProcess", "1")
                             .Time("VeltraneVerified", FixedNow()),
                         FixedNow()));
}

TEST(RouterReleaseFormula, SelectsUnverifiedMessagesOlderThanTheDelay) {
  const FormulaProgram p = Program(ReleaseFormula(10));
  const TimeDate now = FixedNow();
  EXPECT_TRUE(p.Selects(FakeNote().CreatedAt(MinutesBefore(now, 11)), now));
  EXPECT_FALSE(p.Selects(FakeNote().CreatedAt(MinutesBefore(now, 9)), now));
  // The comparison is strict: exactly ten minutes is not yet older.
  EXPECT_FALSE(p.Selects(FakeNote().CreatedAt(MinutesBefore(now, 10)), now));
  EXPECT_FALSE(p.Selects(FakeNote()
                             .CreatedAt(MinutesBefore(now, 11))
                             .Text("VeltraneVerified", "1"),
                         now));
}

TEST(RouterReleaseFormula, FollowsTheClockItIsGiven) {
  const FormulaProgram p = Program(ReleaseFormula(10));
  const FakeNote note = FakeNote().CreatedAt(MinutesBefore(FixedNow(), 9));
  EXPECT_FALSE(p.Selects(note, FixedNow()));
  EXPECT_TRUE(p.Selects(note, AdjustTimeDate(FixedNow(), 0, 0, 0, 0, 2, 0)));
}

TEST(RouterReleaseFormula, WorksAcrossDayBoundariesAndLongDelays) {
  const TimeDate justAfterMidnight =
      TimeDateFromUnixCentis((19783LL * 86400 + 60) * 100);
  const FormulaProgram tenMinutes = Program(ReleaseFormula(10));
  EXPECT_TRUE(tenMinutes.Selects(
      FakeNote().CreatedAt(MinutesBefore(justAfterMidnight, 11)),
      justAfterMidnight));
  EXPECT_FALSE(tenMinutes.Selects(
      FakeNote().CreatedAt(MinutesBefore(justAfterMidnight, 9)),
      justAfterMidnight));
  const FormulaProgram week = Program(ReleaseFormula(7 * 24 * 60));
  EXPECT_FALSE(week.Selects(
      FakeNote().CreatedAt(MinutesBefore(FixedNow(), 7 * 24 * 60 - 1)),
      FixedNow()));
  EXPECT_TRUE(week.Selects(
      FakeNote().CreatedAt(MinutesBefore(FixedNow(), 7 * 24 * 60 + 1)),
      FixedNow()));
}

TEST(RouterAllFormula, SelectsEveryNote) {
  for (const char* text : {"@ALL", "@All", "SELECT @ALL", "SELECT @All"}) {
    const FormulaProgram p = Program(text);
    EXPECT_TRUE(p.Selects(FakeNote(), FixedNow())) << text;
    EXPECT_TRUE(p.Selects(FakeNote().Number("X", 0), FixedNow())) << text;
  }
}

TEST(RouterViewFormulas, ServerConfigViewSelectsConfigDocumentsByForm) {
  std::vector<uint8_t> view =
      testing::Compiled("SELECT Form = \"ServerConfig\"");
  ASSERT_TRUE(
      MergeFormulas(testing::Compiled("ServerName", "ServerName"), &view).ok());
  FormulaProgram p;
  ASSERT_TRUE(DecodeFormula(view, &p).ok());
  const FakeNote config = FakeNote()
                              .Text("Form", "ServerConfig")
                              .Text("ServerName", "CN=Mail1/O=Example");
  EXPECT_TRUE(p.Selects(config, FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote().Text("Form", "Memo"), FixedNow()));
  const std::vector<ColumnValue> columns = p.ColumnValues(config, FixedNow());
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(columns[0].name, "ServerName");
  ASSERT_EQ(columns[0].value.kind, FormulaValue::Kind::kText);
  EXPECT_EQ(columns[0].value.texts,
            std::vector<std::string>{"CN=Mail1/O=Example"});
}

}  // namespace
}  // namespace vt::formula
