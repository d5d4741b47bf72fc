#include "platform/linux/x11/text_typist.h"

#include <poll.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string_view>
#include <thread>

#include "platform/events.h"
#include "platform/linux/x11/key_mapping.h"

namespace kex::platform::x11 {
namespace {

constexpr xcb_keysym_t kShiftL = 0xffe1;
// A focus window that is not itself the client sits a level or two below it.
constexpr int kMostFocusAncestors = 8;
constexpr std::uint32_t kMostProtocols = 64;
// Every keycode bound, with columns to spare, in 32-bit units of the bindings list.
constexpr std::uint32_t kMostListedValues = 256 * (2 + 2 * 8);

using Clock = std::chrono::steady_clock;

struct FakeKey {
  std::uint8_t type;
  xcb_keycode_t keycode;
};

xcb_atom_t internAtom(const Connection& connection, std::string_view name) {
  const auto reply = connection.reply<xcb_intern_atom_reply_t>(
      xcb_intern_atom(connection.get(), 0, static_cast<std::uint16_t>(name.size()), name.data()),
      xcb_intern_atom_reply);
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

bool isPong(const xcb_generic_event_t* event, xcb_atom_t protocols, xcb_atom_t ping,
            std::uint32_t serial, xcb_window_t client) {
  if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) return false;
  const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
  return message->format == 32 && message->type == protocols && message->data.data32[0] == ping &&
         message->data.data32[1] == serial && message->data.data32[2] == client;
}

void drainEvents(xcb_connection_t* connection) {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) std::free(event);
}

}  // namespace

TextTypist::~TextTypist() {
  if (listener_ != nullptr) xcb_disconnect(listener_);
}

void TextTypist::type(std::u16string_view text) {
  threads::Lock guard(mutex_);
  // Bindings of an earlier text that was never finished go first, this process's own or those a
  // process killed while typing left behind, so that the keymap read below is the person's own.
  // One that cannot be taken back leaves its keycode bound, which is then no spare.
  adoptAbandoned();
  (void)finishLocked();
  const auto keymap = readKeymap();
  const auto modifiers = ModifierMap::read(connection_);
  if (!keymap || !modifiers) {
    throw EventNotPosted(EventNotPosted::Reason::undelivered, "the keymap could not be read");
  }
  const auto shift = shiftKeycode(*keymap, *modifiers);
  const auto batches = planTyping(*keymap, spareKeycodes(*keymap), scalarsOf(text),
                                  shift ? ShiftKey::available : ShiftKey::missing);
  if (!batches) {
    throw EventNotPosted(EventNotPosted::Reason::unrepresentable,
                         "the keymap has no key to spare for a character it lacks");
  }
  for (std::size_t i = 0; i < batches->size(); ++i) {
    // A keycode bound again must not change under keys the application has not read yet.
    if (i > 0) (void)finishLocked();
    if (!bind(*keymap, (*batches)[i].bindings)) {
      // Nothing was typed with these bindings: what was bound goes back at once.
      (void)finishLocked();
      if (i == 0) {
        throw EventNotPosted(EventNotPosted::Reason::undelivered,
                             "a character could not be bound to a key");
      }
      throw PlatformError("a character could not be bound to a key");
    }
    strike((*batches)[i].strokes, shift);
  }
}

void TextTypist::finish() {
  threads::Lock guard(mutex_);
  if (!finishLocked()) throw PlatformError("the keymap could not be restored");
}

void TextTypist::takeBackAbandoned() {
  threads::Lock guard(mutex_);
  adoptAbandoned();
  (void)finishLocked();
}

xcb_atom_t TextTypist::bindingsList() {
  if (bindingsList_ == XCB_ATOM_NONE) {
    bindingsList_ = internAtom(connection_, kTemporaryBindingsProperty);
  }
  return bindingsList_;
}

// Bindings of this process are in bound_ and its own finishing takes them back; any listed while
// it has none were left by a process that ended first. Those still in place become this
// process's to take back, and the list goes when nothing listed is in place any more.
void TextTypist::adoptAbandoned() {
  if (!bound_.empty()) return;
  const xcb_atom_t list = bindingsList();
  if (list == XCB_ATOM_NONE) return;
  const auto reply = connection_.reply<xcb_get_property_reply_t>(
      xcb_get_property(connection_.get(), 0, connection_.root(), list, XCB_ATOM_CARDINAL, 0,
                       kMostListedValues),
      xcb_get_property_reply);
  if (!reply || reply->type == XCB_ATOM_NONE) return;
  if (reply->type == XCB_ATOM_CARDINAL && reply->format == 32) {
    const std::span values(
        static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get())),
        static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / 4);
    const auto keymap = readKeymap();
    if (keymap) bound_ = bindingsInPlace(*keymap, listedBindings(values));
  }
  if (bound_.empty()) {
    (void)connection_.succeeded(
        xcb_delete_property_checked(connection_.get(), connection_.root(), list));
  }
}

