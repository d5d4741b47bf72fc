#include "platform/linux/x11/window_list.h"

#include <unistd.h>

#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/desktop.h"
#include "platform/linux/x11/process_info.h"
#include "platform/linux/x11/window_activation.h"
#include "platform/linux/x11/window_probe.h"
#include "platform/linux/x11/window_tree.h"

namespace kex::platform::x11 {
namespace {

// More clients than this in the stacking list is a corrupt property; the logic looks at 128.
constexpr std::uint32_t kMaxClients = 4096;
// Reparenting window managers put the client one or two levels below its frame.
constexpr int kMaxClientDepth = 3;

using PropertyReply = Reply<xcb_get_property_reply_t>;
using TreeReply = Reply<xcb_query_tree_reply_t>;

std::span<const xcb_window_t> windowsOf(const PropertyReply& reply) {
  if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32) {
    return {};
  }
  const auto* data = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
  return {data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / 4};
}

std::span<const xcb_window_t> childrenOf(const TreeReply& tree) {
  if (!tree) {
    return {};
  }
  return {xcb_query_tree_children(tree.get()),
          static_cast<std::size_t>(xcb_query_tree_children_length(tree.get()))};
}

std::string fileNameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Executable paths of one listing, so that an application with many windows is read once.
// The listing's thread; it lives for one listing.
class ExecutableCache {
 public:
  const std::optional<std::string>& of(std::int32_t pid) {
    auto found = paths_.find(pid);
    if (found == paths_.end()) {
      found = paths_.emplace(pid, executablePath(pid)).first;
    }
    return found->second;
  }

 private:
  std::unordered_map<std::int32_t, std::optional<std::string>> paths_;
};

std::optional<RunningApplication> ownerOf(const WindowFacts& facts, ExecutableCache& executables) {
  if (!facts.pid) {
    return std::nullopt;
  }
  RunningApplication owner;
  owner.processId = *facts.pid;
  owner.bundleIdentifier = executables.of(*facts.pid);
  if (facts.applicationClass) {
    owner.applicationName = *facts.applicationClass;
  } else if (owner.bundleIdentifier) {
    owner.applicationName = fileNameOf(*owner.bundleIdentifier);
  }
  return owner;
}

// One window still being searched for the client it frames: its top-level's place in the
// stacking order, and the window to look at.
struct Candidate {
  std::size_t topLevel;
  xcb_window_t window;
};

}  // namespace

X11WindowServices::X11WindowServices(const Connection* connection, DisplayServices& displays)
    : connection_(connection), displays_(displays) {
  if (connection_ != nullptr) {
    atoms_ = internWindowAtoms(*connection_);
  }
}

bool X11WindowServices::connected() const {
  return connection_ != nullptr && !connection_->broken();
}

ShareableContent X11WindowServices::shareableContent() {
  if (!connected()) {
    throw PlatformError("no connection to the X server");
  }
  const auto displays = displays_.activeDisplays();
  if (!displays) {
    throw PlatformError("the displays could not be read");
  }
  ShareableContent content;
  for (const DisplayInfo& display : *displays) {
    content.displays.push_back(DisplayContent{display.id, display.bounds});
  }
  content.windows = listedWindows(managedClients().windows);
  if (connection_->broken()) {
    throw PlatformError("the connection to the X server broke");
  }
  return content;
}

X11WindowServices::ManagedClients X11WindowServices::managedClients() {
  const auto stacking = connection_->reply<xcb_get_property_reply_t>(
      xcb_get_property(connection_->get(), 0, connection_->root(), atoms_.netClientListStacking,
                       XCB_ATOM_WINDOW, 0, kMaxClients),
      xcb_get_property_reply);
  if (!stacking || stacking->type != XCB_ATOM_WINDOW) {
    return {clientsByTreeWalk(), false};
  }
  // The list runs bottom to top.
  const auto bottomToTop = windowsOf(stacking);
  return {std::vector<xcb_window_t>(bottomToTop.rbegin(), bottomToTop.rend()), true};
}

std::vector<xcb_window_t> X11WindowServices::clientsByTreeWalk() {
  const TreeReply rootTree = connection_->reply<xcb_query_tree_reply_t>(
      xcb_query_tree(connection_->get(), connection_->root()), xcb_query_tree_reply);
  const auto topLevels = childrenOf(rootTree);  // bottom to top
  std::vector<xcb_window_t> clientOf(topLevels.size(), XCB_NONE);
  std::vector<Candidate> level;
  for (std::size_t i = 0; i < topLevels.size(); ++i) {
    level.push_back({i, topLevels[i]});
  }
  // Each level of the tree is asked in one round trip: is this the client, and what is below.
  for (int depth = 0; depth < kMaxClientDepth && !level.empty(); ++depth) {
    std::vector<xcb_get_property_cookie_t> stateCookies;
    std::vector<xcb_query_tree_cookie_t> treeCookies;
    for (const Candidate& candidate : level) {
      stateCookies.push_back(xcb_get_property(connection_->get(), 0, candidate.window,
                                              atoms_.wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0));
      treeCookies.push_back(xcb_query_tree(connection_->get(), candidate.window));
    }
    std::vector<Candidate> next;
    for (std::size_t i = 0; i < level.size(); ++i) {
      const auto state =
          connection_->reply<xcb_get_property_reply_t>(stateCookies[i], xcb_get_property_reply);
      const TreeReply tree =
          connection_->reply<xcb_query_tree_reply_t>(treeCookies[i], xcb_query_tree_reply);
      const std::size_t topLevel = level[i].topLevel;
      if (clientOf[topLevel] != XCB_NONE) {
        continue;
      }
      if (state && state->type != XCB_ATOM_NONE) {
        clientOf[topLevel] = level[i].window;
        continue;
      }
      for (const xcb_window_t child : childrenOf(tree)) {
        next.push_back({topLevel, child});
      }
    }
    level = std::move(next);
  }
  std::vector<xcb_window_t> frontToBack;
  for (auto it = clientOf.rbegin(); it != clientOf.rend(); ++it) {
    if (*it != XCB_NONE) {
      frontToBack.push_back(*it);
    }
  }
  return frontToBack;
}

