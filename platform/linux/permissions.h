// What the display and the accessibility bus allow, and the backend's fixed facts.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/bus/dbus_calls.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/event_poster.h"
#include "platform/session.h"
#include "threads/mutex.h"

namespace kex::platform::linux_desktop {

// Any thread. The extension answers were learned at connect time. The accessibility bus's
// launcher is asked until it has answered once; its answer then stands until its name changes
// owner or the session bus connection is made anew, so that a launcher slow to answer under
// load does not read as a missing permission. mutex_ guards the remembered answer.
class X11SystemServices final : public SystemServices {
 public:
  // connection is nullptr when no display could be opened; events post the input, on a
  // connection of their own.
  X11SystemServices(const x11::Connection* connection, const x11::X11EventServices& events,
                    bus::BusConnections& buses);

  [[nodiscard]] bool screenCaptureAccess() override;
  [[nodiscard]] bool accessibilityTrusted() override;
  [[nodiscard]] bool postEventAccess() override;
  [[nodiscard]] bool listenEventAccess() override;
  [[nodiscard]] bool supportsCapture(CaptureKind kind) override;
  [[nodiscard]] bool supportsControl() override;
  [[nodiscard]] std::vector<std::string> protectedBundleNames() override;
  [[nodiscard]] std::string backendName() override;
  [[nodiscard]] std::vector<std::string> limitations() override;

 private:
  [[nodiscard]] bool connected() const;
  [[nodiscard]] bool answeredBefore(const std::shared_ptr<bus::BusLink>& session,
                                    std::uint64_t ownerChanges);
  void rememberAnswer(const std::shared_ptr<bus::BusLink>& session, std::uint64_t ownerChanges);

  const x11::Connection* connection_;
  const x11::X11EventServices& events_;
  bus::BusConnections& buses_;
  threads::Mutex mutex_;
  // The link on which the launcher gave an address, and its owner changes counted then.
  std::weak_ptr<bus::BusLink> answeredOn_ GUARDED_BY(mutex_);
  std::uint64_t answeredAtChanges_ GUARDED_BY(mutex_) = 0;
};

}  // namespace kex::platform::linux_desktop
