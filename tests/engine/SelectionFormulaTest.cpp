// The selection formulas: the holder's compile and free cycle, how a formula
// that does not compile is reported, and what each of the router's formulas
// selects among messages in every state a message can be in.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/NoteIdTable.h"
#include "engine/RouterEngine.h"
#include "engine/SelectionFormula.h"
#include "support/EngineRig.h"
#include "support/MailMessages.h"

namespace vt {
namespace {

using testing::DepositMessage;
using testing::EngineRig;
using testing::Items;
using testing::kMailBox;
using Names = std::vector<std::string>;

// ---- The holder
// ---------------------------------------------------------------

class SelectionFormulaTest : public ::testing::Test {
 protected:
  EngineRig rig_;
};

TEST_F(SelectionFormulaTest, EmptyTextChangesNothing) {
  SelectionFormula formula(rig_.notes);
  EXPECT_EQ(formula.Compile(nullptr), Status());
  EXPECT_EQ(formula.Compile(""), Status());
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kCompileFormula), 0);
  EXPECT_FALSE(formula.IsCompiled());
  EXPECT_FALSE(static_cast<bool>(formula.formulaHandle));
}

TEST_F(SelectionFormulaTest, CompileFreeAndCompileAgain) {
  SelectionFormula formula(rig_.notes);
  ASSERT_EQ(formula.Compile(kSlotFormulas[kSlotMail]), Status());
  EXPECT_TRUE(formula.IsCompiled());
  EXPECT_EQ(formula.formulaFlags, kFormulaCompiledFlag);
  EXPECT_TRUE(static_cast<bool>(formula.formulaHandle));
  EXPECT_GT(formula.compiledLength, 0);
  EXPECT_EQ(rig_.notes.memoryBlocks(), 1);

  formula.Free();
  EXPECT_EQ(rig_.notes.memoryBlocks(), 0);
  EXPECT_FALSE(formula.IsCompiled());
  EXPECT_EQ(formula.compiledLength, 0);
  EXPECT_FALSE(static_cast<bool>(formula.formulaHandle));
  const int frees = rig_.notes.Calls(NotesOp::kFreeMemory);
  formula.Free();
  EXPECT_EQ(rig_.notes.Calls(NotesOp::kFreeMemory), frees)
      << "a second free is a no-op";

  ASSERT_EQ(formula.Compile(kSlotFormulas[kSlotHeld]), Status());
  EXPECT_TRUE(formula.IsCompiled());
  EXPECT_EQ(rig_.notes.memoryBlocks(), 1);
}

TEST_F(SelectionFormulaTest, DestroyingAHolderFreesItsFormula) {
  {
    SelectionFormula formula(rig_.notes);
    ASSERT_EQ(formula.Compile(kSlotFormulas[kSlotMail]), Status());
  }
  EXPECT_EQ(rig_.notes.memoryBlocks(), 0);
}

TEST_F(SelectionFormulaTest, FormulaThatDoesNotCompileIsReportedWithItsPlace) {
  SelectionFormula formula(rig_.notes);
  const size_t mark = rig_.LogSize();
  const Status result = formula.Compile("SELECT ((Kesto_Router = \"M\") & ");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(formula.status, result.value());
  EXPECT_NE(formula.compileError, 0);
  EXPECT_FALSE(formula.IsCompiled());
  EXPECT_FALSE(static_cast<bool>(formula.formulaHandle));
  EXPECT_EQ(rig_.notes.memoryBlocks(), 0);
  const std::string expected =
      "VTRouter: Error compiling formula.  Error offset " +
      std::to_string(formula.errorOffset) + ".  Error length " +
      std::to_string(formula.errorLength) + ".";
  const std::vector<std::string> log = rig_.LogSince(mark);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind(expected, 0), 0u) << log[0];
  EXPECT_GT(log[0].size(), expected.size()) << "the compile error's text";
  EXPECT_GT(formula.errorOffset, 0) << "the server points into the text";

  // A failed holder compiles again once given good text.
  ASSERT_EQ(formula.Compile(kSlotFormulas[kSlotMail]), Status());
  EXPECT_EQ(formula.status, 0);
}

// ---- What each formula selects
// ------------------------------------------------

