// The one view a database gets when it had to be created empty: "Default",
// selecting every document, with the columns creation time, "Send To" and
// "Subject", sorted by "Created" then "SendTo".
#pragma once

#include "notes/NotesServices.h"

namespace vt {

inline constexpr char kDefaultViewName[] = "Default";

// 0 when the view exists afterwards (an existing one is left alone) or a
// lookup failure made creation pointless; else the failing step's status.
// Nothing is logged and no partial view is stored.
Status CreateDefaultView(NotesServices& notes, DbHandle db);

}  // namespace vt
