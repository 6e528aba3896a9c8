// The one way a message moves between databases: select with a compiled
// formula, copy into the destination (or the alternative when that copy
// fails), delete from the source, count, and summarise.
#pragma once

#include <cstdint>
#include <span>

#include "log/FailureEpisodes.h"
#include "notes/NotesServices.h"

namespace vt {

// Returns 0 when the call ran to its end (also with nothing to move, with
// single failures, and on a termination request); kNoDatabaseHandle when
// source or destination is missing; else the failed clearing or search.
//
// otherPlaces are databases besides destination and alternative that an
// earlier move of a message may have copied it into before it failed to
// delete it from the source (the other mail boxes). A message that already
// sits in the alternative or in one of them goes there again, so that no
// failure leaves it in two of them. A source that is the destination moves
// nothing.
//
// A message moves only as the formula selects it at the moment of its copy
// (a note changed since the search so that it no longer matches stays where
// it is), and only the version copied is deleted. episodes, when given,
// keeps a full disk from logging one line per message (it lives longer
// than one call).
Status MoveSelectedMessages(NotesServices& notes, DbHandle source,
                            DbHandle destination, DbHandle alternative,
                            IdTableHandle idTable, MemHandle formula,
                            const char* destinationName, uint16_t logLevel,
                            int32_t* counter,
                            std::span<const DbHandle> otherPlaces = {},
                            FailureEpisodes* episodes = nullptr);

// Moves one message by the same rules, for a move an administrator asks
// for: into the database of otherPlaces that holds it already, else into
// destination (*target tells which), and out of source only once the copy
// is durable. Logs nothing and deletes nothing on a failed or refused copy
// (the message stays in source); a failed deletion leaves it in both, and
// a repeat finishes the move without a second copy.
Status MoveOneMessage(NotesServices& notes, DbHandle source, uint32_t noteId,
                      DbHandle destination,
                      std::span<const DbHandle> otherPlaces, DbHandle* target);

// Whether a and b are one database file; false when either cannot tell.
bool SameDatabase(NotesServices& notes, DbHandle a, DbHandle b);

}  // namespace vt
