// Text cut into the pieces one key event can carry.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kex {

// A text request holds at most this many UTF-16 code units.
inline constexpr std::size_t kMaxTextUnits = 1024;
// One key event carries at most this many.
inline constexpr std::size_t kMaxChunkUnits = 20;

// The UTF-16 form of valid UTF-8 text; nothing when the text is not valid UTF-8 (request lines
// are made valid before they are parsed, so this means a caller's mistake).
[[nodiscard]] std::optional<std::u16string> utf16Of(std::string_view utf8);

// The text in order, in chunks of at most kMaxChunkUnits code units each, never splitting a
// surrogate pair: a character that would overflow the current chunk starts the next one.
[[nodiscard]] std::vector<std::u16string> textChunks(std::u16string_view text);

}  // namespace kex
