// Collecting a selection's note IDs into the working table.
#include "engine/NoteIdTable.h"

#include "log/TaskLog.h"

namespace vt {

Status CollectMatchingNotes(NotesServices& notes, IdTableHandle table,
                            DbHandle db, MemHandle formula,
                            CollectStage* failedStage) {
  *failedStage = CollectStage::kNone;
  Status status = notes.ClearIdTable(table);
  if (!status.ok()) {
    TaskLog(notes).Log(status, "Error clearing message ID table structure.");
    *failedStage = CollectStage::kClear;
    return status;
  }
  CollectContext context{&notes, table};
  status =
      notes.SearchDatabase(db, formula, nullptr, 0, kNoteClassDocument, nullptr,
                           &CollectMatchingNote, &context, nullptr);
  if (!status.ok()) *failedStage = CollectStage::kSearch;
  return status;
}

Status CollectMatchingNote(void* context, const SearchMatch& match) {
  if ((match.matchFlags & kSearchMatchFlag) == 0) return Status();
  if ((match.noteId & kDeletedNoteFlag) != 0) return Status();
  auto* collect = static_cast<CollectContext*>(context);
  bool inserted = false;
  return collect->notes->InsertId(collect->table, match.noteId, &inserted);
}

}  // namespace vt
