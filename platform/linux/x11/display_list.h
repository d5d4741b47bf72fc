// The active displays of the X server: RandR monitors, else CRTCs, else the screen.
#pragma once

#include <xcb/randr.h>

#include "platform/displays.h"
#include "platform/linux/x11/connection.h"
#include "threads/mutex.h"

namespace kex::platform::x11 {

// Any thread: every call reads the server's configuration afresh. Only the CRTC identifiers
// seen last are remembered, so that the CRTCs can be asked in the same round trip as the
// monitors; a reading whose CRTC list differs asks again with the new list.
class X11DisplayServices final : public DisplayServices {
 public:
  // connection is nullptr when no display could be opened.
  explicit X11DisplayServices(const Connection* connection);

  [[nodiscard]] std::optional<std::vector<DisplayInfo>> activeDisplays() override;
  [[nodiscard]] std::optional<DisplayInfo> activeDisplay(std::uint32_t id) override;

 private:
  [[nodiscard]] std::vector<xcb_randr_crtc_t> knownCrtcs();
  void rememberCrtcs(std::vector<xcb_randr_crtc_t> crtcs);

  const Connection* connection_;
  threads::Mutex crtcsMutex_;
  std::vector<xcb_randr_crtc_t> knownCrtcs_ GUARDED_BY(crtcsMutex_);
};

}  // namespace kex::platform::x11
