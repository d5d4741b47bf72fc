// What the end-to-end tests of focus, element actions, keyboard and pointer share: test
// applications that report what reaches them, and the requests a host makes before its input.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {

inline constexpr auto kAppEventDeadline = std::chrono::seconds(10);

// A listed window and a capture of it that agree: the capture's "captureId", and the listing's
// "targetId".
struct Observed {
  std::string targetId;
  std::string captureId;
  json capture;  // the capture result without its image
};

// Runs on the test thread.
class InputE2E : public E2ETest {
 protected:
  // Starts a test application (the GTK one unless another program is named) and waits until the
  // window manager has given it the focus.
  std::unique_ptr<harness::TestApp> startFocusedApp(std::vector<std::string> args,
                                                    const std::string& program = KEX_TEST_APP_PATH);

  // Lists windows and captures the titled one, again until both succeed: a window manager may
  // still move a window that has just appeared, and a moved window is stale until listed again.
  // Through the test's kex-computer unless another is named.
  std::optional<Observed> observe(const std::string& title, int maxWidth = 1024);
  std::optional<Observed> observe(harness::Helper& computer, const std::string& title,
                                  int maxWidth = 1024);

  // The listing's target id of the titled window; empty when it is not listed.
  std::string listedTarget(const std::string& title);
  static std::string listedTarget(harness::Helper& computer, const std::string& title);

  json pointer(const Observed& observed, const std::string& action, long x, long y,
               json extra = json::object());
  static json pointer(harness::Helper& computer, const Observed& observed,
                      const std::string& action, long x, long y, json extra = json::object());
  json keyboard(const Observed& observed, json args);
  // computer.action on the node, with the observation's capture.
  json action(const Observed& observed, const std::string& nodeId, const std::string& name);

  // The node id of the first node with this title in a fresh tree of the target; empty when
  // there is none.
  std::string nodeTitled(const std::string& targetId, const std::string& title,
                         json* tree = nullptr);

  // Where the X server puts the pointer for a capture pixel, in the application's own window
  // coordinates (the window's client area starts at clientOrigin on the screen).
  static std::pair<int, int> windowPointOf(const Observed& observed, long x, long y,
                                           std::pair<int, int> clientOrigin);

  // The pixel of a full-size capture in the middle of the window's title bar, the decorations
  // above its client area (which starts at clientOrigin on the screen); nothing when the window
  // has none.
  static std::optional<std::pair<long, long>> titleBarMiddle(const Observed& observed,
                                                             std::pair<int, int> clientOrigin);

  // Clicks the middle of the titled window's title bar and expects the click accepted with the
  // window left where it is. The press goes to the decorations, so the next press the application
  // reports is that of a second click, below them.
  void expectTitleBarClickAccepted(harness::TestApp& app, const std::string& title);

  harness::Ending xdotool(std::vector<std::string> args);
  // The keyboard mapping as xmodmap prints it.
  std::string keymap();
};

// Expects a failure with the code that says nothing reached the desktop.
void expectRefusedUndispatched(const json& response, std::string_view code);

// The next line of the app that starts with one of the prefixes; nothing at the deadline.
std::optional<std::string> nextLineOf(
    harness::TestApp& app, std::string_view prefix,
    harness::Deadline deadline = harness::deadlineIn(kAppEventDeadline));

}  // namespace kex::e2e
