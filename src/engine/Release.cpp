// Releasing messages that waited in a scan box without a verdict for longer
// than the configured time: they become verified ordinary mail, marked as
// released, and the next pass delivers them.
#include "databases/RouterItems.h"
#include "engine/NoteIdTable.h"
#include "engine/RouterEngine.h"
#include "log/TaskLog.h"
#include "notes/ItemCalls.h"

namespace vt {

int ReleaseUnscannedMessages(RouterEngine& engine) {
  NotesServices& notes = engine.notes;
  TaskLog log(notes);
  if (engine.config->releaseMinutes < 10) return 1;
  const SelectionFormula& formula = *engine.formulas[kSlotRelease];
  if (!formula.IsCompiled()) return 1;
  if (engine.scanBoxes->Count() == 0) return 1;
  if (!engine.idTable) {
    log.Log(err::kMissingValue, "Error accessing message ID table.");
    return 1;
  }
  for (DbHandle scanBox = engine.scanBoxes->FirstHandle(); scanBox;
       scanBox = engine.scanBoxes->NextHandle()) {
    if (notes.ShouldTerminate()) return 0;
    CollectStage failed;
    const Status status = CollectMatchingNotes(notes, engine.idTable, scanBox,
                                               formula.formulaHandle, &failed);
    if (!status.ok()) {
      if (failed == CollectStage::kSearch &&
          engine.failureEpisodes.ShouldLogSearch(status, scanBox)) {
        log.Log(status, "Error reading messages to release from scan.box.");
      }
      continue;
    }
    engine.failureEpisodes.SearchSucceeded(scanBox, log);
    if (notes.CountIds(engine.idTable) == 0) continue;
    long released = 0;
    uint32_t noteId = 0;
    for (bool more = notes.ScanIds(engine.idTable, true, &noteId); more;
         more = notes.ScanIds(engine.idTable, false, &noteId)) {
      NoteHandle note;
      Status opened =
          notes.OpenNoteExtended(scanBox, noteId, 0x03000000, &note);
      // The scanner may have given its verdict since the search: a release
      // now would overwrite that verdict with "M". Judged on the note as
      // opened; saving refuses any later change (a conflict).
      bool selected = false;
      if (opened.ok()) {
        opened =
            notes.EvaluateSelection(note, formula.formulaHandle, &selected);
        if (!opened.ok() || !selected) notes.CloseNote(note).IgnoreError();
      }
      if (!opened.ok()) {
        log.Log(opened, "Error releasing mail message %lX from scan.box.",
                static_cast<unsigned long>(noteId));
        continue;
      }
      if (!selected) continue;
      DeleteItem(notes, note, kItemRoutingState).IgnoreError();
      DeleteItem(notes, note, kItemDeadFailureReason).IgnoreError();
      DeleteItem(notes, note, kItemVeltraneProcess).IgnoreError();
      // Only a complete mark is saved: a message verified without its route
      // "M" would match no delivery and never be released again.
      const bool marked =
          SetTextItem(notes, note, kItemVeltraneVerified, kYes).ok() &&
          SetTextItem(notes, note, kItemKestoRouter, kRouteMail).ok() &&
          SetTextItem(notes, note, kItemReleased, kYes).ok();
      const bool saved = marked && notes.UpdateNote(note, 0).ok();
      notes.CloseNote(note).IgnoreError();
      if (saved) ++released;
    }
    if (released > 0) {
      log.Log(Status(), "Releasing %ld unscanned messages from scan.box.",
              released);
    }
  }
  return 0;
}

}  // namespace vt
