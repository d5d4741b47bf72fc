#include "main/control/text_chunks.h"

#include <cstdint>

namespace kex {
namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The length in bytes of the UTF-8 sequence a lead byte starts; 0 for a byte that cannot lead.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

void appendScalar(std::u16string& out, char32_t scalar) {
  if (scalar < 0x10000) {
    out.push_back(static_cast<char16_t>(scalar));
    return;
  }
  scalar -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (scalar >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (scalar & 0x3FF)));
}

}  // namespace

std::optional<std::u16string> utf16Of(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = sequenceLength(lead);
    if (length == 0 || i + length > utf8.size()) return std::nullopt;
    char32_t scalar = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      scalar = (scalar << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past the last plane are not characters.
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (scalar < kSmallest[length] || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
      return std::nullopt;
    }
    appendScalar(out, scalar);
    i += length;
  }
  return out;
}

std::vector<std::u16string> textChunks(std::u16string_view text) {
  std::vector<std::u16string> chunks;
  std::u16string current;
  for (std::size_t i = 0; i < text.size();) {
    const bool pair =
        isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1]);
    const std::size_t units = pair ? 2 : 1;
    if (current.size() + units > kMaxChunkUnits) {
      chunks.push_back(std::move(current));
      current.clear();
    }
    current.append(text.substr(i, units));
    i += units;
  }
  if (!current.empty()) chunks.push_back(std::move(current));
  return chunks;
}

}  // namespace kex
