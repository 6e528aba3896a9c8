// Moving selected messages by copy and delete. A message is deleted from the
// source only after its copy is durable in a destination (or a mail rule
// refused it there), so no failure in between can lose it; a repeated copy
// replaces the earlier one, so none can duplicate it either.
#include "engine/MessageMover.h"

#include "engine/NoteIdTable.h"
#include "log/TaskLog.h"

namespace vt {
namespace {

constexpr uint32_t kCopyOpenFlags = 0x03000000;
constexpr uint16_t kCopyUpdateFlags = 1;
constexpr uint16_t kDeleteUpdateFlags = 0x0200;

Status Copy(NotesServices& notes, DbHandle source, uint32_t noteId,
            DbHandle destination) {
  uint32_t newNoteId = 0;
  uint16_t newNoteClass = 0;
  return notes.CopyNote(source, 0, 0, noteId, destination, 0, 0, kCopyOpenFlags,
                        kCopyUpdateFlags, &newNoteId, &newNoteClass);
}

void Delete(NotesServices& notes, DbHandle source, uint32_t noteId) {
  // A failed deletion leaves the message in the source: the next pass
  // selects it again and its copy replaces the one made now.
  notes.DeleteNote(source, noteId, kDeleteUpdateFlags).IgnoreError();
}

}  // namespace

Status MoveSelectedMessages(NotesServices& notes, DbHandle source,
                            DbHandle destination, DbHandle alternative,
                            IdTableHandle idTable, MemHandle formula,
                            const char* destinationName, uint16_t logLevel,
                            int32_t* counter) {
  if (!source || !destination) return err::kNoDatabaseHandle;
  TaskLog log(notes);
  CollectStage failed;
  const Status collected =
      CollectMatchingNotes(notes, idTable, source, formula, &failed);
  if (!collected.ok()) {
    if (failed == CollectStage::kSearch) {
      log.Log(collected, "Error reading messages to process.");
    }
    return collected;
  }
  if (notes.CountIds(idTable) == 0) return Status();

  int32_t moved = 0, rejected = 0, errors = 0;
  uint32_t noteId = 0;
  for (bool more = notes.ScanIds(idTable, true, &noteId); more;
       more = notes.ScanIds(idTable, false, &noteId)) {
    if (notes.ShouldTerminate()) break;
    const Status copied = Copy(notes, source, noteId, destination);
    if (copied.ok()) {
      Delete(notes, source, noteId);
      ++moved;
    } else if (copied.Is(err::kMailRuleRefused)) {
      log.Log(Status(), "Message rejected by mail rule.  Deleting message.");
      Delete(notes, source, noteId);
      ++rejected;
    } else {
      log.Log(copied, "Error moving message.  ");
      ++errors;
      if (alternative && Copy(notes, source, noteId, alternative).ok()) {
        Delete(notes, source, noteId);
        ++moved;
      }
    }
  }

  *counter += moved;
  if (logLevel == 1) {
    if (rejected == 0 && errors == 0) {
      log.Log(Status(), "Moved %ld messages to %s", static_cast<long>(moved),
              destinationName);
    } else if (errors == 0) {
      log.Log(Status(), "Moved %ld messages to %s.  %ld rejected.",
              static_cast<long>(moved), destinationName,
              static_cast<long>(rejected));
    } else if (rejected == 0) {
      log.Log(Status(), "Moved %ld messages to %s.  %ld errors.",
              static_cast<long>(moved), destinationName,
              static_cast<long>(errors));
    } else {
      log.Log(Status(), "Moved %ld messages to %s.  %ld rejected.  %ld errors.",
              static_cast<long>(moved), destinationName,
              static_cast<long>(rejected), static_cast<long>(errors));
    }
  }
  return Status();
}

}  // namespace vt
