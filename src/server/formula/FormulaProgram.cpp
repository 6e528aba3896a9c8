// Decoding and evaluation of compiled formulas. The evaluator trusts the
// stack discipline that DecodeCode has checked, and checks every item value
// it reads, since notes come from other processes.
#include "server/formula/FormulaProgram.h"

#include <array>
#include <cmath>
#include <string_view>
#include <utility>

#include "base/Ascii.h"
#include "notes/Handles.h"
#include "notes/ItemValue.h"
#include "server/formula/FormulaBlob.h"

namespace vt::formula {
namespace {

// A value during evaluation. Text points into the program or into the
// note's item, never into a copy. `clock` says whether the value could be
// another at another time (it comes from @Now); the kind never depends on
// the time, so neither does whether an evaluation fails.
struct Value {
  enum class Kind : uint8_t { kText, kTextList, kNumber, kTime };
  Kind kind;
  bool clock;
  uint16_t count;       // kTextList: entries (at least one)
  const uint8_t* data;  // kText: the bytes; kTextList: the whole item value
  size_t size;
  double number;
  TimeDate time;
};

const uint8_t* EmptyBytes() { return reinterpret_cast<const uint8_t*>(""); }

Value TextValue(const uint8_t* data, size_t size) {
  Value v{};
  v.kind = Value::Kind::kText;
  v.data = data;
  v.size = size;
  return v;
}
Value NumberValue(double number) {
  Value v{};
  v.kind = Value::Kind::kNumber;
  v.number = number;
  return v;
}
Value TimeValue(TimeDate time) {
  Value v{};
  v.kind = Value::Kind::kTime;
  v.time = time;
  return v;
}

bool IsText(const Value& v) {
  return v.kind == Value::Kind::kText || v.kind == Value::Kind::kTextList;
}
bool Truth(double number) { return number != 0 && !std::isnan(number); }

// The entries of a text or text list, read from the item bytes in place.
class TextEntries {
 public:
  explicit TextEntries(const Value& v) : value_(v) {
    next_ = v.kind == Value::Kind::kText ? 0 : 2 + 2 * size_t{v.count};
  }
  bool Next(std::string_view* entry) {
    const bool list = value_.kind == Value::Kind::kTextList;
    if (index_ == (list ? value_.count : 1)) return false;
    const size_t length =
        list ? LoadLe16(value_.data + 2 + 2 * index_) : value_.size;
    *entry = std::string_view(
        reinterpret_cast<const char*>(value_.data) + next_, length);
    next_ += length;
    ++index_;
    return true;
  }

