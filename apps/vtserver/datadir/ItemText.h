// Item values as people read them: text as it is, text lists joined with
// ';', numbers plainly (2048, 0.5), times as UTC date and time, anything
// else by its type and size.
#pragma once

#include <cstdint>
#include <string>

#include "notes/NoteItem.h"

namespace vt::tool {

std::string FormatNumber(double value);
// A note ID as people write it: 0x1A4.
std::string NoteIdText(uint32_t id);
std::string DisplayValue(const NoteItem& item);
// Control characters (which would break lines and columns, or reach the
// terminal) as '?'.
std::string Printable(std::string text);
// "2026-12-09 14:03:07" (UTC) for a time in Unix centiseconds.
std::string UtcText(int64_t centis);
// "2026-12-09T14:03:07Z", for JSON.
std::string IsoUtcText(int64_t centis);

}  // namespace vt::tool
