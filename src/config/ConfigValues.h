// How the router turns each number and choice of its configuration document
// into the value it works with: one rule per item, used by the router's
// reader and by the tools that check a value before they write it.
#pragma once

#include <cstdint>
#include <string_view>

namespace vt {

// MaxQuarantineSize, in megabytes: the limits bound what 32 bits of bytes
// hold and keep a quarantine from rolling over at every message.
inline constexpr double kDefaultQuarantineMb = 2048;
inline constexpr uint32_t kMinQuarantineMb = 10;
inline constexpr uint32_t kMaxQuarantineMb = 4075;
uint32_t QuarantineMegabytes(double number);

// ReleaseMailMinutes: a timed release sooner than this is taken as none.
inline constexpr uint32_t kMinReleaseMinutes = 10;
uint32_t ReleaseMinutes(double number);

// AlternateInterceptor: 1 intercepts held mail instead of marked mail.
int16_t AlternateInterceptor(double number);

// MailProcessingOptions by its first character: 0 disabled, 2, else 1.
uint16_t ProcessingMode(std::string_view text);
// ConsoleLogLevel by its first character: "1" (2) leaves out the summary
// line of each move, anything else (1) keeps it.
uint16_t LogLevel(std::string_view text);

// A number item as the 32-bit value the router keeps: truncated towards zero
// and taken as unsigned, so -1 reads as 0xFFFFFFFF; a value beyond the 32-bit
// range (-2^31 to 2^32 - 1) reads as the nearest end of it, NaN as 0.
uint32_t NumberToUint32(double value);

}  // namespace vt
