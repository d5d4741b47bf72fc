#include "main/observe/text.h"

#include <gtest/gtest.h>

namespace kex {
namespace {

TEST(FirstCharacters, CountsGraphemeClustersNotBytesOrCodePoints) {
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // one flag, two code points
  std::string text;
  for (int i = 0; i < 3; ++i) text += flag;
  EXPECT_EQ(firstCharacters(text, 2), flag + flag);
  EXPECT_EQ(firstCharacters("abc", 5), "abc");
  EXPECT_EQ(firstCharacters("", 5), "");
}

TEST(FirstCharacters, KeepsWholeMultiByteCharacters) {
  std::string text;
  for (int i = 0; i < 600; ++i) text += "\xE2\x82\xAC";  // euro signs
  EXPECT_EQ(firstCharacters(text, 512).size(), 512u * 3);
}

}  // namespace
}  // namespace kex
