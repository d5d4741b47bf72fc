#include "platform/linux/x11/showing_log.h"

#include <unordered_set>

namespace kex::platform::x11 {

void ShowingLog::observe(xcb_window_t window, bool onScreen) {
  std::lock_guard lock(mutex_);
  auto [entry, added] = entries_.try_emplace(window, Showing{onScreen, Clock::now()});
  if (added || entry->second.onScreen == onScreen) {
    return;
  }
  entry->second = Showing{onScreen, Clock::now()};
}

void ShowingLog::keepOnly(const std::vector<xcb_window_t>& windows) {
  const std::unordered_set<xcb_window_t> kept(windows.begin(), windows.end());
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [&kept](const auto& entry) { return kept.count(entry.first) == 0; });
}

std::optional<ShowingLog::Clock::time_point> ShowingLog::shownSince(xcb_window_t window) {
  std::lock_guard lock(mutex_);
  const auto found = entries_.find(window);
  if (found == entries_.end() || !found->second.onScreen) {
    return std::nullopt;
  }
  return found->second.since;
}

}  // namespace kex::platform::x11
