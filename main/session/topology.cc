#include "main/session/topology.h"

#include <openssl/sha.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace kex {

std::string digest(std::string_view text) {
  unsigned char hash[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), hash);
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * SHA256_DIGEST_LENGTH);
  for (unsigned char byte : hash) {
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 0x0f]);
  }
  return out;
}

std::string formatTopologyNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[400];
  // Plain decimal notation while it stays short; exponent notation for huge or tiny values,
  // which no real display geometry has.
  const bool plain = value == 0 || (std::fabs(value) < 1e16 && std::fabs(value) >= 1e-4);
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value,
                    plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buffer, error == std::errc() ? end : buffer);
  if (plain && text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string topologyText(std::vector<platform::DisplayInfo> displays) {
  std::stable_sort(displays.begin(), displays.end(),
                   [](const auto& a, const auto& b) { return a.id < b.id; });
  std::string text;
  for (const auto& display : displays) {
    if (!text.empty()) text += '|';
    text += std::to_string(display.id);
    text += ":(" + formatTopologyNumber(display.bounds.x) + ", " +
            formatTopologyNumber(display.bounds.y) + ", " +
            formatTopologyNumber(display.bounds.width) + ", " +
            formatTopologyNumber(display.bounds.height) + "):";
    text += std::to_string(display.pixelWidth) + ":" + std::to_string(display.pixelHeight) + ":" +
            formatTopologyNumber(display.rotation);
  }
  return text;
}

std::string topology(platform::DisplayServices& displays) {
  auto active = displays.activeDisplays();
  if (!active) return std::string(kTopologyUnavailable);
  return digest(topologyText(std::move(*active)));
}

}  // namespace kex
