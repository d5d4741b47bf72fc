#include "platform/linux/x11/window_pixmap.h"

#include <xcb/composite.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kex::platform::x11 {
namespace {

// How far below the application's window the Expose goes: toolkits that draw into child
// windows (Xt's widgets, embedded plugins) paint each on its own Expose.
constexpr int kMaxExposeDepth = 4;
constexpr std::size_t kMaxExposeTargets = 64;

struct ExposeTarget {
  xcb_window_t window;
  std::uint16_t width;
  std::uint16_t height;
};

// The application's window and the viewable windows below it that can be painted.
std::vector<ExposeTarget> exposeTargets(const Connection& connection, xcb_window_t client) {
  xcb_connection_t* c = connection.get();
  std::vector<ExposeTarget> targets;
  std::vector<xcb_window_t> level{client};
  for (int depth = 0; depth < kMaxExposeDepth && !level.empty(); ++depth) {
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
    std::vector<xcb_get_geometry_cookie_t> geometryCookies;
    std::vector<xcb_query_tree_cookie_t> treeCookies;
    for (const xcb_window_t window : level) {
      attributeCookies.push_back(xcb_get_window_attributes(c, window));
      geometryCookies.push_back(xcb_get_geometry(c, window));
      treeCookies.push_back(xcb_query_tree(c, window));
    }
    std::vector<xcb_window_t> next;
    for (std::size_t i = 0; i < level.size(); ++i) {
      const auto attributes = connection.reply<xcb_get_window_attributes_reply_t>(
          attributeCookies[i], xcb_get_window_attributes_reply);
      const auto geometry =
          connection.reply<xcb_get_geometry_reply_t>(geometryCookies[i], xcb_get_geometry_reply);
      const auto tree =
          connection.reply<xcb_query_tree_reply_t>(treeCookies[i], xcb_query_tree_reply);
      const bool paintable = attributes && geometry &&
                             attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                             attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
      if (!paintable || targets.size() >= kMaxExposeTargets) continue;
      targets.push_back({level[i], geometry->width, geometry->height});
      if (!tree) continue;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      next.insert(next.end(), children, children + xcb_query_tree_children_length(tree.get()));
    }
    level = std::move(next);
  }
  return targets;
}

bool covers(const NamedPixmap& named, const xcb_rectangle_t& listed) {
  return named.x <= listed.x && named.y <= listed.y &&
         named.x + named.width >= listed.x + listed.width &&
         named.y + named.height >= listed.y + listed.height;
}

void sendExpose(xcb_connection_t* c, const ExposeTarget& target) {
  xcb_expose_event_t expose{};
  expose.response_type = XCB_EXPOSE;
  expose.window = target.window;
  expose.width = target.width;
  expose.height = target.height;
  // SendEvent carries 32 bytes whatever the event.
  char event[32] = {};
  static_assert(sizeof expose <= sizeof event);
  std::memcpy(event, &expose, sizeof expose);
  xcb_send_event(c, 0, target.window, XCB_EVENT_MASK_EXPOSURE, event);
}

}  // namespace

WindowPixmaps::WindowPixmaps(const Connection& connection)
    : connection_(connection),
      usable_(connection.hasComposite() && connection.hasDamage() && connection.hasRegions()),
      pixmap_(xcb_generate_id(connection.get())) {
  if (!usable_) return;
  xcb_connection_t* c = connection_.get();
  damage_ = xcb_generate_id(c);
  remaining_ = xcb_generate_id(c);
  parts_ = xcb_generate_id(c);
  // Both regions live as long as the connection, which frees them.
  xcb_xfixes_create_region(c, remaining_, 0, nullptr);
  xcb_xfixes_create_region(c, parts_, 0, nullptr);
}

Naming WindowPixmaps::name(xcb_window_t topLevel, xcb_window_t client,
                           const xcb_rectangle_t& listed) {
  checkRelease();
  if (!usable_ || connection_.broken()) return {};
  catchUp();
  // A window mapped or resized after the last look at its events has a new pixmap; so does
  // one that does so during the wait. Each time, the application is asked to paint again.
  const Clock::time_point deadline = Clock::now() + kRepaintWait;
  while (Clock::now() < deadline) {
    if (!watch(topLevel)) return {};
    Watched& watched = watched_.at(topLevel);
    watched.lastUse = ++uses_;
    if (!watched.vouched) {
      const Repaint repaint = awaitRepaint(topLevel, client);
      if (repaint == Repaint::gone) return {};
      if (repaint == Repaint::unpainted) return {NamingOutcome::unpainted, {}};
    }
    NamedPixmap named;
    if (!tryName(topLevel, named)) return {};
    // A new pixmap made before the naming was answered is the one named.
    catchUp();
    const auto found = watched_.find(topLevel);
    const bool vouched = found != watched_.end() && found->second.vouched;
    // A window manager may still be moving a restored window into place; it stops where it
    // was listed, or (when the listing does not fit its frame exactly) stops at all.
    const bool placed =
        vouched && (covers(named, listed) ||
                    !awaitReconfigure(topLevel, std::min(deadline, Clock::now() + kSettleQuiet)));
    if (placed) return {NamingOutcome::named, named};
    release();
  }
  return {NamingOutcome::unpainted, {}};
}

