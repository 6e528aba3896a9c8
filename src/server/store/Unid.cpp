// Draws universal note IDs from the kernel's random source.
#include "server/store/Unid.h"

#include <sys/random.h>

#include <chrono>
#include <random>

namespace vt::store {

Unid NewUnid() {
  Unid unid{};
  size_t filled = 0;
  while (filled < unid.size()) {
    const ssize_t n = getrandom(unid.data() + filled, unid.size() - filled, 0);
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  if (filled < unid.size()) {
    // getrandom cannot fail for 16 bytes on a booted system; should it, the
    // time and a fresh random_device still make a collision unlikely.
    std::random_device device;
    std::mt19937_64 gen(
        device() ^
        static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count()));
    for (auto& b : unid) b = static_cast<uint8_t>(gen());
  }
  return unid;
}

}  // namespace vt::store
