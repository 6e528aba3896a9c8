// The view "AdminServerConfig" of a new administration database: the
// configuration documents sorted by server name, which is how the router
// finds its own.
#pragma once

#include "notes/NotesServices.h"

namespace vt::tool {

// Adds the view note (class 8) with its "$TITLE", "$Formula" (selection and
// the ServerName column merged) and "$Collation" (one key, ServerName).
Status CreateConfigView(NotesServices& notes, DbHandle db);

}  // namespace vt::tool