std::optional<CoreKeymap> TextTypist::readKeymap() {
  const xcb_setup_t* setup = xcb_get_setup(connection_.get());
  const xcb_keycode_t first = setup->min_keycode;
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  const auto reply = connection_.reply<xcb_get_keyboard_mapping_reply_t>(
      xcb_get_keyboard_mapping(connection_.get(), first, count), xcb_get_keyboard_mapping_reply);
  if (!reply) return std::nullopt;
  const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
  const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
  return CoreKeymap{first, reply->keysyms_per_keycode,
                    std::vector<xcb_keysym_t>(keysyms, keysyms + length)};
}

std::optional<xcb_keycode_t> TextTypist::shiftKeycode(const CoreKeymap& keymap,
                                                      const ModifierMap& modifiers) {
  const auto stroke = strokeFor(keymap, kShiftL);
  if (!stroke || stroke->shift || !modifiers.sets(stroke->keycode, ModifierIndex::shift)) {
    return std::nullopt;
  }
  return stroke->keycode;
}

bool TextTypist::bind(const CoreKeymap& keymap,
                      const std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>>& bindings) {
  if (bindings.empty()) return true;
  const std::uint8_t width = keymap.perKeycode;
  std::vector<TemporaryBinding> planned;
  for (const auto& [keycode, keysym] : bindings) {
    const auto offset = static_cast<std::size_t>(keycode - keymap.first) * width;
    TemporaryBinding binding{keycode, std::vector<xcb_keysym_t>(width, XCB_NONE),
                             std::vector<xcb_keysym_t>(keymap.keysyms.begin() + offset,
                                                       keymap.keysyms.begin() + offset + width)};
    // Both levels, so that a Shift held by anyone still gives the character.
    binding.bound[0] = keysym;
    if (width > 1) binding.bound[1] = keysym;
    planned.push_back(std::move(binding));
  }
  // Listed before they are made, on the same connection, so the server has the list by the time
  // it makes them: a process killed from here on leaves them listed.
  std::vector<xcb_void_cookie_t> cookies;
  if (const xcb_atom_t list = bindingsList(); list != XCB_ATOM_NONE) {
    const auto values = bindingValues(planned);
    cookies.push_back(xcb_change_property_checked(
        connection_.get(), XCB_PROP_MODE_APPEND, connection_.root(), list, XCB_ATOM_CARDINAL, 32,
        static_cast<std::uint32_t>(values.size()), values.data()));
  }
  for (const TemporaryBinding& binding : planned) {
    cookies.push_back(xcb_change_keyboard_mapping_checked(connection_.get(), 1, binding.keycode,
                                                          width, binding.bound.data()));
  }
  const std::size_t first = cookies.size() - planned.size();
  for (std::size_t i = 0; i < first; ++i) (void)connection_.succeeded(cookies[i]);
  bool allBound = true;
  for (std::size_t i = 0; i < planned.size(); ++i) {
    if (connection_.succeeded(cookies[first + i])) {
      bound_.push_back(std::move(planned[i]));
    } else {
      allBound = false;
    }
  }
  return allBound;
}

void TextTypist::strike(const std::vector<KeyStroke>& strokes, std::optional<xcb_keycode_t> shift) {
  std::vector<FakeKey> keys;
  for (const KeyStroke& stroke : strokes) {
    // The plan shifts a character only when there is a Shift key.
    if (stroke.shift) keys.push_back({XCB_KEY_PRESS, shift.value()});
    keys.push_back({XCB_KEY_PRESS, stroke.keycode});
    keys.push_back({XCB_KEY_RELEASE, stroke.keycode});
    if (stroke.shift) keys.push_back({XCB_KEY_RELEASE, shift.value()});
  }
  std::vector<xcb_void_cookie_t> cookies;
  cookies.reserve(keys.size());
  for (const FakeKey& key : keys) {
    cookies.push_back(xcb_test_fake_input_checked(connection_.get(), key.type, key.keycode,
                                                  XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0));
  }
  // The first check waits for the server once; by then it has sent the keys on their way.
  bool allTaken = true;
  for (const xcb_void_cookie_t cookie : cookies) {
    allTaken = connection_.succeeded(cookie) && allTaken;
  }
  if (!allTaken) throw PlatformError("the X server did not take all of the keys");
}

