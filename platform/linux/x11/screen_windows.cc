#include "platform/linux/x11/screen_windows.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace kex::platform::x11 {
namespace {

// More clients than this in the stacking list is a corrupt property.
constexpr std::uint32_t kMostClients = 4096;

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
  auto clients = windowProperty(atoms_->netClientListStacking);
  std::reverse(clients.begin(), clients.end());  // the property lists bottom to top
  // Every probe is sent before the first is collected: one round trip for the whole stack.
  std::vector<std::unique_ptr<WindowProbe>> probes;
  probes.reserve(clients.size());
  for (const xcb_window_t client : clients) {
    probes.push_back(std::make_unique<WindowProbe>(*connection_, *atoms_, client));
  }
  std::optional<WindowFacts> found;
  for (auto& probe : probes) {
    WindowFacts facts = probe->collect();
    if (found || !facts.exists || !facts.onScreen() || !facts.frame.contains(point)) continue;
    found = std::move(facts);
  }
  return found;
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
