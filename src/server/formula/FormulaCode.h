// The instruction set of compiled formulas: postfix code over a small value
// stack. The compiler writes it and the decoder checks it against the same
// table, so a blob the compiler accepts is always one the decoder accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/Ascii.h"
#include "notes/Status.h"

namespace vt::formula {

// A compiled formula lives in a 16-bit sized memory block.
inline constexpr size_t kMaxFormulaSize = 65535;
// Parentheses, operators and function arguments nested deeper than this are
// refused at compile time, so that parsing never exhausts the thread stack.
inline constexpr int kMaxNesting = 64;
// Values pending on the evaluation stack; evaluation keeps them in a fixed
// array, which is what makes a search allocation-free.
inline constexpr int kMaxStack = 64;
// Item and column names, as the platform limits them.
inline constexpr size_t kMaxNameLength = 255;
// Named columns plus summary names in one formula; views have far fewer.
inline constexpr size_t kMaxColumns = 1024;
inline constexpr int kAdjustArguments = 7;

// Operand layouts (little-endian): kOpText u16 length + bytes; kOpNumber an
// IEEE double; kOpItem u8 length + name. The others have no operand.
enum Op : uint8_t {
  kOpText = 0x01,
  kOpNumber = 0x02,
  kOpItem = 0x03,
  kOpTrue = 0x04,
  kOpFalse = 0x05,
  kOpCreated = 0x06,
  kOpModified = 0x07,
  kOpNow = 0x08,
  kOpAdjust = 0x09,
  kOpEqual = 0x10,
  kOpNotEqual = 0x11,
  kOpLess = 0x12,
  kOpGreater = 0x13,
  kOpLessEqual = 0x14,
  kOpGreaterEqual = 0x15,
  kOpAnd = 0x16,
  kOpOr = 0x17,
  kOpNot = 0x18,
  kOpNegate = 0x19,
  kOpSelect = 0x20,   // records the top value as the selection; keeps it
  kOpDiscard = 0x21,  // ends a statement that is not the last
};

// What an instruction takes from the stack and leaves on it; false for a
// byte that is no instruction.
struct StackEffect {
  int pops = 0;
  int pushes = 0;
};
bool GetStackEffect(uint8_t op, StackEffect* effect);

// Item names in code: letters, digits, '_' and '$', not starting with a digit.
bool IsNameStart(char c);
bool IsNamePart(char c);

// One decoded instruction. Operand bytes are addressed by offset into the
// blob rather than by pointer so that a program stays valid when copied.
struct Instruction {
  uint8_t op = 0;
  uint16_t length = 0;  // kOpText, kOpItem
  uint32_t offset = 0;  // kOpText, kOpItem: operand bytes within the blob
  double number = 0;    // kOpNumber
};

// Checks one code sequence: known instructions, operands inside the code,
// names well formed, numbers finite, the stack never under- or overflowing
// and exactly one value left at the end. `base` is the code's offset within
// the blob; instructions are appended to `out` when it is given.
Status DecodeCode(std::span<const uint8_t> code, size_t base,
                  std::vector<Instruction>* out);

}  // namespace vt::formula
