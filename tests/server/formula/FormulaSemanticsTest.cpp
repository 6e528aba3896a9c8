// What expressions compute: item values by type, comparisons over lists,
// operators and their precedence, statements, times. The router's formulas
// are few, but the mail rules and views accept any formula of the language.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FormulaTesting.h"

namespace vt::formula {
namespace {

using testing::FakeNote;
using testing::FixedNow;
using testing::Program;
using testing::ValueOf;

bool Selects(const char* text, const FakeNote& note = FakeNote()) {
  return Program(text).Selects(note, FixedNow());
}

double NumberOf(const char* text, const FakeNote& note = FakeNote()) {
  const FormulaValue v = ValueOf(text, note);
  EXPECT_EQ(v.kind, FormulaValue::Kind::kNumber) << text;
  return v.number;
}

TEST(FormulaItems, MissingItemIsEmptyText) {
  EXPECT_TRUE(Selects("Missing = \"\""));
  EXPECT_TRUE(Selects("Missing != \"x\""));
  const FormulaValue v = ValueOf("Missing", FakeNote());
  ASSERT_EQ(v.kind, FormulaValue::Kind::kText);
  EXPECT_EQ(v.texts, std::vector<std::string>{""});
}

TEST(FormulaItems, EachTypeGivesItsValue) {
  const FakeNote note = FakeNote()
                            .Text("T", "text")
                            .List("L", {"a", "b", ""})
                            .Number("N", 2.5)
                            .Time("D", FixedNow());
  EXPECT_EQ(ValueOf("T", note).texts, std::vector<std::string>{"text"});
  EXPECT_EQ(ValueOf("L", note).texts, (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(NumberOf("N", note), 2.5);
  const FormulaValue d = ValueOf("D", note);
  ASSERT_EQ(d.kind, FormulaValue::Kind::kTime);
  EXPECT_EQ(d.time, FixedNow());
}

TEST(FormulaItems, EmptyTextListReadsAsEmptyText) {
  const FakeNote note = FakeNote().List("L", {});
  EXPECT_TRUE(Selects("L = \"\"", note));
  EXPECT_EQ(ValueOf("L", note).texts, std::vector<std::string>{""});
}

TEST(FormulaItems, MalformedOrUnknownItemValuesFailTheEvaluation) {
  const std::vector<FakeNote> notes = {
      FakeNote().Raw("X", kTypeTextList, {2, 0, 1, 0}),  // lengths cut off
      FakeNote().Raw("X", kTypeTextList, {1, 0, 5, 0, 'a'}),
      FakeNote().Raw("X", kTypeTextList, {1, 0, 1, 0, 'a', 'b'}),
      FakeNote().Raw("X", kTypeTextList, {1}),
      FakeNote().Raw("X", kTypeNumber, {1, 2, 3}),
      FakeNote().Raw("X", kTypeTime, {}),
      FakeNote().Raw("X", kTypeFormula, {1, 2}),
  };
  for (size_t i = 0; i < notes.size(); ++i) {
    EXPECT_FALSE(Selects("X = \"a\" | @True", notes[i])) << i;
    EXPECT_EQ(ValueOf("X", notes[i]).kind, FormulaValue::Kind::kError) << i;
  }
}

TEST(FormulaItems, NamesAndFunctionsIgnoreCase) {
  const FakeNote note = FakeNote()
                            .Text("Kesto_Router", "M")
                            .Text("$Title", "t")
                            .CreatedAt(FixedNow());
  EXPECT_TRUE(Selects("select kesto_router = \"M\"", note));
  EXPECT_TRUE(Selects("SeLeCt KESTO_ROUTER = \"M\" & $TITLE = \"t\"", note));
  EXPECT_TRUE(Selects("@all", note));
  EXPECT_TRUE(Selects("@created = @NOW", note));
  EXPECT_TRUE(Selects("@CREATED < @adjust(@now; 0; 0; 0; 0; 1; 0)", note));
}

TEST(FormulaComparisons, TextEqualityIsExactAndPermutedOverLists) {
  const FakeNote note =
      FakeNote().List("A", {"x", "y"}).List("B", {"z", "y"}).Text("C", "Y");
  EXPECT_TRUE(Selects("A = B", note));
  EXPECT_TRUE(Selects("A = \"y\"", note));
  EXPECT_FALSE(Selects("A = C", note));
  EXPECT_TRUE(Selects("A != C", note));
  // Both hold for lists that share one entry and differ in another.
  EXPECT_TRUE(Selects("(A = B) & (A != B)", note));
  EXPECT_FALSE(Selects("A <> A", FakeNote().Text("A", "same")));
}

TEST(FormulaComparisons, TextOrdersByBytes) {
  EXPECT_TRUE(Selects("\"a\" < \"b\""));
  EXPECT_TRUE(Selects("\"B\" < \"a\""));
  EXPECT_TRUE(Selects("\"ab\" > \"a\""));
  EXPECT_TRUE(Selects("\"a\" <= \"a\" & \"a\" >= \"a\""));
  EXPECT_FALSE(Selects("\"\xC3\xA4\" < \"z\""));
}

TEST(FormulaComparisons, NumbersCompareByValue) {
  const FakeNote note = FakeNote().Number("Size", 1024);
  EXPECT_TRUE(Selects("Size = 1024", note));
  EXPECT_TRUE(Selects("Size > 1000.5", note));
  EXPECT_TRUE(Selects("Size >= 1024 & Size <= 1024.0", note));
  EXPECT_TRUE(Selects("-Size < 0", note));
  EXPECT_TRUE(Selects("Size = 1.024e3", note));
  EXPECT_TRUE(Selects(".5 < 1"));
  EXPECT_FALSE(Selects("Size != 1024", note));
  EXPECT_FALSE(Selects("X = 0", FakeNote().Number("X", std::nan(""))));
}

TEST(FormulaComparisons, MixedTypesFailTheEvaluation) {
  const FakeNote note = FakeNote().Number("N", 1).Time("D", FixedNow());
  for (const char* text : {"N = \"1\"", "N != \"1\"", "Missing = 1", "D = N",
                           "D = \"x\"", "@Now > 0", "(N = \"1\") | @True"}) {
    bool selected = true;
    EXPECT_TRUE(Program(text)
                    .EvaluateSelection(note, FixedNow(), &selected)
                    .Is(err::kWrongItemType))
        << text;
    EXPECT_FALSE(selected) << text;
  }
}

TEST(FormulaComparisons, TimesCompareByInstant) {
  const TimeDate earlier = testing::MinutesBefore(FixedNow(), 1);
  const FakeNote note = FakeNote()
                            .Time("Early", earlier)
                            .Time("Late", FixedNow())
                            .CreatedAt(earlier)
                            .ModifiedAt(FixedNow());
  EXPECT_TRUE(Selects("Early < Late", note));
  EXPECT_TRUE(Selects("@Created = Early & @Modified = Late", note));
  EXPECT_TRUE(Selects("@Modified > @Created", note));
  // A time word meaning "any time" counts as midnight of that day.
  const TimeDate day = FixedNow();
  const FakeNote anyTime = FakeNote()
                               .Time("D", TimeDate{kAnyTime, day.date})
                               .CreatedAt(TimeDate{0, day.date});
  EXPECT_TRUE(Selects("D = @Created", anyTime));
}

TEST(FormulaOperators, LogicTakesNumbersAndGivesOneOrZero) {
  EXPECT_EQ(NumberOf("1 & 2"), 1);
  EXPECT_EQ(NumberOf("0 | -3"), 1);
  EXPECT_EQ(NumberOf("0 | 0"), 0);
  EXPECT_EQ(NumberOf("!0"), 1);
  EXPECT_EQ(NumberOf("!7"), 0);
  EXPECT_EQ(NumberOf("@True & !@False"), 1);
  EXPECT_EQ(ValueOf("\"a\" & 1", FakeNote()).kind, FormulaValue::Kind::kError);
  EXPECT_EQ(ValueOf("!\"a\"", FakeNote()).kind, FormulaValue::Kind::kError);
  EXPECT_EQ(ValueOf("-\"a\"", FakeNote()).kind, FormulaValue::Kind::kError);
}

TEST(FormulaOperators, PrecedenceFollowsTheFormulaLanguage) {
  // '&' and '|' share one level and group from the left.
  EXPECT_EQ(NumberOf("1 | 0 & 0"), 0);
  EXPECT_EQ(NumberOf("1 | (0 & 0)"), 1);
  // '!' binds more loosely than a comparison.
  EXPECT_EQ(NumberOf("!1 = 2"), 1);
  // Unary minus binds more tightly than a comparison.
  EXPECT_EQ(NumberOf("-1 < 0"), 1);
  EXPECT_EQ(NumberOf("--2 = 2"), 1);
  EXPECT_EQ(NumberOf("1 < 2 = 1"), 1);
}

TEST(FormulaStatements, LastSelectDecidesOtherwiseTheLastValue) {
  EXPECT_TRUE(Selects("SELECT 0; SELECT 1"));
  EXPECT_FALSE(Selects("SELECT 1; SELECT 0"));
  EXPECT_TRUE(Selects("SELECT 1; 0"));
  EXPECT_TRUE(Selects("0; 1"));
  EXPECT_FALSE(Selects("1; 0"));
  EXPECT_FALSE(Selects("\"text\""));
  EXPECT_FALSE(Selects("@Now"));
  EXPECT_FALSE(Selects("SELECT \"1\""));
  EXPECT_TRUE(Selects(";;SELECT @All;;"));
  EXPECT_TRUE(Selects("REM \"why\"; SELECT @All"));
}

TEST(FormulaStatements, AFailingStatementFailsTheFormula) {
  EXPECT_FALSE(Selects("1 = \"a\"; SELECT @All"));
  EXPECT_FALSE(Selects("SELECT @All; 1 = \"a\""));
}

TEST(FormulaText, EscapesTakeTheNextCharacterLiterally) {
  const FakeNote note = FakeNote().Text("Q", "say \"hi\" \\ bye");
  EXPECT_TRUE(Selects("Q = \"say \\\"hi\\\" \\\\ bye\"", note));
  EXPECT_EQ(ValueOf("\"a\\b\"", FakeNote()).texts,
            std::vector<std::string>{"ab"});
  EXPECT_EQ(ValueOf("\"line\nbreak\"", FakeNote()).texts,
            std::vector<std::string>{"line\nbreak"});
}

TEST(FormulaAdjust, MovesTheCalendarAndTheClock) {
  const FakeNote note = FakeNote().CreatedAt(FixedNow());
  const FormulaValue v = ValueOf("@Adjust(@Created; 0; 0; 1; 2; -10; 5)", note);
  ASSERT_EQ(v.kind, FormulaValue::Kind::kTime);
  EXPECT_EQ(UnixCentisFromTimeDate(v.time),
            UnixCentisFromTimeDate(FixedNow()) +
                (86400LL + 2 * 3600 - 600 + 5) * 100);
  // 2024-01-31 plus one month is clamped to 2024-02-29.
  const TimeDate jan31 = TimeDateFromUnixCentis(19753LL * 86400 * 100);
  const FormulaValue m =
      ValueOf("@Adjust(D; 0; 1; 0; 0; 0; 0)", FakeNote().Time("D", jan31));
  ASSERT_EQ(m.kind, FormulaValue::Kind::kTime);
  EXPECT_EQ(m.time, TimeDateFromUnixCentis(19782LL * 86400 * 100));
}

TEST(FormulaAdjust, RefusesWrongArguments) {
  const FakeNote note = FakeNote().Text("T", "5").Number("N", 1);
  for (const char* text :
       {"@Adjust(T; 0; 0; 0; 0; 0; 0)", "@Adjust(@Now; T; 0; 0; 0; 0; 0)",
        "@Adjust(@Now; 0; 0; 0; 0; 0; 1e300)",
        "@Adjust(N; 0; 0; 0; 0; 0; 0)"}) {
    EXPECT_EQ(ValueOf(text, note).kind, FormulaValue::Kind::kError) << text;
  }
}

TEST(FormulaAdjust, TruncatesFractionalAmounts) {
  const FormulaValue v =
      ValueOf("@Adjust(@Now; 0; 0; 0; 0; 1.9; -0.9)", FakeNote());
  ASSERT_EQ(v.kind, FormulaValue::Kind::kTime);
  EXPECT_EQ(UnixCentisFromTimeDate(v.time),
            UnixCentisFromTimeDate(FixedNow()) + 6000);
}

TEST(FormulaValues, TurnIntoItemsAsTheStoreLaysThemOut) {
  const FakeNote note = FakeNote().List("L", {"a", "b"}).Number("N", 3);
  uint16_t type = 0;
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(ValueOf("L", note).ToItem(&type, &bytes).ok());
  EXPECT_EQ(type, kTypeTextList);
  EXPECT_EQ(bytes, item::EncodeTextList({"a", "b"}));
  ASSERT_TRUE(ValueOf("\"x\"", note).ToItem(&type, &bytes).ok());
  EXPECT_EQ(type, kTypeText);
  EXPECT_EQ(bytes, item::EncodeText("x"));
  ASSERT_TRUE(ValueOf("N", note).ToItem(&type, &bytes).ok());
  EXPECT_EQ(type, kTypeNumber);
  ASSERT_TRUE(ValueOf("@Now", note).ToItem(&type, &bytes).ok());
  EXPECT_EQ(type, kTypeTime);
  EXPECT_EQ(bytes, item::EncodeTime(FixedNow()));
  EXPECT_TRUE(
      ValueOf("N = \"x\"", note).ToItem(&type, &bytes).Is(err::kWrongItemType));
}

}  // namespace
}  // namespace vt::formula
