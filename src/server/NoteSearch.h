// A search of one database that costs what changed: the first search of a
// formula reads every note; the next ones take the kept outcome and evaluate
// only the notes written or deleted since (the store's change sequence), and
// the notes whose match rests on the time, which the clock alone can turn.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "notes/NotesServices.h"
#include "notes/TimeDate.h"
#include "server/SearchCache.h"
#include "server/formula/FormulaProgram.h"
#include "server/store/NsfDatabase.h"

namespace vt {

// Calls callback for every note of the classes in the mask, in ascending ID
// order, with kSearchMatchFlag where the program selects it at `now`. A
// program of null selects every note and keeps nothing. The callback may
// read and write the database and search again.
Status SearchNotes(SearchCache& cache,
                   const std::shared_ptr<store::NsfDatabase>& database,
                   std::span<const uint8_t> formula,
                   const formula::FormulaProgram* program,
                   uint16_t noteClassMask, TimeDate now,
                   SearchCallback callback, void* context);

}  // namespace vt
