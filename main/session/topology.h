// The display topology revision: a fingerprint of the active displays' identities,
// arrangement, resolution and rotation.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/displays.h"

namespace kex {

inline constexpr std::string_view kTopologyUnavailable = "unavailable";

// Lower-case hexadecimal SHA-256 of the text's bytes: 64 characters.
[[nodiscard]] std::string digest(std::string_view text);

// A double in its shortest round-trip decimal form, always with a fractional part.
[[nodiscard]] std::string formatTopologyNumber(double value);

// The topology text: one entry a display in ascending identifier order, joined by "|".
[[nodiscard]] std::string topologyText(std::vector<platform::DisplayInfo> displays);

// The current revision, or "unavailable" when the display list cannot be read. Reads the
// desktop afresh at every call. Any thread.
[[nodiscard]] std::string topology(platform::DisplayServices& displays);

}  // namespace kex
