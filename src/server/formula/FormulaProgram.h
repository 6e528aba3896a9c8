// A compiled formula decoded once and then evaluated against many notes: the
// search engine's selection test, the view indexer's column values and the
// mail rules all run through it. Evaluation of a selection reads item bytes
// in place and keeps its values in a fixed array, so it does not allocate.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "notes/Status.h"
#include "notes/TimeDate.h"
#include "server/formula/FormulaCode.h"
#include "server/formula/ItemSource.h"

namespace vt::formula {

// A formula value that outlives the note it came from: what a view column
// holds.
struct FormulaValue {
  enum class Kind : uint8_t { kText, kNumber, kTime, kError };
  Kind kind = Kind::kText;
  std::vector<std::string> texts;  // kText: one entry, or a list's entries
  double number = 0;               // kNumber
  TimeDate time;                   // kTime
  Status error;                    // kError: why evaluation failed

  // The value laid out as an item (store/ItemValue.h): a single text as
  // kTypeText, several as kTypeTextList. kError gives its error status.
  Status ToItem(uint16_t* type, std::vector<uint8_t>* bytes) const;
};

struct ColumnValue {
  std::string name;
  FormulaValue value;
};

// Semantics, as the formula language has them:
// - A missing item is the empty text. Text, text list, number and time items
//   give values of their type; other item types (and malformed values) make
//   the evaluation fail.
// - Comparisons hold when any pair of entries holds, every entry of the left
//   against every entry of the right; so for lists both `=` and `!=` can
//   hold at once, while for single values `!=` is the negation of `=`.
//   Text compares byte by byte and with regard to case; times compare by
//   instant. Comparing values of different types fails.
// - `&`, `|` and `!` take numbers (nonzero is true) and give 1 or 0; both
//   operands are always evaluated. Unary minus takes a number.
// - A failed evaluation selects nothing.
class FormulaProgram {
 public:
  FormulaProgram() = default;

  // A formula compiled with a column name has no selection part; it selects
  // every note. A program that was never decoded selects nothing.
  bool HasSelection() const { return hasSelection_; }

  // The selection: the value of the last SELECT statement run or, without
  // one, of the last statement, is true when it is a nonzero number.
  bool Selects(const ItemSource& note, TimeDate now) const;
  // The same, telling why evaluation failed: kWrongItemType for a type
  // mismatch or malformed item value, kFormulaCorrupt for a program that
  // was never decoded.
  Status EvaluateSelection(const ItemSource& note, TimeDate now,
                           bool* selected) const;
  // The same, telling also whether the outcome could be another at another
  // time, the note unchanged: only when it rests on @Now. `Created < @Now &
  // Verified = "1"` does not for a note that is not verified, which stays
  // unselected whatever the time.
  Status EvaluateSelection(const ItemSource& note, TimeDate now, bool* selected,
                           bool* dependsOnTime) const;

  // Named columns in order, then summary names (each the value of the item
  // of that name). A column whose evaluation fails has kind kError.
  std::vector<ColumnValue> ColumnValues(const ItemSource& note,
                                        TimeDate now) const;
  std::vector<std::string> ColumnNames() const;

  // Item names the selection part reads, and those the whole formula reads
  // (columns and summary names included), each once in its first spelling.
  const std::vector<std::string>& SelectionItems() const {
    return selectionItems_;
  }
  const std::vector<std::string>& ReferencedItems() const {
    return referencedItems_;
  }

 private:
  friend Status DecodeFormula(std::span<const uint8_t> blob,
                              FormulaProgram* program);

  struct Range {
    uint32_t begin = 0;
    uint32_t end = 0;
  };
  struct Column {
    std::string name;
    Range code;
  };

  std::span<const Instruction> Code(Range range) const {
    return std::span<const Instruction>(code_).subspan(range.begin,
                                                       range.end - range.begin);
  }

  bool decoded_ = false;
  bool hasSelection_ = false;
  std::vector<uint8_t> bytes_;  // the blob; instructions point into it
  std::vector<Instruction> code_;
  Range selection_;
  std::vector<Column> columns_;
  std::vector<std::string> selectionItems_;
  std::vector<std::string> referencedItems_;
};

// Validates the blob completely (kFormulaCorrupt for any fault, whatever the
// bytes) and decodes it into `program`, which is replaced only on success.
Status DecodeFormula(std::span<const uint8_t> blob, FormulaProgram* program);

}  // namespace vt::formula
