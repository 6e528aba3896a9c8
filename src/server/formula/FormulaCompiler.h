// Turns formula text into a compiled formula blob (FormulaBlob.h), reporting
// where the text is wrong the way the platform's compiler does.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "notes/Status.h"

namespace vt::formula {

struct CompileError {
  Status code;          // err::kFormulaSyntax, kItemTooLarge, kInvalidArgument
  uint32_t line = 0;    // 1-based
  uint32_t column = 0;  // 1-based, in bytes
  uint32_t offset = 0;  // 0-based byte offset into the text
  uint32_t length = 0;  // bytes of the offending text (0 at the end)
  std::string_view message;  // static English text, for logs and tests
};

// Compiles `text`. With an empty `columnName` the result is a selection
// formula; otherwise it is one named column whose value the whole formula
// computes. On failure `blob` is left alone and `error` (when given) says
// what and where; the returned status equals error->code.
//
// Texts of more than 65535 bytes, and texts whose blob would exceed 65535
// bytes, are refused with kItemTooLarge; column names must be 1..255 bytes.
Status CompileFormula(std::string_view columnName, std::string_view text,
                      std::vector<uint8_t>* blob, CompileError* error);

}  // namespace vt::formula
