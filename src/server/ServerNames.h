// Server names in their two spellings: canonical (CN=Mail2/O=Example) and
// abbreviated (Mail2/Example). Network paths and [Servers] entries may use
// either, or the common name alone.
#pragma once

#include <string>
#include <string_view>

namespace vt {

// Drops the CN=, OU=, O= and C= labels of each component.
std::string AbbreviateName(std::string_view name);
// The first component, abbreviated.
std::string CommonName(std::string_view name);
// Whether two spellings name one server: the same abbreviated form, or,
// when either is a bare common name, the same common name.
bool NameMatches(std::string_view fullName, std::string_view key);

}  // namespace vt
