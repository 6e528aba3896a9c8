// Compiled formula blobs: a blob read back from an item may be damaged in
// any way, and decoding must refuse it, never crash or loop. Also the edits
// that build a view's formula: summary names and merged columns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FormulaTesting.h"
#include "server/formula/FormulaBlob.h"

namespace vt::formula {
namespace {

using testing::Compiled;
using testing::FakeNote;
using testing::FixedNow;

constexpr const char* kRelease =
    "SELECT ((@Created < @Adjust( @Now; 0; 0; 0; 0; -10; 0)) & "
    "(VeltraneVerified != \"1\"))";

void Reseal(std::vector<uint8_t>* blob) {
  if (blob->size() < kBlobHeaderSize) return;
  const uint32_t crc = FormulaChecksum(*blob);
  for (int i = 0; i < 4; ++i) {
    (*blob)[kBlobChecksumOffset + i] = static_cast<uint8_t>(crc >> (8 * i));
  }
}

Status Decode(const std::vector<uint8_t>& blob) {
  FormulaProgram p;
  return DecodeFormula(blob, &p);
}

// A blob with the given selection code, well formed around it.
std::vector<uint8_t> WithSelectionCode(const std::vector<uint8_t>& code) {
  BlobParts parts;
  parts.hasSelection = true;
  parts.selection = code;
  std::vector<uint8_t> blob;
  EXPECT_TRUE(BuildFormulaBlob(parts, &blob).ok());
  return blob;
}

std::vector<uint8_t> ViewFormula() {
  std::vector<uint8_t> view = Compiled("SELECT Form = \"Memo\"");
  EXPECT_TRUE(AddSummaryName(&view, "Subject").ok());
  EXPECT_TRUE(MergeFormulas(Compiled("@Created", "Created"), &view).ok());
  EXPECT_TRUE(MergeFormulas(Compiled("SendTo", "SendTo"), &view).ok());
  return view;
}

// The checksum is the standard CRC-32 over the blob without its own field:
// blobs already stored in databases must still check.
TEST(FormulaBlob, ChecksumIsTheStandardCrc32WithoutItsField) {
  std::vector<uint8_t> blob = {'1', '2',  '3',  '4',  '5',  '6', '7',
                               '8', 0xAA, 0xBB, 0xCC, 0xDD, '9'};
  EXPECT_EQ(FormulaChecksum(blob), 0xCBF43926u);
  blob.resize(kBlobChecksumOffset + 4);
  EXPECT_EQ(FormulaChecksum(blob), 0x9AE0DAAFu);  // CRC-32 of "12345678"
}

TEST(FormulaBlob, RoundTripsAndReportsItsSize) {
  const std::vector<uint8_t> blob = Compiled(kRelease);
  FormulaProgram p;
  ASSERT_TRUE(DecodeFormula(blob, &p).ok());
  EXPECT_TRUE(p.HasSelection());
  uint16_t size = 0;
  ASSERT_TRUE(GetFormulaSize(blob, &size).ok());
  EXPECT_EQ(size, blob.size());
  EXPECT_EQ(blob[0], 'V');
  EXPECT_EQ(blob[4], kBlobVersion);
}

TEST(FormulaBlob, EveryTruncationIsRefused) {
  for (const std::vector<uint8_t>& blob : {Compiled(kRelease), ViewFormula()}) {
    for (size_t n = 0; n < blob.size(); ++n) {
      const std::vector<uint8_t> cut(blob.begin(), blob.begin() + n);
      EXPECT_TRUE(Decode(cut).Is(err::kFormulaCorrupt)) << n;
      uint16_t size;
      EXPECT_FALSE(GetFormulaSize(cut, &size).ok()) << n;
    }
  }
}

TEST(FormulaBlob, EverySingleByteChangeIsRefused) {
  for (const std::vector<uint8_t>& blob : {Compiled(kRelease), ViewFormula()}) {
    for (size_t i = 0; i < blob.size(); ++i) {
      for (uint8_t flip : {0x01, 0x80, 0xFF}) {
        std::vector<uint8_t> damaged = blob;
        damaged[i] ^= flip;
        EXPECT_TRUE(Decode(damaged).Is(err::kFormulaCorrupt))
            << i << " ^ " << int{flip};
      }
    }
  }
}

// With the checksum made right again, the structure checks alone must hold:
// whatever decodes must also evaluate without harm.
TEST(FormulaBlob, ResealedDamageNeverCrashes) {
  const FakeNote note = FakeNote()
                            .Text("VeltraneVerified", "0")
                            .List("SendTo", {"a", "b"})
                            .Text("Form", "Memo")
                            .CreatedAt(FixedNow());
  for (const std::vector<uint8_t>& blob : {Compiled(kRelease), ViewFormula()}) {
    int decoded = 0;
    for (size_t i = 0; i < blob.size(); ++i) {
      if (i >= kBlobChecksumOffset && i < kBlobChecksumOffset + 4) continue;
      for (int value = 0; value < 256; ++value) {
        std::vector<uint8_t> damaged = blob;
        damaged[i] = static_cast<uint8_t>(value);
        Reseal(&damaged);
        FormulaProgram p;
        const Status s = DecodeFormula(damaged, &p);
        if (!s.ok()) {
          EXPECT_TRUE(s.Is(err::kFormulaCorrupt));
          continue;
        }
        ++decoded;
        p.Selects(note, FixedNow());
        p.ColumnValues(note, FixedNow());
      }
    }
    EXPECT_GT(decoded,
              static_cast<int>(blob.size()));  // the originals at least
  }
}

TEST(FormulaBlob, AbsurdLengthsAndCountsAreRefused) {
  const std::vector<uint8_t> blob = ViewFormula();
  struct Patch {
    size_t offset;
    uint16_t value;
  };
  for (Patch patch :
       {Patch{kBlobLengthOffset, 0xFFFF}, Patch{12, 0xFFFF}, Patch{12, 0},
        Patch{14, 0xFFFF}, Patch{16, 0xFFFF}, Patch{14, 0}, Patch{16, 0}}) {
    std::vector<uint8_t> damaged = blob;
    damaged[patch.offset] = static_cast<uint8_t>(patch.value);
    damaged[patch.offset + 1] = static_cast<uint8_t>(patch.value >> 8);
    Reseal(&damaged);
    EXPECT_TRUE(Decode(damaged).Is(err::kFormulaCorrupt)) << patch.offset;
  }
  std::vector<uint8_t> longer = blob;
  longer.push_back(0);
  longer[kBlobLengthOffset] = static_cast<uint8_t>(longer.size());
  longer[kBlobLengthOffset + 1] = static_cast<uint8_t>(longer.size() >> 8);
  Reseal(&longer);
  EXPECT_TRUE(Decode(longer).Is(err::kFormulaCorrupt));
  std::vector<uint8_t> huge(70000, 0);
  std::copy(blob.begin(), blob.end(), huge.begin());
  EXPECT_TRUE(Decode(huge).Is(err::kFormulaCorrupt));
  EXPECT_TRUE(Decode({}).Is(err::kFormulaCorrupt));
}

TEST(FormulaBlob, WrongMagicVersionOrFlagsAreRefused) {
  for (size_t offset : {size_t{0}, size_t{3}, size_t{4}, size_t{5}}) {
    std::vector<uint8_t> damaged = Compiled("@All");
    damaged[offset] ^= 0x02;
    Reseal(&damaged);
    EXPECT_TRUE(Decode(damaged).Is(err::kFormulaCorrupt)) << offset;
  }
}

TEST(FormulaBlob, BadCodeIsRefused) {
  const std::vector<uint8_t> one = {kOpNumber, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  EXPECT_TRUE(Decode(WithSelectionCode(one)).ok());
  std::vector<uint8_t> tooDeep;
  for (int i = 0; i <= kMaxStack; ++i) tooDeep.push_back(kOpTrue);
  for (int i = 0; i < kMaxStack; ++i) tooDeep.push_back(kOpAnd);
  const std::vector<std::vector<uint8_t>> bad = {
      {kOpEqual},                                 // nothing to compare
      {kOpTrue, kOpTrue},                         // two values left
      {kOpTrue, kOpDiscard},                      // none left
      {0x7F},                                     // no such instruction
      {kOpText, 5, 0, 'a'},                       // operand past the end
      {kOpText},                                  // length cut off
      {kOpItem, 0},                               // empty name
      {kOpItem, 2, '1', 'a'},                     // name starting with digit
      {kOpItem, 1, ' '},                          // not a name character
      {kOpNumber, 0, 0, 0, 0, 0, 0, 0xF8, 0x7F},  // NaN
      {kOpNumber, 0, 0, 0, 0, 0, 0, 0xF0, 0x7F},  // infinity
      {kOpNumber, 0, 0},                          // cut off
      join({kOpNow, kOpTrue, kOpTrue, kOpTrue, kOpTrue, kOpTrue}, {kOpAdjust}),
      tooDeep,
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_TRUE(Decode(WithSelectionCode(bad[i])).Is(err::kFormulaCorrupt))
        << i;
  }
}

TEST(FormulaBlob, DuplicateNamesAreRefused) {
  const std::vector<uint8_t> code = {kOpNow};
  BlobParts parts;
  parts.columns.push_back({"Created", code, 0});
  parts.summaryNames.push_back("created");
  std::vector<uint8_t> blob;
  EXPECT_TRUE(BuildFormulaBlob(parts, &blob).Is(err::kInvalidArgument));
  // Written by hand, past the builder's check.
  parts.summaryNames.clear();
  ASSERT_TRUE(BuildFormulaBlob(parts, &blob).ok());
  blob.push_back(7);
  for (char c : std::string("CREATED")) blob.push_back(static_cast<uint8_t>(c));
  blob[16] = 1;
  blob[kBlobLengthOffset] = static_cast<uint8_t>(blob.size());
  Reseal(&blob);
  EXPECT_TRUE(Decode(blob).Is(err::kFormulaCorrupt));
}

TEST(FormulaViews, SummaryNamesAndMergedColumnsGiveColumnValues) {
  FormulaProgram p;
  ASSERT_TRUE(DecodeFormula(ViewFormula(), &p).ok());
  const TimeDate created = testing::MinutesBefore(FixedNow(), 5);
  const FakeNote note = FakeNote()
                            .Text("Form", "Memo")
                            .Text("Subject", "Hello")
                            .List("SendTo", {"a@example.com", "b@example.com"})
                            .CreatedAt(created);
  EXPECT_TRUE(p.Selects(note, FixedNow()));
  EXPECT_FALSE(p.Selects(FakeNote().Text("Form", "Other"), FixedNow()));
  const std::vector<ColumnValue> values = p.ColumnValues(note, FixedNow());
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "Created");
  ASSERT_EQ(values[0].value.kind, FormulaValue::Kind::kTime);
  EXPECT_EQ(values[0].value.time, created);
  EXPECT_EQ(values[1].name, "SendTo");
  EXPECT_EQ(values[1].value.texts,
            (std::vector<std::string>{"a@example.com", "b@example.com"}));
  EXPECT_EQ(values[2].name, "Subject");
  EXPECT_EQ(values[2].value.texts, std::vector<std::string>{"Hello"});
  const std::vector<ColumnValue> empty = p.ColumnValues(FakeNote(), FixedNow());
  ASSERT_EQ(empty.size(), 3u);
  EXPECT_EQ(empty[2].value.texts, std::vector<std::string>{""});
}

TEST(FormulaViews, AColumnReplacesASummaryNameOfTheSameName) {
  std::vector<uint8_t> view = Compiled("SELECT @All");
  ASSERT_TRUE(AddSummaryName(&view, "Created").ok());
  ASSERT_TRUE(MergeFormulas(Compiled("@Created", "created"), &view).ok());
  ASSERT_TRUE(MergeFormulas(Compiled("@Modified", "CREATED"), &view).ok());
  ASSERT_TRUE(AddSummaryName(&view, "Created").ok());
  FormulaProgram p;
  ASSERT_TRUE(DecodeFormula(view, &p).ok());
  const TimeDate modified = testing::MinutesBefore(FixedNow(), 1);
  const std::vector<ColumnValue> values =
      p.ColumnValues(FakeNote().ModifiedAt(modified), FixedNow());
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "CREATED");
  EXPECT_EQ(values[0].value.time, modified);
}

TEST(FormulaViews, AddingAKnownSummaryNameChangesNothing) {
  std::vector<uint8_t> view = ViewFormula();
  const std::vector<uint8_t> before = view;
  EXPECT_TRUE(AddSummaryName(&view, "SUBJECT").ok());
  EXPECT_TRUE(AddSummaryName(&view, "sendto").ok());
  EXPECT_EQ(view, before);
  EXPECT_TRUE(AddSummaryName(&view, "").Is(err::kInvalidArgument));
  EXPECT_TRUE(
      AddSummaryName(&view, std::string(256, 'x')).Is(err::kInvalidArgument));
  EXPECT_EQ(view, before);
}

TEST(FormulaViews, MergeTakesASelectionOnlyWhereThereIsNone) {
  std::vector<uint8_t> columnsOnly = Compiled("Subject", "Subject");
  FormulaProgram p;
  ASSERT_TRUE(DecodeFormula(columnsOnly, &p).ok());
  EXPECT_FALSE(p.HasSelection());
  EXPECT_TRUE(p.Selects(FakeNote(), FixedNow()));

  ASSERT_TRUE(
      MergeFormulas(Compiled("SELECT Form = \"Memo\""), &columnsOnly).ok());
  ASSERT_TRUE(DecodeFormula(columnsOnly, &p).ok());
  EXPECT_TRUE(p.HasSelection());
  EXPECT_FALSE(p.Selects(FakeNote(), FixedNow()));
  EXPECT_EQ(p.ColumnNames(), std::vector<std::string>{"Subject"});

  const std::vector<uint8_t> before = columnsOnly;
  EXPECT_TRUE(
      MergeFormulas(Compiled("@All"), &columnsOnly).Is(err::kInvalidArgument));
  EXPECT_EQ(columnsOnly, before);
}

TEST(FormulaViews, MergeRefusesDamageAndOversizeLeavingTheTargetAlone) {
  std::vector<uint8_t> view = ViewFormula();
  const std::vector<uint8_t> before = view;
  std::vector<uint8_t> damaged = Compiled("@Now", "Now");
  damaged.back() ^= 1;
  EXPECT_TRUE(MergeFormulas(damaged, &view).Is(err::kFormulaCorrupt));
  EXPECT_EQ(view, before);

  const std::string big = "\"" + std::string(40000, 'x') + "\"";
  ASSERT_TRUE(MergeFormulas(Compiled(big, "Big1"), &view).ok());
  const std::vector<uint8_t> withOne = view;
  EXPECT_TRUE(
      MergeFormulas(Compiled(big, "Big2"), &view).Is(err::kItemTooLarge));
  EXPECT_EQ(view, withOne);

  std::vector<uint8_t> notABlob = {1, 2, 3};
  EXPECT_TRUE(
      MergeFormulas(Compiled("@All", "A"), &notABlob).Is(err::kFormulaCorrupt));
  EXPECT_TRUE(AddSummaryName(&notABlob, "A").Is(err::kFormulaCorrupt));
}

TEST(FormulaPrograms, ReportTheItemsTheyRead) {
  FormulaProgram p;
  ASSERT_TRUE(DecodeFormula(ViewFormula(), &p).ok());
  EXPECT_EQ(p.SelectionItems(), std::vector<std::string>{"Form"});
  EXPECT_EQ(p.ReferencedItems(),
            (std::vector<std::string>{"Form", "SendTo", "Subject"}));
  const FormulaProgram release = testing::Program(
      "SELECT (A = \"1\") & (a != \"2\") & (VeltraneVerified = B)");
  EXPECT_EQ(release.SelectionItems(),
            (std::vector<std::string>{"A", "VeltraneVerified", "B"}));
}

TEST(FormulaPrograms, CopiesEvaluateLikeTheOriginal) {
  FormulaProgram copy;
  {
    const FormulaProgram original =
        testing::Program("SELECT Kesto_Router = \"M\"");
    copy = original;
  }
  EXPECT_TRUE(copy.Selects(FakeNote().Text("Kesto_Router", "M"), FixedNow()));
  EXPECT_FALSE(copy.Selects(FakeNote().Text("Kesto_Router", "B"), FixedNow()));
}

TEST(FormulaPrograms, AnUndecodedProgramSelectsNothing) {
  const FormulaProgram p;
  EXPECT_FALSE(p.Selects(FakeNote(), FixedNow()));
  bool selected = true;
  EXPECT_TRUE(p.EvaluateSelection(FakeNote(), FixedNow(), &selected)
                  .Is(err::kFormulaCorrupt));
  EXPECT_TRUE(p.ColumnValues(FakeNote(), FixedNow()).empty());
}

TEST(FormulaPrograms, AFailedDecodeLeavesTheProgramAlone) {
  FormulaProgram p = testing::Program("@All");
  const std::vector<uint8_t> junk = {0, 1, 2};
  EXPECT_FALSE(DecodeFormula(junk, &p).ok());
  EXPECT_TRUE(p.Selects(FakeNote(), FixedNow()));
}

}  // namespace
}  // namespace vt::formula
