// Item values as people read them: text as it is, text lists joined with
// ';', numbers plainly (2048, 0.5), times as UTC date and time, anything
// else by its type and size.
#pragma once

#include <cstdint>
#include <string>

#include "server/store/ItemList.h"

namespace vt::tool {

std::string FormatNumber(double value);
// A note ID as people write it: 0x1A4.
std::string NoteIdText(uint32_t id);
std::string DisplayValue(const store::Item& item);

}  // namespace vt::tool
