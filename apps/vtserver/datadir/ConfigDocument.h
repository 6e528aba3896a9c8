// The server's configuration document in the administration database, found
// exactly as the router finds it: the view "AdminServerConfig", the server's
// name as key without regard to case, the first match in view order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "notes/HandleOwners.h"
#include "notes/NotesServices.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

// kNotFound when the database has no document for the server.
Status FindConfigNote(NotesServices& notes, DbHandle admin,
                      const std::string& serverName, uint32_t* noteId);

// Opens the administration database into admin and finds the document of
// serverName; each failure is one line that says what is missing.
Outcome OpenConfigDocument(NotesServices& notes, const std::string& serverName,
                           Database& admin, uint32_t* noteId);

// The scan boxes the document names, or the router's defaults, each
// named as a tool opens it (ToolPath).
std::vector<std::string> ConfiguredScanBoxes(LocalNotesServices& notes,
                                             NoteHandle config);
// The same from the document of the server's own name (server.ini).
Outcome ReadConfiguredScanBoxes(LocalNotesServices& server,
                                std::vector<std::string>* boxes);

}  // namespace vt::tool
