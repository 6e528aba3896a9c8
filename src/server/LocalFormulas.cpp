// The formula and search operations of the embedded server: compiled
// formulas live in platform memory as validated blobs; a search decodes the
// blob once and evaluates it against the summary items of the notes that
// need it (NoteSearch.h).
#include <algorithm>
#include <cstring>

#include "server/LocalNotesServices.h"
#include "server/NoteSearch.h"
#include "server/formula/FormulaBlob.h"
#include "server/formula/FormulaCompiler.h"
#include "server/formula/FormulaProgram.h"
#include "server/store/BlobItemSource.h"

namespace vt {
namespace {

template <class T>
void Put(T* place, T value) {
  if (place != nullptr) *place = value;
}

}  // namespace

Status LocalNotesServices::CompileFormula(
    const char* name, uint16_t nameLength, const char* text,
    uint16_t textLength, MemHandle* formula, uint16_t* formulaLength,
    Status* compileError, uint16_t* errorLine, uint16_t* errorColumn,
    uint16_t* errorOffset, uint16_t* errorLength) {
  Put(formula, MemHandle());
  Put(formulaLength, uint16_t{0});
  Put(compileError, Status());
  Put(errorLine, uint16_t{0});
  Put(errorColumn, uint16_t{0});
  Put(errorOffset, uint16_t{0});
  Put(errorLength, uint16_t{0});
  if (formula == nullptr || (text == nullptr && textLength != 0)) {
    return err::kInvalidArgument;
  }
  const std::string_view column =
      name == nullptr ? std::string_view()
                      : std::string_view(name, strnlen(name, nameLength));
  const std::string_view source =
      text == nullptr ? std::string_view() : std::string_view(text, textLength);
  std::vector<uint8_t> blob;
  formula::CompileError error;
  const Status s = formula::CompileFormula(column, source, &blob, &error);
  if (!s.ok()) {
    Put(compileError, error.code);
    Put(errorLine, static_cast<uint16_t>(error.line));
    Put(errorColumn, static_cast<uint16_t>(error.column));
    Put(errorOffset, static_cast<uint16_t>(error.offset));
    Put(errorLength, static_cast<uint16_t>(error.length));
    return s;
  }
  MemHandle block;
  const Status allocated = memory_.Allocate(0, &block);
  if (!allocated.ok()) return allocated;
  const Status filled = memory_.Replace(block, blob);
  if (!filled.ok()) {
    memory_.Free(block);
    return filled;
  }
  *formula = block;
  Put(formulaLength, static_cast<uint16_t>(blob.size()));
  return Status();
}

Status LocalNotesServices::AddFormulaSummaryName(MemHandle formula,
                                                 const char* name,
                                                 uint16_t nameLength) {
  const std::span<uint8_t> bytes = memory_.Block(formula);
  if (bytes.empty()) return err::kInvalidHandle;
  if (name == nullptr) return err::kInvalidArgument;
  std::vector<uint8_t> blob(bytes.begin(), bytes.end());
  const Status s = formula::AddSummaryName(
      &blob, std::string_view(name, strnlen(name, nameLength)));
  if (!s.ok()) return s;
  return memory_.Replace(formula, blob);
}

Status LocalNotesServices::MergeFormulas(MemHandle source, MemHandle target) {
  const std::span<uint8_t> from = memory_.Block(source);
  const std::span<uint8_t> to = memory_.Block(target);
  if (from.empty() || to.empty()) return err::kInvalidHandle;
  std::vector<uint8_t> merged(to.begin(), to.end());
  const Status s = formula::MergeFormulas(from, &merged);
  if (!s.ok()) return s;
  return memory_.Replace(target, merged);
}

Status LocalNotesServices::GetFormulaSize(MemHandle formula, uint16_t* size) {
  Put(size, uint16_t{0});
  const std::span<uint8_t> bytes = memory_.Block(formula);
  if (bytes.empty()) return err::kInvalidHandle;
  return formula::GetFormulaSize(bytes, size);
}

Status LocalNotesServices::EvaluateSelection(NoteHandle note, MemHandle formula,
                                             bool* selected) {
  if (selected == nullptr) return err::kInvalidArgument;
  *selected = false;
  const DatabaseRegistry::OpenNote* open = FindNote(note);
  if (open == nullptr) return err::kInvalidHandle;
  const std::span<const uint8_t> blob = memory_.Block(formula);
  if (blob.empty()) return err::kInvalidHandle;
  formula::FormulaProgram program;
  const Status s = formula::DecodeFormula(blob, &program);
  if (!s.ok()) return s;
  const store::SummaryItemSource items(open->note);
  *selected = program.Selects(items, TimeDateFromUnixCentis(Now()));
  return Status();
}

Status LocalNotesServices::SearchDatabase(DbHandle db, MemHandle formula,
                                          const char*, uint16_t,
                                          uint16_t noteClassMask,
                                          const TimeDate*,
                                          SearchCallback callback,
                                          void* context, TimeDate* until) {
  const DatabaseRegistry::OpenDb* open = FindDb(db);
  if (open == nullptr) return err::kInvalidHandle;
  if (callback == nullptr) return err::kInvalidArgument;
  // Held for the whole search: a callback may close the handle.
  const std::shared_ptr<store::NsfDatabase> database = open->database;
  // No formula selects every note, as on the platform.
  formula::FormulaProgram program;
  const bool everything = !formula;
  std::span<const uint8_t> blob;
  if (!everything) {
    blob = memory_.Block(formula);
    if (blob.empty()) return err::kInvalidHandle;
    const Status s = formula::DecodeFormula(blob, &program);
    if (!s.ok()) return s;
  }
  const TimeDate now = TimeDateFromUnixCentis(Now());
  Put(until, now);
  return SearchNotes(searches_, database, blob, everything ? nullptr : &program,
                     noteClassMask, now, callback, context);
}

}  // namespace vt
