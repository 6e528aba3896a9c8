// Universal note IDs: 16 random bytes, unique across every database and
// process, so that a note keeps its identity wherever it is copied.
#pragma once

#include "server/store/NoteRecord.h"

namespace vt::store {

Unid NewUnid();

}  // namespace vt::store
