// Taking the HOLD state away from verified messages that are back in a mail
// box, so the mail server delivers them. Each note is judged again as it is
// opened: only what the selection still holds loses its hold.
#include "databases/RouterItems.h"
#include "engine/NoteIdTable.h"
#include "engine/RouterEngine.h"
#include "log/TaskLog.h"
#include "notes/ItemCalls.h"

namespace vt {

int RemoveHoldState(RouterEngine& engine) {
  NotesServices& notes = engine.notes;
  TaskLog log(notes);
  if (engine.openMailboxCount == 0) return 1;
  if (!engine.idTable) {
    log.Log(err::kMissingValue, "Error accessing message ID table.");
    return 1;
  }
  const MemHandle formula = engine.formulas[kSlotHeld]->formulaHandle;
  for (int i = 0; i < engine.openMailboxCount; ++i) {
    if (notes.ShouldTerminate()) return 0;
    const DbHandle mailbox = engine.mailboxHandles[i];
    CollectStage failed;
    const Status status =
        CollectMatchingNotes(notes, engine.idTable, mailbox, formula, &failed);
    if (!status.ok()) {
      if (failed == CollectStage::kSearch &&
          engine.failureEpisodes.ShouldLogSearch(status, mailbox)) {
        log.Log(status, "Error reading messages to process.");
      }
      continue;
    }
    engine.failureEpisodes.SearchSucceeded(mailbox, log);
    if (notes.CountIds(engine.idTable) == 0) continue;
    uint32_t noteId = 0;
    for (bool more = notes.ScanIds(engine.idTable, true, &noteId); more;
         more = notes.ScanIds(engine.idTable, false, &noteId)) {
      NoteHandle note;
      Status opened =
          notes.OpenNoteExtended(mailbox, noteId, 0x03000000, &note);
      // Changed since the search (its verdict taken back, say): the hold
      // stays on what is no longer selected. Saving guards what follows.
      bool selected = false;
      if (opened.ok()) {
        opened = notes.EvaluateSelection(note, formula, &selected);
        if (!opened.ok() || !selected) notes.CloseNote(note).IgnoreError();
      }
      if (!opened.ok()) {
        log.Log(opened,
                "Error opening mail message %lX to remove 'HOLD' state.",
                static_cast<unsigned long>(noteId));
        continue;
      }
      if (!selected) continue;
      DeleteItem(notes, note, kItemRoutingState).IgnoreError();
      DeleteItem(notes, note, kItemDeadFailureReason).IgnoreError();
      notes.UpdateNote(note, 0).IgnoreError();
      notes.CloseNote(note).IgnoreError();
    }
  }
  return 0;
}

}  // namespace vt