void WindowPixmaps::catchUp() {
  while (const auto event = connection_.pollEvent()) handle(*event);
}

void WindowPixmaps::handle(const xcb_generic_event_t& event) {
  // Errors of unchecked requests arrive here too; none of them needs an answer.
  const std::uint8_t type = event.response_type & 0x7f;
  if (type == connection_.damageNotifyEvent()) {
    const auto& notify = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
    if (notify.damage == damage_) damageArrived_ = true;
    return;
  }
  if (type == XCB_CONFIGURE_NOTIFY &&
      reinterpret_cast<const xcb_configure_notify_event_t&>(event).window == awaitedConfigure_) {
    configureArrived_ = true;
  }
  switch (type) {
    case XCB_MAP_NOTIFY:
      renew(reinterpret_cast<const xcb_map_notify_event_t&>(event).window);
      return;
    case XCB_UNMAP_NOTIFY:
      renew(reinterpret_cast<const xcb_unmap_notify_event_t&>(event).window);
      return;
    case XCB_REPARENT_NOTIFY:
      renew(reinterpret_cast<const xcb_reparent_notify_event_t&>(event).window);
      return;
    case XCB_CONFIGURE_NOTIFY: {
      const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
      const auto found = watched_.find(configure.window);
      // A move keeps the pixmap; only a new size makes a new one.
      if (found == watched_.end()) return;
      if (found->second.width == configure.width && found->second.height == configure.height) {
        return;
      }
      found->second.width = configure.width;
      found->second.height = configure.height;
      renew(configure.window);
      return;
    }
    case XCB_DESTROY_NOTIFY:
      // The server ends the redirection of a destroyed window itself.
      watched_.erase(reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window);
      return;
    default:
      return;
  }
}

void WindowPixmaps::renew(xcb_window_t window) {
  const auto found = watched_.find(window);
  if (found == watched_.end()) return;
  ++found->second.generation;
  found->second.vouched = false;
}

