// getrandom(2): it blocks only until the kernel's pool is first seeded.
#include "web/RandomToken.h"

#include <sys/random.h>

namespace vt::tool {

std::string RandomToken() {
  unsigned char bytes[32];
  size_t done = 0;
  while (done < sizeof bytes) {
    const ssize_t n = getrandom(bytes + done, sizeof bytes - done, 0);
    if (n > 0) done += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char b : bytes) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

}  // namespace vt::tool
