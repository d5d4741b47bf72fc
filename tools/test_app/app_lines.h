// What both test applications share: the report lines they print and the option values they
// read. Header only, so that the GTK and the Qt application each build it with their toolkit.
#pragma once

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kex::test_app {

// Prints one report line and flushes it at once: the tests read the lines as they come.
[[gnu::format(printf, 1, 2)]] inline void report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

inline bool isHexColor(std::string_view text) {
  if (text.size() != 6) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Reads "<first><separator><second>", two whole numbers, as in "640x480" or "100,120".
inline bool parsePair(const char* text, char separator, int& first, int& second) {
  char* end = nullptr;
  const long a = std::strtol(text, &end, 10);
  if (end == text || *end != separator) return false;
  const char* rest = end + 1;
  const long b = std::strtol(rest, &end, 10);
  if (end == rest || *end != '\0') return false;
  first = static_cast<int>(a);
  second = static_cast<int>(b);
  return true;
}

}  // namespace kex::test_app
