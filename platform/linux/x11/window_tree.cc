#include "platform/linux/x11/window_tree.h"

namespace kex::platform::x11 {
namespace {

// Deeper nesting than this is a corrupt or hostile tree, not a window manager's frame.
constexpr int kMaxDepth = 16;

}  // namespace

std::optional<xcb_window_t> topLevelAncestor(const Connection& connection, xcb_window_t window) {
  xcb_window_t current = window;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    auto tree = connection.reply<xcb_query_tree_reply_t>(xcb_query_tree(connection.get(), current),
                                                         xcb_query_tree_reply);
    if (!tree || tree->parent == XCB_NONE) {
      return std::nullopt;
    }
    if (tree->parent == connection.root()) {
      return current;
    }
    current = tree->parent;
  }
  return std::nullopt;
}

}  // namespace kex::platform::x11
