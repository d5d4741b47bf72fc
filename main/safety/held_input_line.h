// The line that tells the release watchdog what is held: what this process writes and what the
// watchdog accepts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/events.h"

namespace kex {

// The watchdog refuses lines of more bytes than this (not counting the line feed) and more
// records than this.
inline constexpr std::size_t kMaxHeldLineBytes = 8191;
inline constexpr std::size_t kMaxHeldRecords = 16;

// Acknowledgement bytes the watchdog writes back.
inline constexpr char kWatchdogAccepted = 1;
inline constexpr char kWatchdogLockRefused = 2;

// The held-input line for these release events, line feed included: a compact JSON array with
// one record {"code", "flags", "key", "x", "y"} per event, in order. The empty list gives "[]".
// Any thread.
[[nodiscard]] std::string heldInputLine(const std::vector<platform::Event>& releases);

// The release events a line (without its line feed) asks the watchdog to hold, re-created from
// their records: a key record becomes a key-up of its code, any other record a left-button-up at
// its position, each with its flags. Nothing when the line must end the watchdog: 8192 bytes or
// more, not JSON, not an array of objects, more than 16 records, or a key code outside 0..65535.
// Any thread.
[[nodiscard]] std::optional<std::vector<platform::Event>> parseHeldInputLine(std::string_view line);

}  // namespace kex
