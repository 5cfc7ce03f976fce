#include "ctr/Crc32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(Crc32, MatchesTheCheckValueAndChainsPieces) {
  EXPECT_EQ(ctr::Crc32(B("123456789")), 0xCBF43926u);
  EXPECT_EQ(ctr::Crc32(B("56789"), ctr::Crc32(B("1234"))), 0xCBF43926u);
  EXPECT_EQ(ctr::Crc32(Bytes{}), 0u);
}

}  // namespace
