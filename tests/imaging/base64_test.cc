#include "imaging/base64.h"

#include <gtest/gtest.h>

namespace kex::imaging {
namespace {

TEST(Base64, PadsEveryRemainderAndBreaksNoLines) {
  EXPECT_EQ(base64({}), "");
  EXPECT_EQ(base64({'f'}), "Zg==");
  EXPECT_EQ(base64({'f', 'o'}), "Zm8=");
  EXPECT_EQ(base64({'f', 'o', 'o'}), "Zm9v");
  EXPECT_EQ(base64({'f', 'o', 'o', 'b'}), "Zm9vYg==");
  const std::vector<std::uint8_t> long_(3000, 0xFB);
  const auto text = base64(long_);
  EXPECT_EQ(text.size(), 4000u);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.substr(0, 4), "+/v7");
}

}  // namespace
}  // namespace kex::imaging
