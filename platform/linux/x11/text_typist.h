// Typing text through XTEST, whatever characters the keymap has.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/key_mapping.h"
#include "platform/linux/x11/temporary_bindings.h"
#include "platform/linux/x11/text_keys.h"
#include "threads/mutex.h"

namespace kex::platform::x11 {

// Types each character of a text as a press and release of its key, with Shift around it when
// the character is on the key's shifted level. A character the keymap lacks (or has only on a
// shifted level when no key shifts) is bound for the moment to a keycode that produces
// nothing, and the binding is taken back once the focused application has read every key typed
// with it: applications translate keycodes with the keymap they fetch when they read the key, so
// a binding taken back too early would turn the key into nothing. That moment is learned by a
// _NET_WM_PING round trip to the focused window, which answers only after it has handled everything
// sent to it before; a window that does not answer pings is given kUnansweredPingWait.
//
// The bindings are listed on the root window (kTemporaryBindingsProperty) before they are made
// and the list goes when they are taken back, so that bindings a killed process left behind can
// be taken back by its release watchdog or by the next text typed.
//
// Any thread: the request thread types, and a cancellation on another thread may finish.
// mutex_ guards the bindings and the second connection.
class TextTypist {
 public:
  static constexpr std::chrono::milliseconds kPingWait{1000};
  static constexpr std::chrono::milliseconds kUnansweredPingWait{50};

  explicit TextTypist(const Connection& connection) : connection_(connection) {}
  ~TextTypist();
  TextTypist(const TextTypist&) = delete;
  TextTypist& operator=(const TextTypist&) = delete;

  // Types the text. Temporary bindings stay in place until finish(). Throws EventNotPosted,
  // with nothing typed, when the keymap cannot be read or some character cannot be typed at all
  // (the keymap lacks it and has no key to spare), and PlatformError when the server refused a
  // binding or a key after some of the text may have gone out.
  void type(std::u16string_view text);

  // Takes back every temporary binding once the focused window has read the keys typed with
  // them. Does nothing when nothing is bound. Throws PlatformError when a binding could not be
  // taken back; the next finish tries it again.
  void finish();

  // Takes back, as finish() does, the listed bindings that a typist which ended before it could
  // take them back left on the keymap. Does nothing when none is listed.
  void takeBackAbandoned();

 private:
  [[nodiscard]] std::optional<CoreKeymap> readKeymap() REQUIRES(mutex_);
  // The Shift_L key, when it is on the unshifted level and sets the Shift modifier.
  [[nodiscard]] std::optional<xcb_keycode_t> shiftKeycode(const CoreKeymap& keymap,
                                                          const ModifierMap& modifiers)
      REQUIRES(mutex_);
  // False when the server refused a binding; those it took are remembered for finishLocked().
  [[nodiscard]] bool bind(const CoreKeymap& keymap,
                          const std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>>& bindings)
      REQUIRES(mutex_);
  // Throws PlatformError when the server did not take every key.
  void strike(const std::vector<KeyStroke>& strokes, std::optional<xcb_keycode_t> shift)
      REQUIRES(mutex_);
  // False when some binding is still in place.
  [[nodiscard]] bool finishLocked() REQUIRES(mutex_);
  void adoptAbandoned() REQUIRES(mutex_);
  [[nodiscard]] xcb_atom_t bindingsList() REQUIRES(mutex_);
  void waitUntilFocusedWindowHasRead() REQUIRES(mutex_);
  [[nodiscard]] bool pingAnswered(xcb_window_t client) REQUIRES(mutex_);
  [[nodiscard]] std::optional<xcb_window_t> pingableFocusedWindow() REQUIRES(mutex_);
  [[nodiscard]] bool openListener() REQUIRES(mutex_);

  const Connection& connection_;
  threads::Mutex mutex_;
  std::vector<TemporaryBinding> bound_ GUARDED_BY(mutex_);
  xcb_atom_t bindingsList_ GUARDED_BY(mutex_) = XCB_ATOM_NONE;
  // A second connection that hears the ping's answer.
  xcb_connection_t* listener_ GUARDED_BY(mutex_) = nullptr;
  xcb_atom_t wmProtocols_ GUARDED_BY(mutex_) = XCB_ATOM_NONE;
  xcb_atom_t netWmPing_ GUARDED_BY(mutex_) = XCB_ATOM_NONE;
  std::uint32_t pingSerial_ GUARDED_BY(mutex_) = 0;
};

}  // namespace kex::platform::x11
