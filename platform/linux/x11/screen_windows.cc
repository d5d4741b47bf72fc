#include "platform/linux/x11/screen_windows.h"

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/linux/x11/window_activation.h"

namespace kex::platform::x11 {
namespace {

// More clients than this in the stacking list is a corrupt property.
constexpr std::uint32_t kMostClients = 4096;
// Reparenting window managers put the client one or two levels below its frame.
constexpr int kMaxClientDepth = 3;
// Far more frames than a desktop shows at once.
constexpr std::size_t kMostRememberedFrames = 256;

}  // namespace

bool ScreenWindows::usable() {
  if (connection_ == nullptr || connection_->broken()) return false;
  if (!atoms_) atoms_ = internWindowAtoms(*connection_);
  return true;
}

std::vector<xcb_window_t> ScreenWindows::windowProperty(xcb_atom_t property) {
  const auto reply = connection_->reply<xcb_get_property_reply_t>(
      xcb_get_property(connection_->get(), 0, connection_->root(), property, XCB_ATOM_WINDOW, 0,
                       kMostClients),
      xcb_get_property_reply);
  if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32) return {};
  const auto* data = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
  const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / 4;
  return {data, data + count};
}

std::optional<WindowFacts> ScreenWindows::windowAt(Point point) {
  if (!usable()) return std::nullopt;
  const auto tree = connection_->reply<xcb_query_tree_reply_t>(
      xcb_query_tree(connection_->get(), connection_->root()), xcb_query_tree_reply);
  if (!tree) return std::nullopt;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
  // Every question goes out before the first answer is awaited: one round trip for the stack,
  // and every answer is collected so that none stays queued.
  std::vector<xcb_get_window_attributes_cookie_t> attributeCookies(count);
  std::vector<xcb_get_geometry_cookie_t> geometryCookies(count);
  for (std::size_t i = 0; i < count; ++i) {
    attributeCookies[i] = xcb_get_window_attributes(connection_->get(), children[i]);
    geometryCookies[i] = xcb_get_geometry(connection_->get(), children[i]);
  }
  std::vector<Reply<xcb_get_window_attributes_reply_t>> attributes(count);
  std::vector<Reply<xcb_get_geometry_reply_t>> geometries(count);
  for (std::size_t i = 0; i < count; ++i) {
    attributes[i] = connection_->reply<xcb_get_window_attributes_reply_t>(
        attributeCookies[i], xcb_get_window_attributes_reply);
    geometries[i] =
        connection_->reply<xcb_get_geometry_reply_t>(geometryCookies[i], xcb_get_geometry_reply);
  }
  // The children come bottom to top; the first from the top that holds the point takes it.
  for (std::size_t i = count; i-- > 0;) {
    const auto& attribute = attributes[i];
    const auto& geometry = geometries[i];
    if (!attribute || !geometry) continue;
    // An input-only window shows nothing; what a person sees there is the window below.
    if (attribute->map_state != XCB_MAP_STATE_VIEWABLE ||
        attribute->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
      continue;
    }
    const double border = 2.0 * geometry->border_width;
    const Rect outline{double(geometry->x), double(geometry->y), geometry->width + border,
                       geometry->height + border};
    if (!outline.contains(point)) continue;
    return topLevelFacts(children[i], attribute->override_redirect != 0, outline);
  }
  return std::nullopt;
}

WindowFacts ScreenWindows::topLevelFacts(xcb_window_t window, bool overrideRedirect,
                                         const Rect& outline) {
  if (!overrideRedirect) {
    if (auto client = clientFactsBelow(window)) return std::move(*client);
  }
  // A popup, or a window nobody manages: it is what lies there, owned by whoever made it.
  WindowFacts facts;
  facts.exists = true;
  facts.viewable = true;
  facts.frame = outline;
  facts.clientArea = outline;
  facts.layer = overrideRedirect ? 1 : 0;
  facts.pid = clientPidFrom(*connection_, askClientPid(*connection_, window));
  return facts;
}

std::optional<WindowFacts> ScreenWindows::clientFactsBelow(xcb_window_t topLevel) {
  if (auto known = knownClientBelow(topLevel)) return known;
  return searchClientBelow(topLevel);
}

// The client found below this frame before, if it is still there: every window on the way down
// still has the one above as its parent, and the client still carries WM_STATE. A frame keeps
// its client for the client's life, so this is one round trip where the search takes three.
std::optional<WindowFacts> ScreenWindows::knownClientBelow(xcb_window_t topLevel) {
  const auto known = clientPaths_.find(topLevel);
  if (known == clientPaths_.end()) return std::nullopt;
  const std::vector<xcb_window_t> path = known->second;
  clientPaths_.erase(known);
  std::vector<xcb_query_tree_cookie_t> trees;
  for (std::size_t i = 1; i < path.size(); ++i) {
    trees.push_back(xcb_query_tree(connection_->get(), path[i]));
  }
  WindowProbe probe(*connection_, *atoms_, path.back());
  bool unchanged = true;
  for (std::size_t i = 1; i < path.size(); ++i) {
    const auto tree =
        connection_->reply<xcb_query_tree_reply_t>(trees[i - 1], xcb_query_tree_reply);
    unchanged = unchanged && tree && tree->parent == path[i - 1];
  }
  WindowFacts facts = probe.collect();
  // A frame that holds several clients (tabs) shows one at a time: an unmapped one is searched
  // past again.
  if (!unchanged || !facts.exists || !facts.managed || !facts.viewable) return std::nullopt;
  clientPaths_.emplace(topLevel, path);
  return facts;
}

