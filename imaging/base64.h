// The text form of binary data in responses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kex::imaging {

// Standard base64 (RFC 4648) with padding and no line breaks. Any thread.
[[nodiscard]] std::string base64(const std::vector<std::uint8_t>& bytes);

}  // namespace kex::imaging