 private:
  const Value& value_;
  size_t index_ = 0;
  size_t next_ = 0;
};

Status LoadItem(const RawItem& item, Value* v) {
  const Status mismatch(err::kWrongItemType);
  switch (item.type) {
    case kTypeText:
      *v = TextValue(item.value.empty() ? EmptyBytes() : item.value.data(),
                     item.value.size());
      return Status();
    case kTypeTextList: {
      const std::span<const uint8_t> bytes = item.value;
      if (bytes.size() < 2) return mismatch;
      const uint16_t count = LoadLe16(bytes.data());
      const size_t header = 2 + 2 * size_t{count};
      if (header > bytes.size()) return mismatch;
      size_t total = header;
      for (uint16_t i = 0; i < count; ++i) {
        total += LoadLe16(bytes.data() + 2 + 2 * i);
      }
      if (total != bytes.size()) return mismatch;
      if (count == 0) {
        *v = TextValue(EmptyBytes(), 0);  // an empty list reads as ""
      } else {
        *v = TextValue(bytes.data(), bytes.size());
        v->kind = Value::Kind::kTextList;
        v->count = count;
      }
      return Status();
    }
    case kTypeNumber: {
      const auto number = item::DecodeNumber(item.value);
      if (!number) return mismatch;
      *v = NumberValue(*number);
      return Status();
    }
    case kTypeTime: {
      const auto time = item::DecodeTime(item.value);
      if (!time) return mismatch;
      *v = TimeValue(*time);
      return Status();
    }
    default:
      return mismatch;
  }
}

bool Holds(uint8_t op, int order) {
  switch (op) {
    case kOpEqual:
      return order == 0;
    case kOpNotEqual:
      return order != 0;
    case kOpLess:
      return order < 0;
    case kOpGreater:
      return order > 0;
    case kOpLessEqual:
      return order <= 0;
    default:
      return order >= 0;
  }
}

// IEEE comparisons, so that a NaN item equals nothing.
bool NumberHolds(uint8_t op, double a, double b) {
  switch (op) {
    case kOpEqual:
      return a == b;
    case kOpNotEqual:
      return a != b;
    case kOpLess:
      return a < b;
    case kOpGreater:
      return a > b;
    case kOpLessEqual:
      return a <= b;
    default:
      return a >= b;
  }
}

Status Compare(uint8_t op, const Value& a, const Value& b, bool* holds) {
  *holds = false;
  if (IsText(a) && IsText(b)) {
    TextEntries left(a);
    std::string_view x, y;
    while (left.Next(&x)) {
      TextEntries right(b);
      while (right.Next(&y)) {
        const int order = x.compare(y);
        if (Holds(op, order < 0 ? -1 : (order > 0 ? 1 : 0))) {
          *holds = true;
          return Status();
        }
      }
    }
    return Status();
  }
  if (a.kind != b.kind) return Status(err::kWrongItemType);
  if (a.kind == Value::Kind::kNumber) {
    *holds = NumberHolds(op, a.number, b.number);
    return Status();
  }
  const int64_t x = UnixCentisFromTimeDate(a.time);
  const int64_t y = UnixCentisFromTimeDate(b.time);
  *holds = Holds(op, x < y ? -1 : (x > y ? 1 : 0));
  return Status();
}

// @Adjust amounts beyond a million units of anything are no real date
// arithmetic; refusing them keeps the calendar maths far from overflow.
bool AdjustAmount(const Value& v, int* amount) {
  if (v.kind != Value::Kind::kNumber || !std::isfinite(v.number) ||
      std::fabs(v.number) > 1e6) {
    return false;
  }
  *amount = static_cast<int>(v.number);
  return true;
}

// Runs one checked code sequence. `selection` becomes 0 or 1 at each SELECT,
// and selectionClock whether that could be otherwise at another time.
Status Run(std::span<const Instruction> code, const uint8_t* bytes,
           const ItemSource& note, TimeDate now, Value* result, int* selection,
           bool* selectionClock) {
  const Status mismatch(err::kWrongItemType);
  std::array<Value, kMaxStack> stack;
  size_t sp = 0;
  for (const Instruction& in : code) {
    switch (in.op) {
      case kOpText:
        stack[sp++] = TextValue(bytes + in.offset, in.length);
        break;
      case kOpNumber:
        stack[sp++] = NumberValue(in.number);
        break;
      case kOpItem: {
        const std::string_view name(
            reinterpret_cast<const char*>(bytes + in.offset), in.length);
        RawItem item;
        if (!note.FindItem(name, &item)) {
          stack[sp++] = TextValue(EmptyBytes(), 0);
        } else if (Status s = LoadItem(item, &stack[sp]); !s.ok()) {
          return s;
        } else {
          ++sp;
        }
        break;
      }
      case kOpTrue:
      case kOpFalse:
        stack[sp++] = NumberValue(in.op == kOpTrue ? 1 : 0);
        break;
      case kOpCreated:
        stack[sp++] = TimeValue(note.Created());
        break;
      case kOpModified:
        stack[sp++] = TimeValue(note.Modified());
        break;
      case kOpNow:
        stack[sp] = TimeValue(now);
        stack[sp++].clock = true;
        break;
      case kOpAdjust: {
        sp -= kAdjustArguments;
        const Value* args = &stack[sp];
        int amounts[kAdjustArguments - 1];
        if (args[0].kind != Value::Kind::kTime) return mismatch;
        for (int i = 1; i < kAdjustArguments; ++i) {
          if (!AdjustAmount(args[i], &amounts[i - 1])) return mismatch;
        }
        bool clock = false;
        for (int i = 0; i < kAdjustArguments; ++i) clock |= args[i].clock;
        stack[sp] = TimeValue(AdjustTimeDate(args[0].time, amounts[0],
                                             amounts[1], amounts[2], amounts[3],
                                             amounts[4], amounts[5]));
        stack[sp++].clock = clock;
        break;
      }
      case kOpEqual:
      case kOpNotEqual:
      case kOpLess:
      case kOpGreater:
      case kOpLessEqual:
      case kOpGreaterEqual: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        bool holds;
        if (Status s = Compare(in.op, a, b, &holds); !s.ok()) return s;
        const bool clock = a.clock || b.clock;
        a = NumberValue(holds ? 1 : 0);
        a.clock = clock;
        break;
      }
      case kOpAnd:
      case kOpOr: {
        const Value& b = stack[--sp];
        Value& a = stack[sp - 1];
        if (a.kind != Value::Kind::kNumber || b.kind != Value::Kind::kNumber) {
          return mismatch;
        }
        const bool x = Truth(a.number), y = Truth(b.number);
        // An operand that decides alone, whatever the time, decides for
        // good: false for &, true for |.
        const bool decisive = in.op == kOpAnd ? false : true;
        const bool settled =
            (x == decisive && !a.clock) || (y == decisive && !b.clock);
        const bool clock = !settled && (a.clock || b.clock);
        a = NumberValue((in.op == kOpAnd ? (x && y) : (x || y)) ? 1 : 0);
        a.clock = clock;
        break;
      }
      case kOpNot:
      case kOpNegate: {
        Value& a = stack[sp - 1];
        if (a.kind != Value::Kind::kNumber) return mismatch;
        const bool clock = a.clock;
        a = NumberValue(in.op == kOpNot ? (Truth(a.number) ? 0 : 1)
                                        : -a.number);
        a.clock = clock;
        break;
      }
      case kOpSelect: {
        const Value& a = stack[sp - 1];
        *selection = a.kind == Value::Kind::kNumber && Truth(a.number) ? 1 : 0;
        *selectionClock = a.clock;
        break;
      }
      case kOpDiscard:
        --sp;
        break;
      default:
        return Status(err::kFormulaCorrupt);
    }
  }
  *result = stack[0];
  return Status();
}

FormulaValue ToFormulaValue(const Value& v) {
  FormulaValue out;
  switch (v.kind) {
    case Value::Kind::kText:
    case Value::Kind::kTextList: {
      out.kind = FormulaValue::Kind::kText;
      TextEntries entries(v);
      std::string_view entry;
      while (entries.Next(&entry)) out.texts.emplace_back(entry);
      break;
    }
    case Value::Kind::kNumber:
      out.kind = FormulaValue::Kind::kNumber;
      out.number = v.number;
      break;
    case Value::Kind::kTime:
      out.kind = FormulaValue::Kind::kTime;
      out.time = v.time;
      break;
  }
  return out;
}

void AddName(std::vector<std::string>* names, std::string_view name) {
  for (const std::string& known : *names) {
    if (EqualsIgnoreCase(known, name)) return;
  }
  names->emplace_back(name);
}

}  // namespace

