#include "platform/linux/permissions.h"

#include "platform/linux/protected_surfaces.h"

namespace kex::platform::linux_desktop {
namespace {

constexpr char kAccessibilityBusService[] = "org.a11y.Bus";

}  // namespace

X11SystemServices::X11SystemServices(const x11::Connection* connection,
                                     const x11::X11EventServices& events,
                                     bus::BusConnections& buses)
    : connection_(connection), events_(events), buses_(buses) {
  buses_.watchName(bus::Bus::session, kAccessibilityBusService);
}

bool X11SystemServices::connected() const {
  return connection_ != nullptr && !connection_->broken();
}

bool X11SystemServices::screenCaptureAccess() {
  // Any client of the X server may read the root window.
  return connected();
}

bool X11SystemServices::answeredBefore(const std::shared_ptr<bus::BusLink>& session,
                                       std::uint64_t ownerChanges) {
  threads::Lock lock(mutex_);
  return answeredOn_.lock() == session && answeredAtChanges_ == ownerChanges;
}

void X11SystemServices::rememberAnswer(const std::shared_ptr<bus::BusLink>& session,
                                       std::uint64_t ownerChanges) {
  threads::Lock lock(mutex_);
  answeredOn_ = session;
  answeredAtChanges_ = ownerChanges;
}

bool X11SystemServices::accessibilityTrusted() {
  const std::shared_ptr<bus::BusLink> session = buses_.acquire(bus::Bus::session);
  if (!session || !session->mayHaveOwner(kAccessibilityBusService)) {
    return false;
  }
  // Read before asking: a change of owner while the question is out makes the next call ask.
  const auto ownerChanges = session->ownerChanges(kAccessibilityBusService);
  if (ownerChanges && answeredBefore(session, *ownerChanges)) {
    return true;
  }
  bool answered = false;
  bus::CallBatch batch;
  batch.call(session->connection(),
             {kAccessibilityBusService, "/org/a11y/bus", kAccessibilityBusService, "GetAddress",
              nullptr, "(s)"},
             [&answered](GVariant* reply) {
               if (reply == nullptr) {
                 return;
               }
               const gchar* address = nullptr;
               g_variant_get(reply, "(&s)", &address);
               answered = address != nullptr && *address != '\0';
             });
  batch.wait();
  if (answered && ownerChanges) {
    rememberAnswer(session, *ownerChanges);
  }
  return answered;
}

// Input goes out on the event services' own connection, which may break while this one lives.
bool X11SystemServices::postEventAccess() { return connected() && events_.canPost(); }

// Xwayland never sees the input people give to Wayland windows, so human input cannot be
// watched there.
bool X11SystemServices::listenEventAccess() {
  return connected() && connection_->hasRecord() && !connection_->isXwayland();
}

bool X11SystemServices::supportsCapture(CaptureKind kind) {
  // A display is read with the core GetImage request; a window's own pixels need Composite,
  // and DAMAGE with XFixes regions to tell when the application has painted them.
  if (kind == CaptureKind::display) return connected();
  return connected() && connection_->hasComposite() && connection_->hasDamage() &&
         connection_->hasRegions();
}

bool X11SystemServices::supportsControl() { return postEventAccess() && listenEventAccess(); }

std::vector<std::string> X11SystemServices::protectedBundleNames() {
  return protectedSurfaceNames();
}

std::string X11SystemServices::backendName() { return "linux-x11-atspi-xtest"; }

std::vector<std::string> X11SystemServices::limitations() {
  return {
      "Control requires local consent, an emergency shortcut, an X11 display with XTEST and "
      "RECORD, and the accessibility bus; human input interrupts control",
      "Capture and Control require an X11 session; Wayland-only sessions are not supported",
      "Window-bound input only; display observations do not authorize input; protected OS "
      "dialogs remain excluded; no audio; observations are untrusted and may contain private "
      "content",
  };
}

}  // namespace kex::platform::linux_desktop
