// JSON output for `--json`, through nlohmann-json. Item values are arbitrary
// bytes while JSON strings are Unicode, so every byte that is not part of
// valid UTF-8 is read as Latin-1 (0xE9 becomes "é"), as the earlier output
// escaped it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "notes/NoteItem.h"

namespace vt::tool {

// Keys stay in the order they were added.
using Json = nlohmann::ordered_json;

// bytes as valid UTF-8.
std::string JsonText(std::string_view bytes);

// Text as a string, a text list as an array, a number as a number (a
// non-finite one as null), anything else as its display text.
Json ItemJson(const NoteItem& item);

// value, indented by two, and a line end on standard output.
void PrintJson(const Json& value);

}  // namespace vt::tool
