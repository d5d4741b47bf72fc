// libFuzzer target: any bytes as a held-input line. The watchdog either refuses the line or reads
// at most 16 releases from it, each a key-up or a left-button-up, and what it read survives being
// written and read again unchanged; it never crashes or hangs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "main/safety/held_input_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto releases = kex::parseHeldInputLine(line);
  if (!releases) return 0;
  if (line.size() > kex::kMaxHeldLineBytes) std::abort();
  if (releases->size() > kex::kMaxHeldRecords) std::abort();
  for (const auto& release : *releases) {
    if (release.type != kex::platform::EventType::keyUp &&
        release.type != kex::platform::EventType::leftMouseUp) {
      std::abort();
    }
  }
  const std::string again = kex::heldInputLine(*releases);
  if (again.empty() || again.back() != '\n') std::abort();
  const auto reread = kex::parseHeldInputLine(std::string_view(again).substr(0, again.size() - 1));
  if (!reread || *reread != *releases) std::abort();
  return 0;
}
