// A strict JSON reader for checking `vtserver ... --json` output: anything
// that is not valid JSON (raw control bytes or invalid UTF-8 in a string,
// trailing text) is refused, so the tests catch broken escaping.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt::e2e {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // strings, decoded to UTF-8
  std::vector<JsonValue> array;
  // An object's member names, each beside its value in members. (A vector
  // of pairs would need the type complete here.)
  std::vector<std::string> names;
  std::vector<JsonValue> members;

  // The member of an object, or null.
  const JsonValue* Find(std::string_view name) const;
};

// nullopt for anything but one valid JSON value (with blanks around it).
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace vt::e2e
