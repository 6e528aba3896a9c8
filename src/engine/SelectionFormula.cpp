// Compiling and freeing one selection formula.
#include "engine/SelectionFormula.h"

#include <cstring>

#include "log/TaskLog.h"

namespace vt {

Status SelectionFormula::Compile(const char* text) {
  if (text == nullptr) return Status();
  const uint16_t length = static_cast<uint16_t>(std::strlen(text));
  if (length == 0) return Status();
  Status error;
  const Status result = notes_.CompileFormula(
      nullptr, 0, text, length, &formulaHandle, &compiledLength, &error,
      &errorLine, &errorColumn, &errorOffset, &errorLength);
  if (!result.ok()) {
    compileError = error.value();
    formulaHandle = MemHandle();
    TaskLog(notes_).Log(error,
                        "Error compiling formula.  Error offset %u.  Error "
                        "length %u.",
                        errorOffset, errorLength);
    status = result.value();
    return result;
  }
  formulaFlags |= kFormulaCompiledFlag;
  status = 0;
  return Status();
}

void SelectionFormula::Free() {
  if ((formulaFlags & kFormulaCompiledFlag) != 0) {
    formulaFlags &= ~kFormulaCompiledFlag;
    notes_.FreeMemory(formulaHandle);
  }
  status = compiledLength = compileError = 0;
  errorLine = errorColumn = errorOffset = errorLength = 0;
  formulaFlags = 0;
  formulaHandle = MemHandle();
}

}  // namespace vt
