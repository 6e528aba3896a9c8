// The fixed note the fuzz targets evaluate formulas against: every item type
// the evaluator knows, a malformed value and lists, so that evaluation
// reaches each of its paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "notes/Handles.h"
#include "notes/ItemValue.h"
#include "server/formula/FormulaCode.h"
#include "server/formula/ItemSource.h"

namespace vt::formula::fuzzing {

class FuzzNote : public ItemSource {
 public:
  FuzzNote() {
    Add("Kesto_Router", kTypeText, item::EncodeText("M"));
    Add("VeltraneVerified", kTypeTextList, item::EncodeTextList({"0", "1"}));
    Add("RoutingState", kTypeText, item::EncodeText("HOLD"));
    Add("L", kTypeTextList, item::EncodeTextList({"a", "", "bc"}));
    Add("E", kTypeTextList, item::EncodeTextList({}));
    Add("N", kTypeNumber, item::EncodeNumber(-2.5));
    Add("D", kTypeTime, item::EncodeTime(TimeDate{123, 2460000}));
    Add("Bad", kTypeTextList, {3, 0, 1});
    Add("F", kTypeFormula, {1, 2, 3});
  }
  bool FindItem(std::string_view name, RawItem* item) const override {
    for (const Item& i : items_) {
      if (EqualsIgnoreCase(i.name, name)) {
        item->type = i.type;
        item->value = i.value;
        return true;
      }
    }
    return false;
  }
  TimeDate Created() const override { return TimeDate{0, 2460000}; }
  TimeDate Modified() const override { return TimeDate{kAnyTime, 0}; }

 private:
  struct Item {
    std::string name;
    uint16_t type;
    std::vector<uint8_t> value;
  };
  void Add(std::string name, uint16_t type, std::vector<uint8_t> value) {
    items_.push_back({std::move(name), type, std::move(value)});
  }
  std::vector<Item> items_;
};

inline TimeDate FuzzNow() { return TimeDate{4000000, 2460001}; }

}  // namespace vt::formula::fuzzing