bool WindowPixmaps::watch(xcb_window_t topLevel) {
  if (watched_.count(topLevel) != 0) return true;
  xcb_connection_t* c = connection_.get();
  // Structure events first, so that no new pixmap goes unnoticed once the window is redirected.
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  const auto selected = xcb_change_window_attributes_checked(c, topLevel, XCB_CW_EVENT_MASK, &mask);
  const auto geometryCookie = xcb_get_geometry(c, topLevel);
  const auto redirected =
      xcb_composite_redirect_window_checked(c, topLevel, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  const bool selectedOk = connection_.succeeded(selected);
  const auto geometry =
      connection_.reply<xcb_get_geometry_reply_t>(geometryCookie, xcb_get_geometry_reply);
  const bool redirectedOk = connection_.succeeded(redirected);
  if (!selectedOk || !geometry || !redirectedOk) return false;
  if (watched_.size() >= kMaxWatched) forgetLeastRecentlyUsed();
  watched_.emplace(topLevel, Watched{geometry->width, geometry->height, 0, false, 0});
  return true;
}

void WindowPixmaps::forgetLeastRecentlyUsed() {
  const auto oldest = std::min_element(
      watched_.begin(), watched_.end(),
      [](const auto& a, const auto& b) { return a.second.lastUse < b.second.lastUse; });
  xcb_connection_t* c = connection_.get();
  const std::uint32_t none = XCB_EVENT_MASK_NO_EVENT;
  // The window may be gone meanwhile; the errors then arrive as events and are ignored.
  xcb_composite_unredirect_window(c, oldest->first, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
  xcb_change_window_attributes(c, oldest->first, XCB_CW_EVENT_MASK, &none);
  watched_.erase(oldest);
}

WindowPixmaps::Repaint WindowPixmaps::awaitRepaint(xcb_window_t topLevel, xcb_window_t client) {
  const Clock::time_point deadline = Clock::now() + kRepaintWait;
  auto generation = generationOf(topLevel);
  if (!generation || !askForRepaint(topLevel, client)) return Repaint::gone;
  Repaint outcome = Repaint::unpainted;
  for (;;) {
    const auto done = painted();
    if (!done) {
      outcome = Repaint::gone;
      break;
    }
    if (*done) {
      outcome = Repaint::painted;
      break;
    }
    while (!damageArrived_ && Clock::now() < deadline && !connection_.broken()) {
      connection_.awaitInput(deadline);
      catchUp();
    }
    if (connection_.broken()) {
      outcome = Repaint::gone;
      break;
    }
    if (!damageArrived_) break;
    const auto now = generationOf(topLevel);
    if (!now) {
      outcome = Repaint::gone;
      break;
    }
    if (*now != *generation) {
      // A new pixmap while waiting: what was painted so far was painted on the old one.
      generation = now;
      if (!askForRepaint(topLevel, client)) {
        outcome = Repaint::gone;
        break;
      }
    }
  }
  xcb_damage_destroy(connection_.get(), damage_);
  if (outcome == Repaint::painted && generationOf(topLevel) == generation) {
    watched_.at(topLevel).vouched = true;
  }
  return outcome;
}

bool WindowPixmaps::askForRepaint(xcb_window_t topLevel, xcb_window_t client) {
  xcb_connection_t* c = connection_.get();
  // A damage object starts out reporting the whole window and takes in what the server paints
  // itself; both are dropped, so that only what is painted after the Expose counts.
  xcb_damage_destroy(c, damage_);
  const auto created =
      xcb_damage_create_checked(c, damage_, topLevel, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
  const auto originCookie = xcb_translate_coordinates(c, client, topLevel, 0, 0);
  if (!connection_.succeeded(created)) return false;
  const auto origin = connection_.reply<xcb_translate_coordinates_reply_t>(
      originCookie, xcb_translate_coordinates_reply);
  const std::vector<ExposeTarget> targets = exposeTargets(connection_, client);
  if (!origin || targets.empty() || targets.front().window != client) return false;
  // The damage object reports in the top-level window's coordinates.
  const xcb_rectangle_t area{origin->dst_x, origin->dst_y, targets.front().width,
                             targets.front().height};
  xcb_xfixes_set_region(c, remaining_, 1, &area);
  damageArrived_ = false;
  for (const ExposeTarget& target : targets) sendExpose(c, target);
  xcb_flush(c);
  return true;
}

std::optional<bool> WindowPixmaps::painted() {
  xcb_connection_t* c = connection_.get();
  damageArrived_ = false;
  xcb_damage_subtract(c, damage_, XCB_NONE, parts_);
  xcb_xfixes_subtract_region(c, remaining_, parts_, remaining_);
  const auto left = connection_.reply<xcb_xfixes_fetch_region_reply_t>(
      xcb_xfixes_fetch_region(c, remaining_), xcb_xfixes_fetch_region_reply);
  if (!left) return std::nullopt;
  return xcb_xfixes_fetch_region_rectangles_length(left.get()) == 0;
}

std::optional<std::uint32_t> WindowPixmaps::generationOf(xcb_window_t topLevel) const {
  const auto found = watched_.find(topLevel);
  if (found == watched_.end()) return std::nullopt;
  return found->second.generation;
}

bool WindowPixmaps::awaitReconfigure(xcb_window_t topLevel, Clock::time_point until) {
  awaitedConfigure_ = topLevel;
  configureArrived_ = false;
  catchUp();
  while (!configureArrived_ && Clock::now() < until && !connection_.broken()) {
    connection_.awaitInput(until);
    catchUp();
  }
  awaitedConfigure_ = XCB_NONE;
  return configureArrived_;
}

bool WindowPixmaps::tryName(xcb_window_t topLevel, NamedPixmap& named) {
  xcb_connection_t* c = connection_.get();
  // One round trip: whether the window can be named, where it is, the naming and the size of
  // what was named.
  const auto attributesCookie = xcb_get_window_attributes(c, topLevel);
  const auto geometryCookie = xcb_get_geometry(c, topLevel);
  const auto nameCookie = xcb_composite_name_window_pixmap_checked(c, topLevel, pixmap_);
  const auto sizeCookie = xcb_get_geometry(c, pixmap_);
  const auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
      attributesCookie, xcb_get_window_attributes_reply);
  const auto geometry =
      connection_.reply<xcb_get_geometry_reply_t>(geometryCookie, xcb_get_geometry_reply);
  const bool wasNamed = connection_.succeeded(nameCookie);
  const auto size = connection_.reply<xcb_get_geometry_reply_t>(sizeCookie, xcb_get_geometry_reply);
  const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  if (!wasNamed || !viewable || !geometry || !size) {
    if (wasNamed) release();
    return false;
  }
  named = NamedPixmap{pixmap_, geometry->x, geometry->y, size->width, size->height};
  return true;
}

void WindowPixmaps::release() {
  pendingRelease_ = xcb_free_pixmap_checked(connection_.get(), pixmap_);
}

void WindowPixmaps::checkRelease() {
  if (!pendingRelease_) return;
  // A failed free leaves nothing to undo: the id was not in use.
  (void)connection_.succeeded(*pendingRelease_);
  pendingRelease_.reset();
}

}  // namespace kex::platform::x11