Status FormulaValue::ToItem(uint16_t* type, std::vector<uint8_t>* bytes) const {
  switch (kind) {
    case Kind::kText:
      if (texts.size() == 1) {
        *type = kTypeText;
        *bytes = item::EncodeText(texts[0]);
      } else {
        *type = kTypeTextList;
        *bytes = item::EncodeTextList(texts);
      }
      return Status();
    case Kind::kNumber:
      *type = kTypeNumber;
      *bytes = item::EncodeNumber(number);
      return Status();
    case Kind::kTime:
      *type = kTypeTime;
      *bytes = item::EncodeTime(time);
      return Status();
    case Kind::kError:
      break;
  }
  return error.ok() ? Status(err::kWrongItemType) : error;
}

bool FormulaProgram::Selects(const ItemSource& note, TimeDate now) const {
  bool selected = false;
  return EvaluateSelection(note, now, &selected).ok() && selected;
}

Status FormulaProgram::EvaluateSelection(const ItemSource& note, TimeDate now,
                                         bool* selected) const {
  bool dependsOnTime = false;
  return EvaluateSelection(note, now, selected, &dependsOnTime);
}

Status FormulaProgram::EvaluateSelection(const ItemSource& note, TimeDate now,
                                         bool* selected,
                                         bool* dependsOnTime) const {
  *selected = false;
  *dependsOnTime = false;
  if (!decoded_) return Status(err::kFormulaCorrupt);
  if (!hasSelection_) {
    *selected = true;
    return Status();
  }
  Value result;
  int selection = -1;
  bool selectionClock = false;
  if (Status s = Run(Code(selection_), bytes_.data(), note, now, &result,
                     &selection, &selectionClock);
      !s.ok()) {
    return s;
  }
  if (selection >= 0) {
    *selected = selection == 1;
    *dependsOnTime = selectionClock;
  } else {
    *selected = result.kind == Value::Kind::kNumber && Truth(result.number);
    *dependsOnTime = result.clock;
  }
  return Status();
}

