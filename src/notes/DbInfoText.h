// The database information text: 128 bytes, fields separated by newlines,
// the title in field 0. Kept in one place so that the server and the store
// cut and split it the same way.
#pragma once

#include <cstdint>
#include <string_view>

#include "notes/NotesServices.h"

namespace vt {

// Field N of the text, empty when there are fewer fields.
std::string_view DbInfoField(const DbInfo& info, uint16_t field);

// Replaces field N (adding empty fields before it as needed). The text stops
// at its first newline; the whole is cut to 127 characters and terminated.
void SetDbInfoField(DbInfo& info, uint16_t field, std::string_view text);

}  // namespace vt
