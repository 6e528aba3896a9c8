// What the formula tests share: a note whose items are held in memory, laid
// out and found the way the store does it, a fixed clock, and compiling.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notes/Handles.h"
#include "notes/ItemValue.h"
#include "server/formula/FormulaCode.h"
#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"
#include "server/formula/ItemSource.h"

namespace vt::formula::testing {

class FakeNote : public ItemSource {
 public:
  FakeNote& Text(std::string name, std::string_view value) {
    return Raw(std::move(name), kTypeText, item::EncodeText(value));
  }
  FakeNote& List(std::string name, const std::vector<std::string>& values) {
    return Raw(std::move(name), kTypeTextList, item::EncodeTextList(values));
  }
  FakeNote& Number(std::string name, double value) {
    return Raw(std::move(name), kTypeNumber, item::EncodeNumber(value));
  }
  FakeNote& Time(std::string name, TimeDate value) {
    return Raw(std::move(name), kTypeTime, item::EncodeTime(value));
  }
  FakeNote& Raw(std::string name, uint16_t type, std::vector<uint8_t> value) {
    items_.push_back({std::move(name), type, std::move(value)});
    return *this;
  }
  FakeNote& CreatedAt(TimeDate td) {
    created_ = td;
    return *this;
  }
  FakeNote& ModifiedAt(TimeDate td) {
    modified_ = td;
    return *this;
  }

  bool FindItem(std::string_view name, RawItem* item) const override {
    ++lookups_;
    for (const Item& i : items_) {
      if (EqualsIgnoreCase(i.name, name)) {
        item->type = i.type;
        item->value = i.value;
        return true;
      }
    }
    return false;
  }
  TimeDate Created() const override { return created_; }
  TimeDate Modified() const override { return modified_; }

  int lookups() const { return lookups_; }

 private:
  struct Item {
    std::string name;
    uint16_t type;
    std::vector<uint8_t> value;
  };
  std::vector<Item> items_;
  TimeDate created_;
  TimeDate modified_;
  mutable int lookups_ = 0;
};

// 2024-03-01 12:00:00 UTC, the fixed "now" of the tests.
inline TimeDate FixedNow() {
  return TimeDateFromUnixCentis((19783LL * 86400 + 12 * 3600) * 100);
}
inline TimeDate MinutesBefore(TimeDate t, int minutes) {
  return TimeDateFromUnixCentis(UnixCentisFromTimeDate(t) -
                                int64_t{minutes} * 60 * 100);
}

inline std::vector<uint8_t> Compiled(std::string_view text,
                                     std::string_view column = "") {
  std::vector<uint8_t> blob;
  CompileError error;
  const Status s = CompileFormula(column, text, &blob, &error);
  EXPECT_TRUE(s.ok()) << text << ": " << error.message << " at "
                      << error.offset;
  return blob;
}

inline FormulaProgram Program(std::string_view text,
                              std::string_view column = "") {
  FormulaProgram program;
  EXPECT_TRUE(DecodeFormula(Compiled(text, column), &program).ok()) << text;
  return program;
}

// The value of `text` as a column, for tests of what expressions compute.
inline FormulaValue ValueOf(std::string_view text, const ItemSource& note,
                            TimeDate now = FixedNow()) {
  const std::vector<ColumnValue> values =
      Program(text, "Value").ColumnValues(note, now);
  EXPECT_EQ(values.size(), 1u) << text;
  return values.empty() ? FormulaValue{} : values[0].value;
}

}  // namespace vt::formula::testing
