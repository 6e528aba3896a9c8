// The name of the single-instance guard.
#include "databases/InstanceName.h"

#include <openssl/sha.h>

#include "notes/FixedText.h"

namespace vt {

void InstanceMutexName(const char* serverName, std::span<char> name) {
  FixedText<16 + 257> text("VeltraneRouter1");
  text.Append(serverName);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.c_str()), text.size(),
       digest);
  // The five 32-bit words of the digest, most significant byte first.
  unsigned long words[5];
  for (int i = 0; i < 5; ++i) {
    words[i] = (static_cast<unsigned long>(digest[4 * i]) << 24) |
               (static_cast<unsigned long>(digest[4 * i + 1]) << 16) |
               (static_cast<unsigned long>(digest[4 * i + 2]) << 8) |
               static_cast<unsigned long>(digest[4 * i + 3]);
  }
  FormatBounded(name, "%08lx%08lx%08lx%08lx%08lx", words[0], words[1], words[2],
                words[3], words[4]);
}

}  // namespace vt
