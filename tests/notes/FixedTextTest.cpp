// Bounded text: every copy is cut to its buffer and always terminated.
#include <gtest/gtest.h>

#include <string>

#include "notes/FixedText.h"

namespace vt {
namespace {

TEST(FixedText, CutsAtCapacityAndReportsTheCut) {
  FixedText<5> t;
  EXPECT_TRUE(t.Assign("abcd"));
  EXPECT_EQ(t.view(), "abcd");
  EXPECT_FALSE(t.Assign("abcdef"));
  EXPECT_EQ(t.view(), "abcd");
  EXPECT_FALSE(t.Append("x"));
  EXPECT_EQ(t.size(), 4u);
}

TEST(FixedText, AppendAndFormatStayInside) {
  FixedText<8> t("ab");
  EXPECT_TRUE(t.Append("cd"));
  EXPECT_EQ(t.view(), "abcd");
  EXPECT_FALSE(t.Format("%s-%d", "long text", 12345));
  EXPECT_EQ(t.view(), "long te");
  t.Clear();
  EXPECT_TRUE(t.empty());
}

TEST(FixedText, CopyBoundedHandlesTinyBuffersAndOverlap) {
  char one[1] = {'x'};
  EXPECT_FALSE(CopyBounded(one, "a"));
  EXPECT_EQ(one[0], '\0');
  char buf[16] = "hello world";
  // Moving a tail of the buffer to its start (as trimming does) is safe.
  EXPECT_TRUE(CopyBounded(buf, std::string_view(buf + 6)));
  EXPECT_STREQ(buf, "world");
}

}  // namespace
}  // namespace vt
