// Text forms the observations write: cut titles and dates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace kex {

// The first `limit` user-perceived characters (extended grapheme clusters) of UTF-8 text.
[[nodiscard]] std::string firstCharacters(std::string_view text, std::size_t limit);

// UTC date and time to whole seconds with a trailing "Z", as 2026-12-09T12:38:19Z.
[[nodiscard]] std::string iso8601(platform::Timestamp moment);

}  // namespace kex