std::vector<ColumnValue> FormulaProgram::ColumnValues(const ItemSource& note,
                                                      TimeDate now) const {
  std::vector<ColumnValue> values;
  values.reserve(columns_.size());
  for (const Column& column : columns_) {
    ColumnValue cv;
    cv.name = column.name;
    Value result;
    int selection = -1;
    bool clock = false;
    if (Status s = Run(Code(column.code), bytes_.data(), note, now, &result,
                       &selection, &clock);
        s.ok()) {
      cv.value = ToFormulaValue(result);
    } else {
      cv.value.kind = FormulaValue::Kind::kError;
      cv.value.error = s;
    }
    values.push_back(std::move(cv));
  }
  return values;
}

std::vector<std::string> FormulaProgram::ColumnNames() const {
  std::vector<std::string> names;
  names.reserve(columns_.size());
  for (const Column& column : columns_) names.push_back(column.name);
  return names;
}

Status DecodeFormula(std::span<const uint8_t> blob, FormulaProgram* program) {
  BlobParts parts;
  if (Status s = ParseFormulaBlob(blob, &parts); !s.ok()) return s;

  FormulaProgram p;
  p.bytes_.assign(blob.begin(), blob.end());
  auto decode = [&p](std::span<const uint8_t> code, size_t offset,
                     FormulaProgram::Range* range) {
    range->begin = static_cast<uint32_t>(p.code_.size());
    const Status s = DecodeCode(code, offset, &p.code_);
    range->end = static_cast<uint32_t>(p.code_.size());
    return s;
  };
  auto collect = [&p](FormulaProgram::Range range,
                      std::vector<std::string>* names) {
    for (const Instruction& in : p.Code(range)) {
      if (in.op != kOpItem) continue;
      AddName(names, std::string_view(reinterpret_cast<const char*>(
                                          p.bytes_.data() + in.offset),
                                      in.length));
    }
  };

  p.hasSelection_ = parts.hasSelection;
  if (parts.hasSelection) {
    if (Status s =
            decode(parts.selection, parts.selectionOffset, &p.selection_);
        !s.ok()) {
      return s;
    }
    collect(p.selection_, &p.selectionItems_);
    collect(p.selection_, &p.referencedItems_);
  }
  for (const BlobColumn& column : parts.columns) {
    FormulaProgram::Column c;
    c.name = std::string(column.name);
    if (Status s = decode(column.code, column.codeOffset, &c.code); !s.ok()) {
      return s;
    }
    collect(c.code, &p.referencedItems_);
    p.columns_.push_back(std::move(c));
  }
  // A summary name is a column that shows the item of that name.
  for (std::string_view name : parts.summaryNames) {
    FormulaProgram::Column c;
    c.name = std::string(name);
    Instruction in;
    in.op = kOpItem;
    in.length = static_cast<uint16_t>(name.size());
    in.offset = static_cast<uint32_t>(
        reinterpret_cast<const uint8_t*>(name.data()) - blob.data());
    c.code.begin = static_cast<uint32_t>(p.code_.size());
    p.code_.push_back(in);
    c.code.end = static_cast<uint32_t>(p.code_.size());
    AddName(&p.referencedItems_, name);
    p.columns_.push_back(std::move(c));
  }
  p.decoded_ = true;
  *program = std::move(p);
  return Status();
}

}  // namespace vt::formula