std::vector<WindowInfo> X11WindowServices::listedWindows(const std::vector<xcb_window_t>& clients) {
  // Every window's requests go out before the first answer is awaited: one round trip.
  std::vector<WindowProbe> probes;
  probes.reserve(clients.size());
  for (const xcb_window_t client : clients) {
    probes.emplace_back(*connection_, atoms_, client);
  }
  ExecutableCache executables;
  std::vector<WindowInfo> windows;
  for (std::size_t i = 0; i < probes.size(); ++i) {
    const WindowFacts facts = probes[i].collect();
    if (!facts.exists || !facts.managed) {
      continue;
    }
    if (!facts.onScreen()) {
      continue;
    }
    windows.push_back(WindowInfo{clients[i], facts.frame, facts.title, facts.layer,
                                 ownerOf(facts, executables), facts.clientArea});
  }
  return windows;
}

std::optional<std::vector<LiveWindow>> X11WindowServices::liveWindow(std::uint32_t windowId) {
  if (!connected()) {
    return std::nullopt;
  }
  const WindowFacts facts = WindowProbe(*connection_, atoms_, windowId).collect();
  if (connection_->broken()) {
    return std::nullopt;
  }
  if (!facts.exists) {
    return std::vector<LiveWindow>{};
  }
  return std::vector<LiveWindow>{
      LiveWindow{windowId, facts.pid, facts.onScreen(), facts.frame, facts.title}};
}

std::optional<std::string> X11WindowServices::bundleIdentifierOf(std::int32_t pid) {
  return executablePath(pid);
}

std::optional<std::int32_t> X11WindowServices::frontmostProcessId() {
  if (!connected()) {
    return std::nullopt;
  }
  const auto active = connection_->reply<xcb_get_property_reply_t>(
      xcb_get_property(connection_->get(), 0, connection_->root(), atoms_.netActiveWindow,
                       XCB_ATOM_WINDOW, 0, 1),
      xcb_get_property_reply);
  if (!active) {
    return std::nullopt;
  }
  if (active->type == XCB_ATOM_NONE) {
    return focusedClientPid();
  }
  // A window manager that keeps the property and names no window says nothing is active.
  const auto windows = windowsOf(active);
  if (windows.empty() || windows.front() == XCB_NONE) {
    return std::nullopt;
  }
  return clientPidFrom(*connection_, askClientPid(*connection_, windows.front()));
}

// Without a window manager's word, keyboard input goes wherever the X input focus is: to the
// client that made the focused window.
std::optional<std::int32_t> X11WindowServices::focusedClientPid() {
  const auto focus = connection_->reply<xcb_get_input_focus_reply_t>(
      xcb_get_input_focus(connection_->get()), xcb_get_input_focus_reply);
  if (!focus || focus->focus == XCB_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT ||
      focus->focus == connection_->root()) {
    return std::nullopt;
  }
  return clientPidFrom(*connection_, askClientPid(*connection_, focus->focus));
}

bool X11WindowServices::activateApplication(std::int32_t pid) {
  if (!connected() || pid <= 0) {
    return false;
  }
  const ManagedClients clients = managedClients();
  std::vector<std::optional<xcb_res_query_client_ids_cookie_t>> cookies;
  cookies.reserve(clients.windows.size());
  for (const xcb_window_t window : clients.windows) {
    cookies.push_back(askClientPid(*connection_, window));
  }
  xcb_window_t topmost = XCB_NONE;
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    const auto owner = clientPidFrom(*connection_, cookies[i]);
    if (topmost == XCB_NONE && owner == pid) {
      topmost = clients.windows[i];
    }
  }
  if (topmost == XCB_NONE) {
    return false;
  }
  return activateWindow(*connection_, atoms_, topmost,
                        clients.ewmh ? WindowManagement::ewmh : WindowManagement::none);
}

std::optional<ProcessRecord> X11WindowServices::processRecord(std::int32_t pid) {
  return readProcessRecord(pid);
}

std::int32_t X11WindowServices::ownProcessId() { return static_cast<std::int32_t>(::getpid()); }

std::int32_t X11WindowServices::parentProcessId() { return static_cast<std::int32_t>(::getppid()); }

}  // namespace kex::platform::x11
