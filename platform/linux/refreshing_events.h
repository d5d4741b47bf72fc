// Input posting that keeps the accessibility services from trusting what they read before it.
#pragma once

#include <memory>

#include "platform/events.h"
#include "platform/linux/atspi/accessibility_services.h"

namespace kex::platform::linux_desktop {

// Posts through the X server's events, then tells the accessibility services that the desktop
// may have changed: a tree read after a click shows the click's effect, not what an earlier
// read remembered. Any thread, as the events it wraps.
class RefreshingEvents final : public EventServices {
 public:
  RefreshingEvents(EventServices& events, atspi::X11AccessibilityServices& accessibility)
      : events_(events), accessibility_(accessibility) {}

  void post(const Event& event) override {
    try {
      events_.post(event);
    } catch (const EventNotPosted&) {
      // Nothing reached the desktop, so nothing it shows has changed.
      throw;
    } catch (const PlatformError&) {
      accessibility_.inputPosted();
      throw;
    }
    accessibility_.inputPosted();
  }

  [[nodiscard]] std::int32_t maxScrollLines() override { return events_.maxScrollLines(); }
  void undoAbandonedTyping() override { events_.undoAbandonedTyping(); }

  [[nodiscard]] std::unique_ptr<InputTap> createInputTap(InputTapListener& listener) override {
    return events_.createInputTap(listener);
  }

 private:
  EventServices& events_;
  atspi::X11AccessibilityServices& accessibility_;
};

}  // namespace kex::platform::linux_desktop
