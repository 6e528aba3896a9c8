// Databases the configuration names are created on demand: as a copy of a
// template's design, or, when the template is missing too, empty with a view
// of their own and the administration database's settings. Every new
// database is titled with the number in its file name.
#pragma once

#include "databases/MailDatabase.h"

namespace vt {

inline constexpr size_t kTitleSize = 128;  // the information text's size

// 0 when record is open on an existing or newly created database.
Status OpenOrCreateDatabase(MailDatabase& record, const char* server,
                            const char* path, const char* templatePath,
                            const char* title, DbHandle settingsSource);
// 0 when created from the template's design and open.
Status CreateFromTemplate(MailDatabase& record, const char* server,
                          const char* templatePath, const char* path,
                          const char* title);
// 0 when created empty, given the "Default" view, titled and open.
Status CreateBlankDatabase(MailDatabase& record, const char* server,
                           const char* path, const char* title,
                           DbHandle settingsSource);
// Titles the database "<title> #<n>" where n is the text between the path's
// last "_" and the first full stop after it (the title alone without them).
Status SetNumberedTitle(DbHandle handle, const char* title,
                        MailDatabase& record, const char* path);
// Writes title into the database information and the icon note's "$TITLE".
Status SetDatabaseTitle(MailDatabase& record, const char* title,
                        DbHandle handle);

}  // namespace vt
