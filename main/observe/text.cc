#include "main/observe/text.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <ctime>
#include <memory>

namespace kex {
namespace {

// A coarser cut that never splits a code point, for when the break rules cannot be loaded.
std::string firstCodePoints(std::string_view text, std::size_t limit) {
  std::size_t end = 0;
  for (std::size_t count = 0; end < text.size() && count < limit; ++count) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return std::string(text.substr(0, end));
}

}  // namespace

std::string firstCharacters(std::string_view text, std::size_t limit) {
  // No text of at most `limit` bytes can hold more than `limit` characters.
  if (text.size() <= limit) return std::string(text);
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !breaks) {
    utext_close(utext);
    return firstCodePoints(text, limit);
  }
  breaks->setText(utext, status);
  std::int32_t end = breaks->first();
  for (std::size_t count = 0; count < limit; ++count) {
    const std::int32_t next = breaks->next();
    if (next == icu::BreakIterator::DONE) break;
    end = next;
  }
  breaks.reset();
  utext_close(utext);
  // With UTF-8 text the iterator's offsets are byte offsets.
  return std::string(text.substr(0, static_cast<std::size_t>(end)));
}

std::string iso8601(platform::Timestamp moment) {
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(moment));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buffer;
}

}  // namespace kex