// The window manager puts WM_STATE on the client; a reparenting one keeps it one or two levels
// below its frame, among the frame's decorations. Each level is asked only for WM_STATE and its
// children, all at once; the whole probe goes to the windows that carry WM_STATE alone, since a
// frame has dozens of decoration windows and probing each costs a dozen requests.
std::optional<WindowFacts> ScreenWindows::searchClientBelow(xcb_window_t topLevel) {
  xcb_connection_t* c = connection_->get();
  std::unordered_map<xcb_window_t, xcb_window_t> parents;
  std::vector<xcb_window_t> level{topLevel};
  for (int depth = 0; depth < kMaxClientDepth && !level.empty(); ++depth) {
    std::vector<xcb_get_property_cookie_t> states;
    std::vector<xcb_query_tree_cookie_t> trees;
    for (const xcb_window_t window : level) {
      states.push_back(
          xcb_get_property(c, 0, window, atoms_->wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
      trees.push_back(xcb_query_tree(c, window));
    }
    std::vector<xcb_window_t> clients;
    std::vector<xcb_window_t> next;
    for (std::size_t i = 0; i < level.size(); ++i) {
      const auto state =
          connection_->reply<xcb_get_property_reply_t>(states[i], xcb_get_property_reply);
      const auto tree = connection_->reply<xcb_query_tree_reply_t>(trees[i], xcb_query_tree_reply);
      if (state && state->type != XCB_ATOM_NONE) {
        clients.push_back(level[i]);
        continue;
      }
      if (!tree) continue;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      const auto count = static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()));
      for (std::size_t j = 0; j < count; ++j) parents.emplace(children[j], level[i]);
      next.insert(next.end(), children, children + count);
    }
    // In level order, as the stack has them; one that went since is passed over.
    for (const xcb_window_t client : clients) {
      WindowFacts facts = WindowProbe(*connection_, *atoms_, client).collect();
      if (!facts.exists || !facts.managed) continue;
      rememberClientPath(topLevel, client, parents);
      return facts;
    }
    level = std::move(next);
  }
  return std::nullopt;
}

void ScreenWindows::rememberClientPath(
    xcb_window_t topLevel, xcb_window_t client,
    const std::unordered_map<xcb_window_t, xcb_window_t>& parents) {
  std::vector<xcb_window_t> path{client};
  while (path.back() != topLevel) path.push_back(parents.at(path.back()));
  std::reverse(path.begin(), path.end());
  // Frames come and go with their clients; what is remembered of gone ones is dropped now and
  // then rather than followed.
  if (clientPaths_.size() >= kMostRememberedFrames) clientPaths_.clear();
  clientPaths_.emplace(topLevel, std::move(path));
}

bool ScreenWindows::hasWindowProperty(xcb_atom_t property) {
  const auto reply = connection_->reply<xcb_get_property_reply_t>(
      xcb_get_property(connection_->get(), 0, connection_->root(), property, XCB_ATOM_WINDOW, 0, 0),
      xcb_get_property_reply);
  return reply && reply->type != XCB_ATOM_NONE;
}

bool ScreenWindows::raise(std::int32_t pid, const Rect& frame) {
  if (!usable()) return false;
  // With a window manager, its stacking list names the clients; without one, the top-levels
  // are the clients themselves.
  const bool managed = hasWindowProperty(atoms_->netClientListStacking);
  std::vector<xcb_window_t> clients;
  if (managed) {
    clients = windowProperty(atoms_->netClientListStacking);
  } else {
    const auto tree = connection_->reply<xcb_query_tree_reply_t>(
        xcb_query_tree(connection_->get(), connection_->root()), xcb_query_tree_reply);
    if (tree) {
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      clients.assign(children, children + xcb_query_tree_children_length(tree.get()));
    }
  }
  std::vector<std::unique_ptr<WindowProbe>> probes;
  probes.reserve(clients.size());
  for (const xcb_window_t client : clients) {
    probes.push_back(std::make_unique<WindowProbe>(*connection_, *atoms_, client));
  }
  std::optional<xcb_window_t> chosen;
  // Both lists run bottom to top; the last match is the top-most.
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const WindowFacts facts = probes[i]->collect();
    if (!facts.exists || facts.pid != pid) continue;
    if (facts.frame == frame || facts.clientArea == frame) chosen = clients[i];
  }
  if (!chosen) return false;
  return activateWindow(*connection_, *atoms_, *chosen,
                        managed ? WindowManagement::ewmh : WindowManagement::none);
}

std::optional<WindowFacts> ScreenWindows::activeWindow() {
  if (!usable()) return std::nullopt;
  const auto active = windowProperty(atoms_->netActiveWindow);
  if (active.empty() || active.front() == XCB_WINDOW_NONE) return std::nullopt;
  WindowProbe probe(*connection_, *atoms_, active.front());
  WindowFacts facts = probe.collect();
  if (!facts.exists) return std::nullopt;
  return facts;
}

}  // namespace kex::platform::x11
