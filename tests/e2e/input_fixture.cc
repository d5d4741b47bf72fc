#include "tests/e2e/input_fixture.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace kex::e2e {
namespace {

constexpr auto kSettleDeadline = std::chrono::seconds(15);

// An operation with the computer's current sessionId and topologyRevision merged into its args.
json requestFreshOf(harness::Helper& computer, std::string_view operation,
                    json args = json::object()) {
  const json fresh = computer.freshnessArgs();
  args.update(fresh);
  return computer.request(operation, args);
}

}  // namespace

std::unique_ptr<harness::TestApp> InputE2E::startFocusedApp(std::vector<std::string> args,
                                                            const std::string& program) {
  auto app = desktop().startAppAt(program, args);
  // The focus may have come before the application said it was ready.
  const auto& lines = app->lines();
  const auto lastFocus = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& line) {
    return line == "focus-in" || line == "focus-out";
  });
  if (lastFocus != lines.rend() && *lastFocus == "focus-in") return app;
  if (!app->waitForLine("focus-in", harness::deadlineIn(kAppEventDeadline))) {
    ADD_FAILURE() << "the application never had the focus";
  }
  return app;
}

std::string InputE2E::listedTarget(const std::string& title) {
  return listedTarget(helper(), title);
}

std::string InputE2E::listedTarget(harness::Helper& computer, const std::string& title) {
  const json listing = requestFreshOf(computer, "computer.windows");
  if (!listing.value("ok", false)) return "";
  for (const auto& window : listing["result"]["windows"]) {
    if (window.value("title", "") == title) return window["targetId"];
  }
  return "";
}

std::optional<Observed> InputE2E::observe(const std::string& title, int maxWidth) {
  return observe(helper(), title, maxWidth);
}

std::optional<Observed> InputE2E::observe(harness::Helper& computer, const std::string& title,
                                          int maxWidth) {
  const auto deadline = harness::deadlineIn(kSettleDeadline);
  json last;
  while (!harness::hasPassed(deadline)) {
    const std::string target = listedTarget(computer, title);
    if (target.empty()) continue;
    json capture = requestFreshOf(computer, "computer.capture",
                                  {{"targetId", target}, {"maxWidth", maxWidth}});
    if (!capture.value("ok", false)) {
      last = capture;
      continue;
    }
    json result = capture["result"];
    result.erase("image");
    return Observed{target, result["captureId"], result};
  }
  ADD_FAILURE() << "no capture of " << title << " before the deadline; last " << last.dump();
  return std::nullopt;
}

json InputE2E::pointer(const Observed& observed, const std::string& action, long x, long y,
                       json extra) {
  return pointer(helper(), observed, action, x, y, std::move(extra));
}

json InputE2E::pointer(harness::Helper& computer, const Observed& observed,
                       const std::string& action, long x, long y, json extra) {
  extra["captureId"] = observed.captureId;
  extra["action"] = action;
  extra["x"] = x;
  extra["y"] = y;
  return requestFreshOf(computer, "computer.pointer", extra);
}

json InputE2E::keyboard(const Observed& observed, json args) {
  args["captureId"] = observed.captureId;
  return requestFresh("computer.keyboard", args);
}

std::string InputE2E::nodeTitled(const std::string& targetId, const std::string& title,
                                 json* tree) {
  const json response =
      requestFresh("computer.accessibility", {{"targetId", targetId}, {"maxNodes", 64}});
  if (!response.value("ok", false)) {
    ADD_FAILURE() << "no tree: " << response.dump();
    return "";
  }
  if (tree != nullptr) *tree = response["result"]["tree"];
  std::string found;
  std::function<void(const json&)> visit = [&](const json& node) {
    if (found.empty() && node.value("title", "") == title && node.contains("nodeId")) {
      found = node["nodeId"];
    }
    if (node.contains("children")) {
      for (const auto& child : node["children"]) visit(child);
    }
  };
  visit(response["result"]["tree"]);
  return found;
}

std::pair<int, int> InputE2E::windowPointOf(const Observed& observed, long x, long y,
                                            std::pair<int, int> clientOrigin) {
  const json& frame = observed.capture["sourceRect"];
  const auto width = observed.capture["width"].get<double>();
  const auto height = observed.capture["height"].get<double>();
  const double screenX =
      frame["x"].get<double>() + (static_cast<double>(x) * frame["width"].get<double>()) / width;
  const double screenY =
      frame["y"].get<double>() + (static_cast<double>(y) * frame["height"].get<double>()) / height;
  return {static_cast<int>(std::floor(screenX)) - clientOrigin.first,
          static_cast<int>(std::floor(screenY)) - clientOrigin.second};
}

std::optional<std::pair<long, long>> InputE2E::titleBarMiddle(const Observed& observed,
                                                              std::pair<int, int> clientOrigin) {
  const json& frame = observed.capture["sourceRect"];
  const long above = clientOrigin.second - frame["y"].get<long>();
  if (above <= 0 || observed.capture["width"] != frame["width"]) return std::nullopt;
  return std::pair<long, long>{observed.capture["width"].get<long>() / 2, above / 2};
}

void InputE2E::expectTitleBarClickAccepted(harness::TestApp& app, const std::string& title) {
  const auto observed = observe(title);
  ASSERT_TRUE(observed);
  const auto origin = desktop().root().windowOrigin(app.xid());
  ASSERT_TRUE(origin);
  const auto bar = titleBarMiddle(*observed, *origin);
  ASSERT_TRUE(bar) << observed->capture.dump();
  const json response = pointer(*observed, "click", bar->first, bar->second);
  ASSERT_EQ(response.value("ok", false), true) << response.dump();
  EXPECT_EQ(desktop().root().windowOrigin(app.xid()), origin);
  const long below = 2 * bar->second + 20;
  ASSERT_EQ(pointer(*observed, "click", bar->first, below).value("ok", false), true);
  const auto [x, y] = windowPointOf(*observed, bar->first, below, *origin);
  EXPECT_EQ(nextLineOf(app, "button "), "button 1 " + std::to_string(x) + " " + std::to_string(y));
}

json InputE2E::action(const Observed& observed, const std::string& nodeId,
                      const std::string& name) {
  return requestFresh("computer.action",
                      {{"nodeId", nodeId}, {"captureId", observed.captureId}, {"action", name}});
}

harness::Ending InputE2E::xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  return desktop().runTool(args);
}

std::string InputE2E::keymap() { return desktop().runTool({"xmodmap", "-pke"}).output; }

void expectRefusedUndispatched(const json& response, std::string_view code) {
  EXPECT_EQ(response.value("ok", true), false) << response.dump();
  EXPECT_EQ(response.value("error", ""), code) << response.dump();
  EXPECT_EQ(response.value("dispatched", true), false) << response.dump();
}

std::optional<std::string> nextLineOf(harness::TestApp& app, std::string_view prefix,
                                      harness::Deadline deadline) {
  return app.waitForLine(prefix, deadline);
}

}  // namespace kex::e2e