// Every state a message can be in, named by its identifier.
const std::vector<std::pair<std::string, Items>> kStates = {
    {"unverified", {}},
    {"noProcess", {{"VeltraneProcess", ""}}},
    {"heldNoProcess", {{"VeltraneProcess", ""}, {"RoutingState", "HOLD"}}},
    {"heldProcess", {{"RoutingState", "HOLD"}}},
    {"deadProcess", {{"RoutingState", "DEAD"}}},
    {"deadNoProcess", {{"VeltraneProcess", ""}, {"RoutingState", "DEAD"}}},
    {"verifiedZero", {{"VeltraneVerified", "0"}}},
    {"routeOnly", {{"Kesto_Router", "B"}}},
    {"M", {{"VeltraneVerified", "1"}, {"Kesto_Router", "M"}}},
    {"B", {{"VeltraneVerified", "1"}, {"Kesto_Router", "B"}}},
    {"C", {{"VeltraneVerified", "1"}, {"Kesto_Router", "C"}}},
    {"D", {{"VeltraneVerified", "1"}, {"Kesto_Router", "D"}}},
    {"heldM",
     {{"VeltraneVerified", "1"},
      {"Kesto_Router", "M"},
      {"RoutingState", "HOLD"}}},
    {"deadM",
     {{"VeltraneVerified", "1"},
      {"Kesto_Router", "M"},
      {"RoutingState", "DEAD"}}},
};

class FormulaSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(rig_.Start(), 0);
    for (const auto& [id, extra] : kStates) {
      DepositMessage(rig_.server(), kMailBox, id, extra);
    }
  }

  // The identifiers of the messages the compiled formula selects, sorted.
  Names Selected(MemHandle formula) {
    CollectStage stage;
    EXPECT_EQ(
        CollectMatchingNotes(rig_.notes, rig_.engine.idTable,
                             rig_.engine.mailboxHandles[0], formula, &stage),
        Status());
    Names names;
    uint32_t id = 0;
    for (bool more = rig_.notes.ScanIds(rig_.engine.idTable, true, &id); more;
         more = rig_.notes.ScanIds(rig_.engine.idTable, false, &id)) {
      names.push_back(
          testing::TextItem(rig_.server(), kMailBox, id, "VTMessageId"));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  Names Slot(int slot) {
    return Selected(rig_.engine.formulas[slot]->formulaHandle);
  }

  EngineRig rig_;
};

TEST_F(FormulaSelectionTest, DeliveryFormulasTakeVerifiedMessagesByRoute) {
  EXPECT_EQ(Slot(kSlotMail), (Names{"M", "deadM", "heldM"}));
  EXPECT_EQ(Slot(kSlotSpamB), Names{"B"});
  EXPECT_EQ(Slot(kSlotSpamC), Names{"C"});
  EXPECT_EQ(Slot(kSlotSpamD), Names{"D"});
}

TEST_F(FormulaSelectionTest, InterceptionTakesUnverifiedMailToBeProcessed) {
  EXPECT_EQ(Slot(kSlotIntercept),
            (Names{"deadProcess", "heldProcess", "routeOnly", "unverified",
                   "verifiedZero"}));
  EXPECT_EQ(Slot(kSlotDeadMail), Names{"deadProcess"});
}

TEST_F(FormulaSelectionTest, HoldRemovalTakesVerifiedHeldMessagesOnly) {
  EXPECT_EQ(Slot(kSlotHeld), Names{"heldM"});
}

TEST_F(FormulaSelectionTest, AlternativeInterceptionTakesUnverifiedHeldMail) {
  SelectionFormula formula(rig_.notes);
  ASSERT_EQ(formula.Compile(kHoldInterceptFormula), Status());
  EXPECT_EQ(Selected(formula.formulaHandle),
            (Names{"heldNoProcess", "heldProcess"}));
}

TEST_F(FormulaSelectionTest, ReleaseTakesUnverifiedMessagesOlderThanTheTime) {
  EXPECT_FALSE(rig_.engine.formulas[kSlotRelease]->IsCompiled());
  rig_.engine.config->releaseMinutes = 10;
  ASSERT_EQ(CompileReleaseFormula(rig_.engine), Status());
  EXPECT_EQ(Slot(kSlotRelease), Names{});
  rig_.world.clock().AdvanceMillis(10 * 60 * 1000 + 10);
  EXPECT_EQ(
      Slot(kSlotRelease),
      (Names{"deadNoProcess", "deadProcess", "heldNoProcess", "heldProcess",
             "noProcess", "routeOnly", "unverified", "verifiedZero"}));
}

TEST_F(FormulaSelectionTest, ReleaseTimeOfManyMinutesFitsTheFormulaText) {
  rig_.engine.config->releaseMinutes = 4000000000u;
  ASSERT_EQ(CompileReleaseFormula(rig_.engine), Status());
  EXPECT_EQ(Slot(kSlotRelease), Names{});
}

}  // namespace
}  // namespace vt
