// The instance mutex name: SHA-1 over "VeltraneRouter1" and the server's
// name, as 40 lower-case hex digits, different for different servers.
#include <gtest/gtest.h>

#include "databases/InstanceName.h"
#include "notes/FixedText.h"

namespace vt {
namespace {

TEST(InstanceMutexName, IsTheSha1OfThePrefixAndTheServerName) {
  FixedText<260> name;
  InstanceMutexName("CN=Mail1/O=Example", name.span());
  // printf 'VeltraneRouter1CN=Mail1/O=Example' | sha1sum
  EXPECT_EQ(name.view(), "853d0c2f8c9c11f26174c3a916d6e8f356eb45f7");

  FixedText<260> other;
  InstanceMutexName("CN=Mail2/O=Example", other.span());
  EXPECT_EQ(other.view(), "cfb4327357305ad1f8c921ab8f60136b3e03b881");
}

}  // namespace
}  // namespace vt
