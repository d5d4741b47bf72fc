#include "main/host/request_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kex {
namespace {

std::vector<RawLine> readAll(const std::string& input, std::size_t limit = 8) {
  // A file rather than a pipe, so that inputs larger than a pipe's buffer need no writer thread.
  FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  const int fd = fileno(file);
  EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(fd, 0, SEEK_SET);
  LineReader reader(fd, limit);
  std::vector<RawLine> lines;
  while (auto line = reader.next()) lines.push_back(*line);
  std::fclose(file);
  return lines;
}

TEST(LineReader, SplitsOnLineFeedsAndDropsTheCarriageReturnOfATerminator) {
  const auto lines = readAll("ab\r\n\ncd\r\rx\nlast");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].bytes, "ab");
  EXPECT_EQ(lines[1].bytes, "");
  EXPECT_EQ(lines[2].bytes, "cd\r\rx");
  EXPECT_EQ(lines[3].bytes, "last");
}

TEST(LineReader, KeepsACarriageReturnThatEndsTheInput) {
  const auto lines = readAll("ab\r");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].bytes, "ab\r");
}

TEST(LineReader, MarksLinesOverTheLimitAndGoesOnWithTheNext) {
  const auto lines = readAll("12345678\n123456789\n12345678\r\n123456789\r\nok");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_FALSE(lines[0].tooLong);
  EXPECT_TRUE(lines[1].tooLong);
  EXPECT_TRUE(lines[1].bytes.empty());
  EXPECT_FALSE(lines[2].tooLong);
  EXPECT_EQ(lines[2].bytes, "12345678");
  EXPECT_TRUE(lines[3].tooLong);
  EXPECT_EQ(lines[4].bytes, "ok");
}

TEST(LineReader, SkipsAHugeLineWithoutKeepingIt) {
  const auto lines = readAll(std::string(1 << 20, 'x') + "\nnext\n", 16384);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].tooLong);
  EXPECT_EQ(lines[1].bytes, "next");
}

TEST(SanitizeUtf8, KeepsWellFormedTextUnchanged) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  EXPECT_EQ(sanitizeUtf8(text), text);
}

TEST(SanitizeUtf8, ReplacesEachMaximalIllFormedSubpartOnce) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(sanitizeUtf8("\xFF"), r);
  EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), r + r);  // overlong
  EXPECT_EQ(sanitizeUtf8("\xE2\x82"
                         "A"),
            r + "A");                                          // truncated sequence
  EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), r + r + r);          // surrogate
  EXPECT_EQ(sanitizeUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // beyond U+10FFFF
  EXPECT_EQ(sanitizeUtf8("\xF0\x9F\x98"), r);                  // cut at the end
  EXPECT_EQ(sanitizeUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace kex
