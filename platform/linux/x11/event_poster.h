// Synthetic input through the XTEST extension, and the tap that watches all input.
#pragma once

#include <memory>

#include "platform/events.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/text_typist.h"

namespace kex::platform::x11 {

// Any thread: the request thread posts operations, the signal and monitor threads post the
// releases that end them (the input-safety controller lets one at a time post). Posts go out on a
// connection of their own: a release never waits behind another service's large reply (a
// capture), and the monitor knows this process's fake input by that connection alone. Every
// post finishes with a round trip, so the server has acted on it when post returns.
//
// Keys: the virtual key code becomes its keysym and then a keycode of the keymap as it is at that
// moment; modifier flags become presses of the left modifier keys around the key. A key or
// modifier the keymap lacks refuses the press whole (EventNotPosted), as does a scroll of more
// than kMaxScrollLines lines on a wheel. A key event with text types the text on its key-down
// (see TextTypist), and its key-up takes back what the typing bound to the keymap. Buttons: the
// pointer moves to the event's location unless it is there already, then the button goes down or
// up. Scrolling: one click of buttons 4/5 (vertical, positive is up) or 6/7 (horizontal,
// positive is left) per line.
//
// A broken connection is not opened again: the input tap knows this process's input by this
// connection, and would take the input of another one for a person's. Posting then fails, and
// canPost() tells the permission checks.
class X11EventServices final : public EventServices {
 public:
  // Each scroll line is a press and release of a wheel button, each a request; more would keep
  // the connection busy for long for what no person scrolls at once.
  static constexpr std::int32_t kMaxScrollLines = 1000;

  // connection is nullptr when no display could be opened; then nothing is posted and no tap is
  // created.
  explicit X11EventServices(std::unique_ptr<Connection> connection);

  void post(const Event& event) override;
  [[nodiscard]] std::int32_t maxScrollLines() override { return kMaxScrollLines; }
  // Whether input can go out: the connection is open and working and has XTEST.
  [[nodiscard]] bool canPost() const;
  void undoAbandonedTyping() override;
  // A RECORD tap on a connection of its own, which tells the events of this connection's
  // fake-input requests from all others. Nothing without RECORD or on Xwayland, whose X server
  // never sees the input that Wayland windows get.
  [[nodiscard]] std::unique_ptr<InputTap> createInputTap(InputTapListener& listener) override;

 private:
  const std::unique_ptr<Connection> connection_;
  const std::unique_ptr<TextTypist> typist_;  // nullptr without a connection
};

}  // namespace kex::platform::x11
