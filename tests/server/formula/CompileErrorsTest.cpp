// Compile errors: what is refused and where the error points. The console
// shows the offset and length, so they must land on the offending text.
#include <gtest/gtest.h>

#include <string>

#include "FormulaTesting.h"

namespace vt::formula {
namespace {

CompileError ErrorOf(std::string_view text, std::string_view column = "") {
  std::vector<uint8_t> blob = {0xAB};
  CompileError error;
  const Status s = CompileFormula(column, text, &blob, &error);
  EXPECT_FALSE(s.ok()) << text;
  EXPECT_EQ(s, error.code) << text;
  EXPECT_EQ(blob, std::vector<uint8_t>{0xAB}) << "blob changed by a failure";
  EXPECT_FALSE(error.message.empty());
  return error;
}

void ExpectSyntaxError(std::string_view text, uint32_t offset,
                       uint32_t length) {
  const CompileError e = ErrorOf(text);
  EXPECT_TRUE(e.code.Is(err::kFormulaSyntax)) << text;
  EXPECT_EQ(e.offset, offset) << text << ": " << e.message;
  EXPECT_EQ(e.length, length) << text << ": " << e.message;
}

TEST(CompileErrors, UnterminatedTextRunsToTheEnd) {
  ExpectSyntaxError("SELECT Subject = \"abc", 17, 4);
  ExpectSyntaxError("SELECT Subject = \"ab\\\"", 17, 5);
  ExpectSyntaxError("\"", 0, 1);
}

TEST(CompileErrors, UnknownFunctionPointsAtItsName) {
  ExpectSyntaxError("SELECT @Foo(1)", 7, 4);
  ExpectSyntaxError("SELECT @Createdd < @Now", 7, 9);
  ExpectSyntaxError("SELECT A = @", 11, 1);
}

TEST(CompileErrors, MissingParenthesisPointsWhereItIsExpected) {
  const std::string text =
      "SELECT ((Kesto_Router = \"M\") & (VeltraneVerified = \"1\")";
  ExpectSyntaxError(text, static_cast<uint32_t>(text.size()), 0);
  ExpectSyntaxError("SELECT (A = \"1\" B", 16, 1);
  const std::string adjust = "@Adjust(@Now; 0; 0; 0; 0; -10; 0";
  ExpectSyntaxError(adjust, static_cast<uint32_t>(adjust.size()), 0);
  ExpectSyntaxError("@Adjust @Now", 8, 4);
}

TEST(CompileErrors, TrailingGarbageIsRefused) {
  ExpectSyntaxError("SELECT @All xyz", 12, 3);
  ExpectSyntaxError("SELECT (A = \"1\"))", 16, 1);
  ExpectSyntaxError("A = \"1\" \"2\"", 8, 3);
  ExpectSyntaxError("SELECT @All # note", 12, 1);
  ExpectSyntaxError("@Now()", 4, 1);
}

TEST(CompileErrors, ArgumentCountsAreChecked) {
  ExpectSyntaxError("@Adjust(@Now; 0; 0)", 0, 7);
  ExpectSyntaxError("@Adjust(@Now; 0; 0; 0; 0; 0; 0; 0)", 30, 1);
  ExpectSyntaxError("@Adjust()", 8, 1);
}

TEST(CompileErrors, OperatorsOutsideTheLanguageAreRefused) {
  ExpectSyntaxError("X := 1", 2, 1);
  ExpectSyntaxError("1 + 1", 2, 1);
  ExpectSyntaxError("A = {x}", 4, 1);
  ExpectSyntaxError("SELECT", 6, 0);
  ExpectSyntaxError("SELECT A =", 10, 0);
  ExpectSyntaxError("A = & B", 4, 1);
}

TEST(CompileErrors, KeywordsAreNoItemNames) {
  ExpectSyntaxError("SELECT select = \"1\"", 7, 6);
  ExpectSyntaxError("FIELD X := 1", 0, 5);
  ExpectSyntaxError("REM 5", 4, 1);
}

TEST(CompileErrors, EmptyFormulasAreRefused) {
  ExpectSyntaxError("", 0, 0);
  ExpectSyntaxError("  ;  ;", 0, 6);
  ExpectSyntaxError("REM \"nothing\"", 0, 13);
}

TEST(CompileErrors, LineAndColumnCountFromOne) {
  const CompileError e = ErrorOf("SELECT\n  (A = \"1\")\n  & @Bad");
  EXPECT_EQ(e.line, 3u);
  EXPECT_EQ(e.column, 5u);
  EXPECT_EQ(e.offset, 23u);
  EXPECT_EQ(e.length, 4u);
  const CompileError first = ErrorOf("?");
  EXPECT_EQ(first.line, 1u);
  EXPECT_EQ(first.column, 1u);
}

TEST(CompileErrors, NumbersOutOfRangeAreRefused) {
  ExpectSyntaxError("X = 1e999", 4, 5);
}

TEST(CompileLimits, DeepNestingIsAnErrorNotAStackOverflow) {
  for (char open : {'(', '!', '-'}) {
    std::string text(10000, open);
    text += "1";
    if (open == '(') text += std::string(10000, ')');
    const CompileError e = ErrorOf(text);
    EXPECT_TRUE(e.code.Is(err::kFormulaSyntax)) << open;
    EXPECT_EQ(e.offset, static_cast<uint32_t>(kMaxNesting)) << open;
    EXPECT_EQ(e.length, 1u) << open;
  }
  std::string nested = "@Now";
  for (int i = 0; i < 20; ++i) {
    nested = "@Adjust(" + nested + "; 0; 0; 0; 0; 0; 0)";
  }
  nested = "0; 0; 0; 0; 0; 0; " + nested;  // statements keep nothing
  ASSERT_LT(nested.size(), 1000u);
  std::vector<uint8_t> blob;
  CompileError error;
  EXPECT_TRUE(CompileFormula("", nested, &blob, &error).ok());
  std::string wide = "1";
  for (int i = 0; i < 20; ++i)
    wide = "@Adjust(@Now; 0; 0; 0; 0; 0; " + wide + ")";
  EXPECT_TRUE(CompileFormula("", wide, &blob, &error).Is(err::kFormulaSyntax));
  EXPECT_EQ(error.message, "formula too complex");
}

TEST(CompileLimits, NestingJustWithinTheLimitCompiles) {
  const std::string text =
      std::string(kMaxNesting, '(') + "1" + std::string(kMaxNesting, ')');
  EXPECT_TRUE(
      testing::Program(text).Selects(testing::FakeNote(), testing::FixedNow()));
}

TEST(CompileLimits, OversizedFormulasAreRefused) {
  const std::string longText(kMaxFormulaSize + 1, ' ');
  EXPECT_TRUE(ErrorOf(longText).code.Is(err::kItemTooLarge));

  // The text fits, but the compiled code of a long literal does not.
  const std::string literal =
      "\"" + std::string(kMaxFormulaSize - 2, 'a') + "\"";
  ASSERT_EQ(literal.size(), kMaxFormulaSize);
  EXPECT_TRUE(ErrorOf(literal).code.Is(err::kItemTooLarge));

  std::string chain = "1";
  while (chain.size() + 2 <= 20000) chain += "&1";
  EXPECT_TRUE(ErrorOf(chain).code.Is(err::kItemTooLarge));

  const std::string name = "A" + std::string(kMaxNameLength, 'b');
  EXPECT_TRUE(ErrorOf(name).code.Is(err::kFormulaSyntax));
  EXPECT_TRUE(ErrorOf("@All", std::string(kMaxNameLength + 1, 'c'))
                  .code.Is(err::kInvalidArgument));
}

TEST(CompileLimits, LongFormulasWithinTheLimitCompile) {
  std::string chain = "1";
  while (chain.size() + 2 <= 10000) chain += "&1";
  EXPECT_TRUE(testing::Program(chain).Selects(testing::FakeNote(),
                                              testing::FixedNow()));
  const std::string literal = "X = \"" + std::string(60000, 'a') + "\"";
  EXPECT_TRUE(testing::Program(literal).Selects(
      testing::FakeNote().Text("X", std::string(60000, 'a')),
      testing::FixedNow()));
}

}  // namespace
}  // namespace vt::formula
