// The handle owners' opening and releasing.
#include "notes/HandleOwners.h"

#include <cstring>

namespace vt {

Status Database::Open(const std::string& path) {
  Close();
  return notes_.OpenDatabase(path.c_str(), &handle_);
}

void Database::Close() {
  if (handle_) notes_.CloseDatabase(handle_).IgnoreError();
  handle_ = DbHandle();
}

Status Note::Open(DbHandle db, uint32_t noteId) {
  Close();
  return notes_.OpenNote(db, noteId, 0, &handle_);
}

Status Note::Create(DbHandle db) {
  Close();
  return notes_.CreateNote(db, &handle_);
}

void Note::Close() {
  if (handle_) notes_.CloseNote(handle_).IgnoreError();
  handle_ = NoteHandle();
}

CompiledFormula::~CompiledFormula() {
  if (handle_) notes_.FreeMemory(handle_);
}

Status CompiledFormula::Compile(const char* name, const std::string& text) {
  if (text.size() > 0xFFFF) return err::kInvalidArgument;
  if (handle_) notes_.FreeMemory(handle_);
  handle_ = MemHandle();
  Status compileError;
  uint16_t line = 0, column = 0, offset = 0, errorLength = 0;
  const uint16_t nameLength =
      name == nullptr ? 0 : static_cast<uint16_t>(std::strlen(name));
  const Status status = notes_.CompileFormula(
      name, nameLength, text.c_str(), static_cast<uint16_t>(text.size()),
      &handle_, &length_, &compileError, &line, &column, &offset, &errorLength);
  if (!status.ok()) return status;
  return compileError;
}

Collection::~Collection() {
  if (handle_) notes_.CloseCollection(handle_).IgnoreError();
}

Status Collection::Open(DbHandle db, uint32_t viewNoteId) {
  if (handle_) notes_.CloseCollection(handle_).IgnoreError();
  handle_ = CollectionHandle();
  return notes_.OpenCollection(db, db, viewNoteId, 0, MemHandle(), &handle_,
                               nullptr, nullptr, nullptr, nullptr);
}

}  // namespace vt
