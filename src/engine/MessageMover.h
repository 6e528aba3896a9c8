// The one way a message moves between databases: select with a compiled
// formula, copy into the destination (or the alternative when that copy
// fails), delete from the source, count, and summarise.
#pragma once

#include <cstdint>

#include "notes/NotesServices.h"

namespace vt {

// Returns 0 when the call ran to its end (also with nothing to move, with
// single failures, and on a termination request); kNoDatabaseHandle when
// source or destination is missing; else the failed clearing or search.
Status MoveSelectedMessages(NotesServices& notes, DbHandle source,
                            DbHandle destination, DbHandle alternative,
                            IdTableHandle idTable, MemHandle formula,
                            const char* destinationName, uint16_t logLevel,
                            int32_t* counter);

}  // namespace vt
