#include "main/safety/held_input_line.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

namespace kex {
namespace {

using nlohmann::json;
using platform::Event;
using platform::EventType;

json recordOf(const Event& release) {
  return {{"key", release.type == EventType::keyUp},
          {"code", std::int64_t{release.keyCode}},
          {"flags", release.flags},
          {"x", release.location.x},
          {"y", release.location.y}};
}

bool booleanOr(const json& record, const char* key, bool fallback) {
  const auto found = record.find(key);
  return found != record.end() && found->is_boolean() ? found->get<bool>() : fallback;
}

double numberOr(const json& record, const char* key, double fallback) {
  const auto found = record.find(key);
  return found != record.end() && found->is_number() ? found->get<double>() : fallback;
}

std::uint64_t unsignedOr(const json& record, const char* key, std::uint64_t fallback) {
  const auto found = record.find(key);
  // The parser stores every non-negative integer as unsigned; a negative one is no flag set.
  return found != record.end() && found->is_number_unsigned() ? found->get<std::uint64_t>()
                                                              : fallback;
}

// The key code of a key record: 0 when missing or not an integer, nothing when it cannot be a
// key code at all. Codes are 16 bits; anything else did not come from this program's parent.
std::optional<std::uint16_t> keyCodeOf(const json& record) {
  const auto found = record.find("code");
  if (found == record.end() || !found->is_number_integer()) return std::uint16_t{0};
  if (found->is_number_unsigned()) {
    const auto code = found->get<std::uint64_t>();
    if (code > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
    return static_cast<std::uint16_t>(code);
  }
  return std::nullopt;  // negative
}

std::optional<Event> releaseOf(const json& record) {
  Event release;
  if (booleanOr(record, "key", false)) {
    const auto code = keyCodeOf(record);
    if (!code) return std::nullopt;
    release.type = EventType::keyUp;
    release.keyCode = *code;
  } else {
    release.type = EventType::leftMouseUp;
    release.location = {numberOr(record, "x", 0), numberOr(record, "y", 0)};
  }
  release.flags = unsignedOr(record, "flags", 0);
  return release;
}

}  // namespace

std::string heldInputLine(const std::vector<Event>& releases) {
  json records = json::array();
  for (const Event& release : releases) records.push_back(recordOf(release));
  return records.dump() + "\n";
}

std::optional<std::vector<Event>> parseHeldInputLine(std::string_view line) {
  if (line.size() > kMaxHeldLineBytes) return std::nullopt;
  const json value = json::parse(line, nullptr, false);
  if (value.is_discarded() || !value.is_array()) return std::nullopt;
  if (value.size() > kMaxHeldRecords) return std::nullopt;
  std::vector<Event> releases;
  releases.reserve(value.size());
  for (const json& record : value) {
    if (!record.is_object()) return std::nullopt;
    auto release = releaseOf(record);
    if (!release) return std::nullopt;
    releases.push_back(std::move(*release));
  }
  return releases;
}

}  // namespace kex
