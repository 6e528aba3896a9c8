// Checking and decoding of formula code; the single place that knows how
// wide each instruction is.
#include "server/formula/FormulaCode.h"

#include <cmath>

#include "notes/ItemValue.h"

namespace vt::formula {

bool GetStackEffect(uint8_t op, StackEffect* effect) {
  switch (op) {
    case kOpText:
    case kOpNumber:
    case kOpItem:
    case kOpTrue:
    case kOpFalse:
    case kOpCreated:
    case kOpModified:
    case kOpNow:
      *effect = {0, 1};
      return true;
    case kOpAdjust:
      *effect = {kAdjustArguments, 1};
      return true;
    case kOpEqual:
    case kOpNotEqual:
    case kOpLess:
    case kOpGreater:
    case kOpLessEqual:
    case kOpGreaterEqual:
    case kOpAnd:
    case kOpOr:
      *effect = {2, 1};
      return true;
    case kOpNot:
    case kOpNegate:
    case kOpSelect:
      *effect = {1, 1};
      return true;
    case kOpDiscard:
      *effect = {1, 0};
      return true;
    default:
      return false;
  }
}

bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         c == '$';
}

bool IsNamePart(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

Status DecodeCode(std::span<const uint8_t> code, size_t base,
                  std::vector<Instruction>* out) {
  const Status corrupt(err::kFormulaCorrupt);
  if (code.empty()) return corrupt;
  size_t pos = 0;
  int depth = 0;
  while (pos < code.size()) {
    Instruction in;
    in.op = code[pos++];
    StackEffect effect;
    if (!GetStackEffect(in.op, &effect)) return corrupt;
    if (in.op == kOpText) {
      if (code.size() - pos < 2) return corrupt;
      in.length = LoadLe16(code.data() + pos);
      pos += 2;
      if (code.size() - pos < in.length) return corrupt;
      in.offset = static_cast<uint32_t>(base + pos);
      pos += in.length;
    } else if (in.op == kOpNumber) {
      if (code.size() - pos < 8) return corrupt;
      const auto number = item::DecodeNumber(code.subspan(pos, 8));
      if (!number || !std::isfinite(*number)) return corrupt;
      in.number = *number;
      pos += 8;
    } else if (in.op == kOpItem) {
      if (code.size() - pos < 1) return corrupt;
      in.length = code[pos++];
      if (in.length == 0 || code.size() - pos < in.length) return corrupt;
      const std::string_view name(
          reinterpret_cast<const char*>(code.data() + pos), in.length);
      if (!IsNameStart(name[0])) return corrupt;
      for (char c : name) {
        if (!IsNamePart(c)) return corrupt;
      }
      in.offset = static_cast<uint32_t>(base + pos);
      pos += in.length;
    }
    if (depth < effect.pops) return corrupt;
    depth += effect.pushes - effect.pops;
    if (depth > kMaxStack) return corrupt;
    if (out != nullptr) out->push_back(in);
  }
  return depth == 1 ? Status() : corrupt;
}

}  // namespace vt::formula
