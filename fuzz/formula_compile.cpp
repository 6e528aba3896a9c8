// Fuzzes the formula compiler: any text either compiles into a blob that
// decodes and evaluates, or gives an error that points inside the text.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzNote.h"
#include "server/formula/FormulaBlob.h"
#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vt::formula;
  // The first byte picks a column name, so named columns are fuzzed too.
  std::string_view column;
  if (size > 0 && (data[0] & 1) != 0) column = "Col";
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (size > 0) text.remove_prefix(1);

  std::vector<uint8_t> blob;
  CompileError error;
  const vt::Status s = CompileFormula(column, text, &blob, &error);
  if (!s.ok()) {
    if (!(s == error.code) || error.line == 0 || error.column == 0 ||
        error.offset + static_cast<size_t>(error.length) > text.size()) {
      __builtin_trap();
    }
    return 0;
  }
  if (blob.size() > kMaxFormulaSize) __builtin_trap();
  FormulaProgram program;
  if (!DecodeFormula(blob, &program).ok()) __builtin_trap();
  const fuzzing::FuzzNote note;
  program.Selects(note, fuzzing::FuzzNow());
  program.ColumnValues(note, fuzzing::FuzzNow());

  // The view edits must keep the blob decodable.
  std::vector<uint8_t> view;
  if (!CompileFormula("", "SELECT @All", &view, nullptr).ok()) __builtin_trap();
  const vt::Status merged = MergeFormulas(blob, &view);
  if (merged.ok() && !DecodeFormula(view, &program).ok()) __builtin_trap();
  if (AddSummaryName(&blob, "Summary").ok() &&
      !DecodeFormula(blob, &program).ok()) {
    __builtin_trap();
  }
  return 0;
}
