// Synthetic input events, their posting, and the passive tap on the system's input stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/geometry.h"
#include "platform/platform_error.h"

namespace kex::platform {

// The kinds of input event. The numbers are those of the event-type field, so that the
// monitor's event mask and the watchdog's records mean the same everywhere.
enum class EventType : std::uint8_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
  keyDown = 10,
  keyUp = 11,
  flagsChanged = 12,
  scrollWheel = 22,
  otherMouseDown = 25,
  otherMouseUp = 26,
  otherMouseDragged = 27,
};

// Modifier flags an event carries. A key event with flags is typed with these modifier keys
// held around it.
namespace modifier {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace modifier

// A complete synthetic input event as a plain value, so that the controller can keep release
// events and the watchdog can re-create them from their fields.
struct Event {
  EventType type = EventType::mouseMoved;
  std::uint16_t keyCode = 0;          // key events: the virtual key code
  std::uint64_t flags = 0;            // modifier flags
  Point location;                     // pointer events: the position in the global display space
  std::int64_t clickState = 0;        // button events: 1 for a single click, 2 for a double click
  std::u16string text;                // key events: Unicode text the key produces, at most 20 units
  std::int32_t scrollVertical = 0;    // scroll events: lines, positive is up
  std::int32_t scrollHorizontal = 0;  // scroll events: lines, positive is left

  bool operator==(const Event&) const = default;

  [[nodiscard]] bool isKey() const {
    return type == EventType::keyDown || type == EventType::keyUp;
  }
};

// One event seen by the input tap, with the process that posted it. Events this process posted
// carry its own process id; every other event carries another value (0 when no process posted
// it, as for hardware input, or when the desktop cannot tell which process did).
struct ObservedInput {
  EventType type = EventType::mouseMoved;
  std::int32_t sourceProcessId = 0;
};

// Receives what the tap sees. Called on the thread that runs the tap.
class InputTapListener {
 public:
  virtual ~InputTapListener() = default;
  virtual void inputObserved(const ObservedInput& input) = 0;
  // The desktop stopped delivering events to the tap; it will not resume. Not called when the
  // tap ends because stop() was called.
  virtual void tapDisabled() = 0;
};

// A passive, listen-only tap on keyboard and pointer input. valid(), enabled() and stop() may be
// called from any thread; run() belongs to the one thread that owns the tap.
class InputTap {
 public:
  virtual ~InputTap() = default;
  // The tap's connection to the desktop is alive.
  [[nodiscard]] virtual bool valid() = 0;
  // Events are being delivered: the tap was started and has not been disabled or stopped.
  [[nodiscard]] virtual bool enabled() = 0;
  // Delivers events to the listener on the calling thread until the tap dies or stop() is
  // called; otherwise never returns.
  virtual void run() = 0;
  // Makes run() return soon, or at once if it is called later; the tap is disabled for good.
  virtual void stop() = 0;
};

// Thrown by EventServices::post when none of the event reached the desktop.
class EventNotPosted : public PlatformError {
 public:
  enum class Reason {
    // The desktop cannot make the input asked for (a key or modifier its keyboard lacks), and
    // any other input in its place would be a different one.
    unrepresentable,
    // The desktop did not take it: the way to it is gone or it refused.
    undelivered,
  };

  EventNotPosted(Reason reason, const char* what) : PlatformError(what), reason_(reason) {}

  [[nodiscard]] Reason reason() const { return reason_; }

 private:
  Reason reason_;
};

// Any thread.
class EventServices {
 public:
  virtual ~EventServices() = default;

  // Posts the event into the system input stream as input of this process, and returns once the
  // desktop has taken all of it. Throws EventNotPosted when none of it reached the desktop, and
  // PlatformError when posting failed part way or cannot tell how far it got. A release (key
  // up, button up) is posted as far as it can be: a key the keyboard no longer has is not held.
  virtual void post(const Event& event) = 0;

  // The most lines one wheel of a scroll event can carry; post refuses a larger count.
  [[nodiscard]] virtual std::int32_t maxScrollLines() = 0;

  // Takes back what typing changed on the desktop for a moment and an earlier poster left in
  // place because it ended first (on X, keycodes bound to characters the keymap lacks). Only
  // changes still in place are taken back; does nothing when there are none. May wait a moment
  // for the focused application to read the keys typed with them.
  virtual void undoAbandonedTyping() = 0;

  // Creates the tap for key, flags, button, movement, drag and scroll events, started and ready
  // to deliver; nothing when the desktop refuses. Events go to the listener once run() is
  // called. May block while the desktop answers; called on the thread that will run the tap.
  [[nodiscard]] virtual std::unique_ptr<InputTap> createInputTap(InputTapListener& listener) = 0;
};

}  // namespace kex::platform
