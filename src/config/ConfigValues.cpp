// The router's reading of its configuration's numbers and choices.
#include "config/ConfigValues.h"

#include <cmath>

namespace vt {

uint32_t NumberToUint32(double value) {
  if (std::isnan(value)) return 0;
  // Beyond what 32 bits hold (signed below, unsigned above) the value stays
  // at the nearest end rather than wrapping round to a small number.
  if (value >= 4294967295.0) return 0xFFFFFFFFu;
  if (value <= -2147483648.0) return 0x80000000u;
  return static_cast<uint32_t>(static_cast<int64_t>(value));
}

uint32_t QuarantineMegabytes(double number) {
  const uint32_t megabytes = NumberToUint32(number);
  if (megabytes < kMinQuarantineMb) return kMinQuarantineMb;
  if (megabytes > kMaxQuarantineMb) return kMaxQuarantineMb;
  return megabytes;
}

uint32_t ReleaseMinutes(double number) {
  const uint32_t minutes = NumberToUint32(number);
  return minutes < kMinReleaseMinutes ? 0 : minutes;
}

int16_t AlternateInterceptor(double number) {
  return static_cast<int16_t>(static_cast<uint16_t>(NumberToUint32(number)));
}

uint16_t ProcessingMode(std::string_view text) {
  if (text.empty()) return 1;
  if (text.front() == '0') return 0;
  return text.front() == '2' ? 2 : 1;
}

uint16_t LogLevel(std::string_view text) {
  return !text.empty() && text.front() == '1' ? 2 : 1;
}

}  // namespace vt