bool TextTypist::finishLocked() {
  if (bound_.empty()) return true;
  waitUntilFocusedWindowHasRead();
  std::vector<xcb_void_cookie_t> cookies;
  for (const TemporaryBinding& binding : bound_) {
    cookies.push_back(xcb_change_keyboard_mapping_checked(
        connection_.get(), 1, binding.keycode, static_cast<std::uint8_t>(binding.original.size()),
        binding.original.data()));
  }
  // A binding that could not be taken back stays, for the next finish to try again.
  std::vector<TemporaryBinding> kept;
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    if (!connection_.succeeded(cookies[i])) kept.push_back(std::move(bound_[i]));
  }
  bound_ = std::move(kept);
  if (!bound_.empty()) return false;
  // After the bindings: a process killed in between leaves listed only bindings that are no
  // longer in place, which nobody takes back.
  if (const xcb_atom_t list = bindingsList(); list != XCB_ATOM_NONE) {
    (void)connection_.succeeded(
        xcb_delete_property_checked(connection_.get(), connection_.root(), list));
  }
  return true;
}

void TextTypist::waitUntilFocusedWindowHasRead() {
  const auto client = pingableFocusedWindow();
  if (client && pingAnswered(*client)) return;
  if (!client) std::this_thread::sleep_for(kUnansweredPingWait);
}

std::optional<xcb_window_t> TextTypist::pingableFocusedWindow() {
  if (wmProtocols_ == XCB_ATOM_NONE) wmProtocols_ = internAtom(connection_, "WM_PROTOCOLS");
  if (netWmPing_ == XCB_ATOM_NONE) netWmPing_ = internAtom(connection_, "_NET_WM_PING");
  if (wmProtocols_ == XCB_ATOM_NONE || netWmPing_ == XCB_ATOM_NONE) return std::nullopt;
  const auto focus = connection_.reply<xcb_get_input_focus_reply_t>(
      xcb_get_input_focus(connection_.get()), xcb_get_input_focus_reply);
  if (!focus) return std::nullopt;
  xcb_window_t window = focus->focus;
  for (int level = 0; level < kMostFocusAncestors; ++level) {
    if (window == XCB_NONE || window == XCB_INPUT_FOCUS_POINTER_ROOT ||
        window == connection_.root()) {
      return std::nullopt;
    }
    const auto protocols = connection_.reply<xcb_get_property_reply_t>(
        xcb_get_property(connection_.get(), 0, window, wmProtocols_, XCB_ATOM_ATOM, 0,
                         kMostProtocols),
        xcb_get_property_reply);
    if (protocols && protocols->type == XCB_ATOM_ATOM && protocols->format == 32) {
      const std::span atoms(
          static_cast<const xcb_atom_t*>(xcb_get_property_value(protocols.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(protocols.get())) / 4);
      if (std::find(atoms.begin(), atoms.end(), netWmPing_) != atoms.end()) return window;
    }
    const auto tree = connection_.reply<xcb_query_tree_reply_t>(
        xcb_query_tree(connection_.get(), window), xcb_query_tree_reply);
    if (!tree) return std::nullopt;
    window = tree->parent;
  }
  return std::nullopt;
}

bool TextTypist::openListener() {
  if (listener_ != nullptr) return !xcb_connection_has_error(listener_);
  listener_ = xcb_connect(nullptr, nullptr);
  return !xcb_connection_has_error(listener_);
}

// The answer goes to the root window for whoever listens to its substructure; the second
// connection listens only while it waits, so that nothing piles up unread in between.
bool TextTypist::pingAnswered(xcb_window_t client) {
  if (!openListener()) return false;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(listener_)).data->root;
  const std::uint32_t listen = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(listener_, root, XCB_CW_EVENT_MASK, &listen);
  const std::uint32_t serial = ++pingSerial_;
  xcb_client_message_event_t ping{};
  ping.response_type = XCB_CLIENT_MESSAGE;
  ping.format = 32;
  ping.window = client;
  ping.type = wmProtocols_;
  ping.data.data32[0] = netWmPing_;
  ping.data.data32[1] = serial;
  ping.data.data32[2] = client;
  xcb_send_event(listener_, 0, client, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&ping));
  xcb_flush(listener_);

  bool answered = false;
  const auto deadline = Clock::now() + kPingWait;
  while (!answered && !xcb_connection_has_error(listener_)) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(listener_)) {
      answered = answered || isPong(event, wmProtocols_, netWmPing_, serial, client);
      std::free(event);
    }
    if (answered) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd entry{xcb_get_file_descriptor(listener_), POLLIN, 0};
    (void)::poll(&entry, 1, static_cast<int>(left.count()) + 1);
  }
  const std::uint32_t quiet = XCB_EVENT_MASK_NO_EVENT;
  xcb_change_window_attributes(listener_, root, XCB_CW_EVENT_MASK, &quiet);
  xcb_flush(listener_);
  drainEvents(listener_);
  return answered;
}

}  // namespace kex::platform::x11
