#include "core/common/Common.h"

#include <gtest/gtest.h>

namespace qpt {
TEST(CommandLine, PlaceholderSplitsBlanks) {
  EXPECT_EQ(SplitCommandLine("a b"), (std::vector<std::string>{"a", "b"}));
}
}  // namespace qpt
