// Fuzzes the blob decoder with raw bytes, and again with the length and
// checksum made right so that the fuzzer gets past them to the structure and
// the code. Whatever decodes must evaluate and edit without harm.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzNote.h"
#include "server/formula/FormulaBlob.h"
#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"

namespace {

void Exercise(std::span<const uint8_t> bytes) {
  using namespace vt::formula;
  FormulaProgram program;
  const vt::Status s = DecodeFormula(bytes, &program);
  uint16_t size = 0;
  if (GetFormulaSize(bytes, &size).ok() != s.ok()) __builtin_trap();
  if (!s.ok()) {
    if (!s.Is(vt::err::kFormulaCorrupt)) __builtin_trap();
    return;
  }
  if (size != bytes.size()) __builtin_trap();
  const fuzzing::FuzzNote note;
  program.Selects(note, fuzzing::FuzzNow());
  program.ColumnValues(note, fuzzing::FuzzNow());
  program.ReferencedItems();

  std::vector<uint8_t> view;
  if (!CompileFormula("", "SELECT @All", &view, nullptr).ok()) __builtin_trap();
  if (MergeFormulas(bytes, &view).ok() && !DecodeFormula(view, &program).ok()) {
    __builtin_trap();
  }
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  if (AddSummaryName(&copy, "Summary").ok() &&
      !DecodeFormula(copy, &program).ok()) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt::formula;
  Exercise(std::span<const uint8_t>(data, size));
  if (size < kBlobHeaderSize || size > kMaxFormulaSize) return 0;
  std::vector<uint8_t> sealed(data, data + size);
  sealed[kBlobLengthOffset] = static_cast<uint8_t>(size);
  sealed[kBlobLengthOffset + 1] = static_cast<uint8_t>(size >> 8);
  const uint32_t crc = FormulaChecksum(sealed);
  for (int i = 0; i < 4; ++i) {
    sealed[kBlobChecksumOffset + i] = static_cast<uint8_t>(crc >> (8 * i));
  }
  Exercise(sealed);
  return 0;
}
