// The English text of every status the platform reports, as the log and the
// error-text operations show it. Texts end without blanks; callers that
// append one to their own text leave the blanks in their format.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vt {

// Empty for a code without a text.
std::string_view StatusText(uint16_t code);

// The text for a status (its code, without the flag bits), or "Error 0xNNNN"
// for a code without one, cut to fit buffer; returns the length written.
size_t WriteStatusText(uint16_t status, std::span<char> buffer);

}  // namespace vt
