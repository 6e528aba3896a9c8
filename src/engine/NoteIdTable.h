// The engine's one working table of note IDs: every selection first collects
// the matching notes' IDs here and only then acts on them one by one, so a
// database is never changed while it is being searched.
#pragma once

#include <cstdint>

#include "notes/NotesServices.h"

namespace vt {

enum class CollectStage { kNone, kClear, kSearch };

// Clears table (a failure is logged here, "Error clearing message ID table
// structure.") and searches db's documents with formula into it. On failure
// *failedStage tells which stage failed; the caller words a failed search.
Status CollectMatchingNotes(NotesServices& notes, IdTableHandle table,
                            DbHandle db, MemHandle formula,
                            CollectStage* failedStage);

// The search callback: matching, live notes go into the table.
struct CollectContext {
  NotesServices* notes;
  IdTableHandle table;
};
Status CollectMatchingNote(void* context, const SearchMatch& match);

}  // namespace vt
