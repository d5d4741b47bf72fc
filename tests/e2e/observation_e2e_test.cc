// computer.windows, computer.displays and computer.capture against test applications on a
// private desktop: what is listed, what a capture shows, when a listed window's target goes
// stale, and what a kex-computer serving a fixture process may see.
#include <png.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

constexpr auto kSettleTime = std::chrono::seconds(15);
constexpr std::string_view kTestAppClass = "Kex-test-app";

// --- images -----------------------------------------------------------------------------------

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Nothing for text that is not padded base64 of the standard alphabet.
std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  std::string bytes;
  std::uint32_t bits = 0;
  int bitCount = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    const int value = base64Value(text[i]);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    bitCount += 6;
    if (bitCount < 8) continue;
    bitCount -= 8;
    bytes.push_back(static_cast<char>((bits >> bitCount) & 0xffu));
  }
  return bytes;
}

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  [[nodiscard]] std::uint32_t pixel(int x, int y) const {
    const auto at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(x)) *
                    3;
    return (std::uint32_t{rgb[at]} << 16) | (std::uint32_t{rgb[at + 1]} << 8) | rgb[at + 2];
  }
};

std::optional<Image> decodePng(const std::string& bytes) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) return std::nullopt;
  png.format = PNG_FORMAT_RGB;
  Image image;
  image.width = static_cast<int>(png.width);
  image.height = static_cast<int>(png.height);
  image.rgb.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) {
    png_image_free(&png);
    return std::nullopt;
  }
  return image;
}

// The image of a capture result; nothing (with a failure) when it is not a base64 PNG.
std::optional<Image> capturedImage(const json& result) {
  if (result.value("format", "") != "png" || result.value("encoding", "") != "base64") {
    ADD_FAILURE() << "not a base64 PNG: format " << result.value("format", "?") << ", encoding "
                  << result.value("encoding", "?");
    return std::nullopt;
  }
  const auto bytes = decodeBase64(result.value("image", ""));
  if (!bytes) {
    ADD_FAILURE() << "the image is not base64";
    return std::nullopt;
  }
  auto image = decodePng(*bytes);
  if (!image) ADD_FAILURE() << "the image does not decode as PNG";
  return image;
}

// Equal but for a rounding step in each channel, which scaling may cause.
bool sameColour(std::uint32_t a, std::uint32_t b) {
  for (int shift : {0, 8, 16}) {
    const int channelA = static_cast<int>((a >> shift) & 0xffu);
    const int channelB = static_cast<int>((b >> shift) & 0xffu);
    if (std::abs(channelA - channelB) > 2) return false;
  }
  return true;
}

std::string hexColour(std::uint32_t colour) {
  std::ostringstream text;
  text << std::hex << colour;
  return text.str();
}

// A response fit for a failure message: an image stands as its length.
std::string brief(json response) {
  if (response.contains("result") && response["result"].contains("image")) {
    auto& image = response["result"]["image"];
    image = std::to_string(image.get<std::string>().size()) + " characters of image";
  }
  return response.dump();
}

// As expectFailure, with the image of a capture that should have been refused left out.
void expectRefusal(const json& response, std::string_view error, std::string_view id) {
  EXPECT_EQ(response.value("ok", true), false) << brief(response);
  EXPECT_EQ(response.value("error", ""), error) << brief(response);
  EXPECT_EQ(response.value("id", ""), id) << brief(response);
  EXPECT_TRUE(response.contains("dispatched") && response["dispatched"].is_boolean())
      << brief(response);
}

// --- geometry ---------------------------------------------------------------------------------

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

std::ostream& operator<<(std::ostream& out, const Rect& rect) {
  return out << rect.width << "x" << rect.height << "+" << rect.x << "+" << rect.y;
}

Rect rectOf(const json& sourceRect) {
  const auto field = [&](const char* name) {
    return static_cast<int>(sourceRect.value(name, -1.0));
  };
  return {field("x"), field("y"), field("width"), field("height")};
}

// The number after "<label>" on a line of a tool's output.
std::optional<int> numberAfter(const std::string& output, std::string_view label) {
  const auto at = output.find(label);
  if (at == std::string::npos) return std::nullopt;
  return std::atoi(output.c_str() + at + label.size());
}

// The client window's rectangle on the root window, as xwininfo reports it.
std::optional<Rect> clientRect(harness::VirtualDesktop& desktop, std::uint32_t xid) {
  const auto info = desktop.runTool({"xwininfo", "-id", std::to_string(xid)});
  if (info.exitStatus != 0) return std::nullopt;
  const auto x = numberAfter(info.output, "Absolute upper-left X:");
  const auto y = numberAfter(info.output, "Absolute upper-left Y:");
  const auto width = numberAfter(info.output, "Width:");
  const auto height = numberAfter(info.output, "Height:");
  if (!x || !y || !width || !height) return std::nullopt;
  return Rect{*x, *y, *width, *height};
}

// The client window grown by the decorations the window manager announces around it.
std::optional<Rect> decoratedFrame(harness::VirtualDesktop& desktop, std::uint32_t xid) {
  const auto client = clientRect(desktop, xid);
  const auto property =
      desktop.runTool({"xprop", "-id", std::to_string(xid), "_NET_FRAME_EXTENTS"});
  const auto equals = property.output.find('=');
  if (!client || equals == std::string::npos) return std::nullopt;
  std::array<int, 4> extents{};  // left, right, top, bottom
  std::istringstream values(property.output.substr(equals + 1));
  for (int& extent : extents) {
    char comma = 0;
    if (!(values >> extent)) return std::nullopt;
    values >> comma;
  }
  return Rect{client->x - extents[0], client->y - extents[2],
              client->width + extents[0] + extents[1], client->height + extents[2] + extents[3]};
}

bool xdotool(harness::VirtualDesktop& desktop, std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  return desktop.runTool(args).exitStatus == 0;
}

bool setTitle(harness::VirtualDesktop& desktop, std::uint32_t xid, const std::string& title) {
  const auto id = std::to_string(xid);
  const auto utf8 = desktop.runTool(
      {"xprop", "-id", id, "-f", "_NET_WM_NAME", "8u", "-set", "_NET_WM_NAME", title});
  const auto legacy =
      desktop.runTool({"xprop", "-id", id, "-f", "WM_NAME", "8s", "-set", "WM_NAME", title});
  return utf8.exitStatus == 0 && legacy.exitStatus == 0;
}

bool isMinimised(harness::VirtualDesktop& desktop, std::uint32_t xid) {
  const auto state =
      desktop.runTool({"xprop", "-id", std::to_string(xid), "_NET_WM_STATE", "WM_STATE"});
  const auto info = desktop.runTool({"xwininfo", "-id", std::to_string(xid)});
  return state.output.find("_NET_WM_STATE_HIDDEN") != std::string::npos &&
         state.output.find("Iconic") != std::string::npos &&
         info.output.find("IsUnMapped") != std::string::npos;
}

bool waitUntil(const std::function<bool()>& condition) {
  const auto deadline = harness::deadlineIn(kSettleTime);
  while (!harness::hasPassed(deadline)) {
    if (condition()) return true;
  }
  return condition();
}

// Sends SIGCONT to the application when the test ends, however it ends.
class Thaw {
 public:
  explicit Thaw(harness::ChildProcess& process) : process_(process) {}
  ~Thaw() { (void)process_.signal(SIGCONT); }
  Thaw(const Thaw&) = delete;
  Thaw& operator=(const Thaw&) = delete;

 private:
  harness::ChildProcess& process_;
};

// --- the fixtures -----------------------------------------------------------------------------

using WindowPredicate = std::function<bool(const json&)>;

WindowPredicate titled(const std::string& title) {
  return [title](const json& window) { return window.value("title", "") == title; };
}

class ObservationTest : public E2ETest {
 protected:
  // The listed windows; empty (keeping the answer in last_) when the listing failed.
  [[nodiscard]] json windows() {
    const json response = requestFresh("computer.windows");
    last_ = response;
    if (!response.value("ok", false)) return json::array();
    return response["result"]["windows"];
  }

  // The first listed window the predicate accepts, once the listing shows one.
  [[nodiscard]] std::optional<json> waitForWindow(const WindowPredicate& wanted) {
    const auto deadline = harness::deadlineIn(kSettleTime);
    while (!harness::hasPassed(deadline)) {
      const json listed = windows();
      const auto found = std::find_if(listed.begin(), listed.end(), wanted);
      if (found != listed.end()) return *found;
    }
    ADD_FAILURE() << "no such window listed before the deadline; last listing " << last_.dump();
    return std::nullopt;
  }

  [[nodiscard]] json capture(const json& targetId, std::optional<int> maxWidth = std::nullopt) {
    json args{{"targetId", targetId}};
    if (maxWidth) args["maxWidth"] = *maxWidth;
    return requestFresh("computer.capture", args);
  }

  // The first answer to capturing the window that is not "target_stale". A window manager may
  // still move a window that has just appeared, and a moved window is stale until listed
  // again; so list and capture afresh until both agree. The window stays in listed_.
  [[nodiscard]] std::optional<json> settledCapture(const WindowPredicate& wanted) {
    const auto deadline = harness::deadlineIn(kSettleTime);
    while (!harness::hasPassed(deadline)) {
      const auto window = waitForWindow(wanted);
      if (!window) return std::nullopt;
      listed_ = *window;
      json response = capture((*window)["targetId"]);
      if (response.value("error", "") != "target_stale") return response;
      last_ = response;
    }
    ADD_FAILURE() << "the window stayed stale until the deadline; last answer " << last_.dump();
    return std::nullopt;
  }

  // The listed window, once a capture of it has succeeded.
  [[nodiscard]] std::optional<json> capturableWindow(const WindowPredicate& wanted) {
    const auto response = settledCapture(wanted);
    if (!response) return std::nullopt;
    if (!response->value("ok", false)) {
      ADD_FAILURE() << "capture failed: " << response->dump();
      return std::nullopt;
    }
    return listed_;
  }

  [[nodiscard]] json displayTarget() {
    const json response = requestFresh("computer.displays");
    if (!response.value("ok", false) || response["result"]["displays"].empty()) {
      ADD_FAILURE() << "no display listed: " << response.dump();
      return "";
    }
    return response["result"]["displays"][0]["targetId"];
  }

  void expectStale(const json& window) {
    const json response = capture(window["targetId"]);
    expectRefusal(response, "target_stale", helper().lastRequestId());
  }

  json listed_;
  json last_;
};

// --- listing ----------------------------------------------------------------------------------

using WindowListingE2E = ObservationTest;

TEST_F(WindowListingE2E, ListsTheAppWindowWithItsTitleApplicationAndDecoratedFrame) {
  auto app = desktop().startApp(
      {"--title", "Listed window", "--size", "400x300", "--position", "100,120"});
  const auto window = waitForWindow(titled("Listed window"));
  ASSERT_TRUE(window);
  EXPECT_EQ(window->value("application", ""), kTestAppClass);
  EXPECT_TRUE((*window)["targetId"].is_string() && !(*window)["targetId"].empty())
      << window->dump();

  const Rect frame = rectOf((*window)["sourceRect"]);
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin);
  EXPECT_LE(frame.x, origin->first) << frame;
  EXPECT_LT(frame.y, origin->second) << "no title bar above the client: " << frame;
  EXPECT_GE(frame.x + frame.width, origin->first + 400) << frame;
  EXPECT_GE(frame.y + frame.height, origin->second + 300) << frame;
}

TEST_F(WindowListingE2E, ListsExactlyTheFrameTheWindowManagerDrawsAroundTheClient) {
  auto app = desktop().startApp({"--title", "Framed", "--size", "360x240", "--position", "50,70"});
  std::optional<Rect> expected;
  std::optional<Rect> listed;
  // The window manager may still be placing the window, so wait for the two to agree.
  const bool agreed = waitUntil([&] {
    expected = decoratedFrame(desktop(), app->xid());
    const auto window = waitForWindow(titled("Framed"));
    if (window) listed = rectOf((*window)["sourceRect"]);
    return expected && listed && *expected == *listed;
  });
  ASSERT_TRUE(expected) << "no frame extents on the window";
  ASSERT_TRUE(listed);
  EXPECT_TRUE(agreed) << "listed " << *listed << ", the X frame is " << *expected;
  EXPECT_GT(listed->width, 360);
  EXPECT_GT(listed->height, 240);
}

// Nothing but the two applications' windows is listed: no root, frame or other window of the
// window manager's own.
TEST_F(WindowListingE2E, ListsOnlyApplicationWindowsFrontToBack) {
  auto back = desktop().startApp({"--title", "Back", "--bare"});
  auto front = desktop().startApp({"--title", "Front", "--bare"});
  const auto listedInOrder = [&](const std::vector<std::string>& expected) {
    return waitUntil([&] {
      std::vector<std::string> titles;
      for (const auto& window : windows()) titles.push_back(window.value("title", ""));
      return titles == expected;
    });
  };
  ASSERT_TRUE(xdotool(desktop(), {"windowactivate", "--sync", std::to_string(front->xid())}));
  EXPECT_TRUE(listedInOrder({"Front", "Back"})) << last_.dump();
  ASSERT_TRUE(xdotool(desktop(), {"windowactivate", "--sync", std::to_string(back->xid())}));
  EXPECT_TRUE(listedInOrder({"Back", "Front"})) << last_.dump();
}

TEST_F(WindowListingE2E, ListsTheWholeScreenAsOneDisplayOfTheCurrentTopology) {
  const json status = statusResult();
  const json response = requestFresh("computer.displays");
  ASSERT_TRUE(response.value("ok", false)) << response.dump();
  const json& result = response["result"];
  EXPECT_EQ(result.value("topologyRevision", ""), status.value("topologyRevision", ""));
  ASSERT_EQ(result["displays"].size(), 1u) << response.dump();
  const json& display = result["displays"][0];
  EXPECT_EQ(rectOf(display["sourceRect"]), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(display.value("pixelWidth", 0), 1280);
  EXPECT_EQ(display.value("pixelHeight", 0), 800);
  EXPECT_EQ(display.value("rotation", -1), 0);
  EXPECT_TRUE(display["displayId"].is_string()) << display.dump();
  EXPECT_TRUE(display["targetId"].is_string()) << display.dump();
}

// --- capture ----------------------------------------------------------------------------------

using CaptureE2E = ObservationTest;

TEST_F(CaptureE2E, CapturesTheDisplayAsA1024WidePngByDefaultShowingTheScreen) {
  auto app = desktop().startApp({"--title", "Green", "--bare", "--color", "00c000", "--size",
                                 "400x300", "--position", "200,200"});
  const json target = displayTarget();
  const json response = capture(target);
  ASSERT_TRUE(response.value("ok", false)) << response.dump();
  const json& result = response["result"];
  EXPECT_EQ(result["targetId"], target);
  EXPECT_EQ(rectOf(result["sourceRect"]), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(result.value("width", 0), 1024);
  EXPECT_EQ(result.value("height", 0), 640);
  const auto image = capturedImage(result);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1024);
  EXPECT_EQ(image->height, 640);

  // The middle of the window, scaled by 1024/1280 as the whole screen is.
  const auto origin = desktop().root().windowOrigin(app->xid());
  ASSERT_TRUE(origin);
  const int x = (origin->first + 200) * 4 / 5;
  const int y = (origin->second + 150) * 4 / 5;
  EXPECT_TRUE(sameColour(image->pixel(x, y), 0x00c000u)) << hexColour(image->pixel(x, y));
}

TEST_F(CaptureE2E, ScalesTheDisplayDownToNoLessThan64PixelsWide) {
  const json response = capture(displayTarget(), 10);
  ASSERT_TRUE(response.value("ok", false)) << response.dump();
  const json& result = response["result"];
  EXPECT_EQ(result.value("width", 0), 64);
  EXPECT_EQ(result.value("height", 0), 40);
  const auto image = capturedImage(result);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 64);
  EXPECT_EQ(image->height, 40);
}

TEST_F(CaptureE2E, CapturesAWindowsOwnPixelsWhereAnotherWindowCoversIt) {
  constexpr std::uint32_t kRed = 0xc03030;
  constexpr std::uint32_t kBlue = 0x3030c0;
  auto covered = desktop().startApp({"--title", "Covered", "--bare", "--color", "c03030", "--size",
                                     "400x300", "--position", "100,100"});
  auto cover = desktop().startApp({"--title", "Cover", "--bare", "--color", "3030c0", "--size",
                                   "400x300", "--position", "300,250"});
  ASSERT_TRUE(xdotool(desktop(), {"windowactivate", "--sync", std::to_string(cover->xid())}));
  const auto client = clientRect(desktop(), covered->xid());
  ASSERT_TRUE(client);
  // Well inside the client: one point left of the cover, one under it.
  const int openX = client->x + 50;
  const int openY = client->y + 250;
  const int hiddenX = client->x + 350;
  const int hiddenY = client->y + 250;
  ASSERT_TRUE(waitUntil([&] {
    const auto screen = desktop().root().capture(hiddenX, hiddenY, 1, 1);
    return screen.size() == 1 && screen[0] == kBlue;
  })) << "the cover does not cover the point";

  const auto response = settledCapture(titled("Covered"));
  ASSERT_TRUE(response);
  ASSERT_TRUE(response->value("ok", false)) << response->dump();
  const json& result = (*response)["result"];
  const Rect frame = rectOf(listed_["sourceRect"]);
  EXPECT_EQ(rectOf(result["sourceRect"]), frame);
  EXPECT_EQ(result.value("width", 0), frame.width);
  EXPECT_EQ(result.value("height", 0), frame.height);
  const auto image = capturedImage(result);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, frame.width);
  ASSERT_EQ(image->height, frame.height);
  const auto open = image->pixel(openX - frame.x, openY - frame.y);
  const auto hidden = image->pixel(hiddenX - frame.x, hiddenY - frame.y);
  EXPECT_EQ(open, kRed) << hexColour(open);
  EXPECT_EQ(hidden, kRed) << hexColour(hidden);
}

// A window redirected for its first capture gets a pixmap that starts as a copy of the screen,
// the cover's pixels included; an application that cannot paint over them yields no picture.
TEST_F(CaptureE2E, RefusesAStoppedWindowUntilItHasRepaintedWhatACoverHid) {
  constexpr std::uint32_t kRed = 0xc03030;
  constexpr std::uint32_t kBlue = 0x3030c0;
  // With its widgets the application paints the background itself; the server does not.
  auto covered = desktop().startApp({"--title", "Stopped under a cover", "--color", "c03030",
                                     "--size", "400x300", "--position", "100,100"});
  auto cover = desktop().startApp({"--title", "Moved over", "--bare", "--color", "3030c0", "--size",
                                   "400x300", "--position", "700,100"});
  ASSERT_TRUE(waitForWindow(titled("Stopped under a cover")));
  Thaw thaw(covered->process());
  ASSERT_TRUE(covered->process().signal(SIGSTOP));
  ASSERT_TRUE(xdotool(desktop(), {"windowmove", std::to_string(cover->xid()), "300", "250"}));
  const auto client = clientRect(desktop(), covered->xid());
  ASSERT_TRUE(client);
  // Below the buttons, where the application shows nothing but its background.
  const int hiddenX = client->x + 350;
  const int hiddenY = client->y + 250;
  ASSERT_TRUE(waitUntil([&] {
    const auto screen = desktop().root().capture(hiddenX, hiddenY, 1, 1);
    return screen.size() == 1 && screen[0] == kBlue;
  })) << "the cover does not cover the point";

  const auto refused = settledCapture(titled("Stopped under a cover"));
  ASSERT_TRUE(refused);
  expectRefusal(*refused, "capture_protected", helper().lastRequestId());

  ASSERT_TRUE(covered->process().signal(SIGCONT));
  const auto response = settledCapture(titled("Stopped under a cover"));
  ASSERT_TRUE(response);
  ASSERT_TRUE(response->value("ok", false)) << brief(*response);
  const Rect frame = rectOf(listed_["sourceRect"]);
  const auto image = capturedImage((*response)["result"]);
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, frame.width);
  const auto hidden = image->pixel(hiddenX - frame.x, hiddenY - frame.y);
  EXPECT_EQ(hidden, kRed) << hexColour(hidden);
}

TEST_F(CaptureE2E, RefusesAWindowWhoseCaptureIsAllBlackAsProtected) {
  auto app = desktop().startApp({"--title", "Black", "--bare", "--color", "000000"});
  const auto response = settledCapture(titled("Black"));
  ASSERT_TRUE(response);
  expectRefusal(*response, "capture_protected", helper().lastRequestId());
}

// --- stale targets ----------------------------------------------------------------------------

class StaleTargetE2E : public ObservationTest {
 protected:
  void startApp(const std::string& title) {
    app_ = desktop().startApp(appArgs(title));
    window_ = capturableWindow(titled(title));
  }

  [[nodiscard]] static std::vector<std::string> appArgs(const std::string& title) {
    return {"--title", title, "--bare", "--size", "300x200", "--position", "120,140"};
  }

  [[nodiscard]] std::string xid() const { return std::to_string(app_->xid()); }

  std::unique_ptr<harness::TestApp> app_;
  std::optional<json> window_;
};

TEST_F(StaleTargetE2E, MovingTheWindowMakesItsTargetStaleUntilListedAgain) {
  startApp("Moved");
  ASSERT_TRUE(window_);
  const Rect before = rectOf((*window_)["sourceRect"]);
  ASSERT_TRUE(xdotool(desktop(), {"windowmove", xid(), "400", "300"}));
  const auto moved = waitForWindow([&](const json& window) {
    const Rect now = rectOf(window["sourceRect"]);
    return window.value("title", "") == "Moved" && (now.x != before.x || now.y != before.y);
  });
  ASSERT_TRUE(moved);
  expectStale(*window_);
  EXPECT_TRUE(capturableWindow(titled("Moved")));
}

TEST_F(StaleTargetE2E, ResizingTheWindowMakesItsTargetStaleUntilListedAgain) {
  startApp("Resized");
  ASSERT_TRUE(window_);
  const Rect before = rectOf((*window_)["sourceRect"]);
  ASSERT_TRUE(xdotool(desktop(), {"windowsize", xid(), "350", "260"}));
  const auto resized = waitForWindow([&](const json& window) {
    const Rect now = rectOf(window["sourceRect"]);
    return window.value("title", "") == "Resized" &&
           (now.width != before.width || now.height != before.height);
  });
  ASSERT_TRUE(resized);
  expectStale(*window_);
  EXPECT_TRUE(capturableWindow(titled("Resized")));
}

TEST_F(StaleTargetE2E, RenamingTheWindowMakesItsTargetStaleUntilListedAgain) {
  startApp("Old name");
  ASSERT_TRUE(window_);
  ASSERT_TRUE(setTitle(desktop(), app_->xid(), "New name"));
  ASSERT_TRUE(waitForWindow(titled("New name")));
  expectStale(*window_);
  EXPECT_TRUE(capturableWindow(titled("New name")));
}

TEST_F(StaleTargetE2E, MinimisingTheWindowMakesItsTargetStaleUntilRestoredAndListedAgain) {
  startApp("Minimised");
  ASSERT_TRUE(window_);
  ASSERT_TRUE(xdotool(desktop(), {"windowminimize", xid()}));
  ASSERT_TRUE(waitUntil([&] { return isMinimised(desktop(), app_->xid()); }));
  expectStale(*window_);
  ASSERT_TRUE(xdotool(desktop(), {"windowactivate", "--sync", xid()}));
  EXPECT_TRUE(capturableWindow(titled("Minimised")));
}

// Mapping gives a redirected window a new pixmap, a copy of what the screen showed there; the
// capture waits for the application to paint over it, and refuses while it cannot.
TEST_F(StaleTargetE2E, RefusesARestoredWindowUntilItsApplicationHasPaintedIt) {
  constexpr std::uint32_t kGreen = 0x20a040;
  app_ = desktop().startApp({"--title", "Restored while stopped", "--color", "20a040", "--size",
                             "300x200", "--position", "120,140"});
  window_ = capturableWindow(titled("Restored while stopped"));
  ASSERT_TRUE(window_);
  ASSERT_TRUE(xdotool(desktop(), {"windowminimize", xid()}));
  ASSERT_TRUE(waitUntil([&] { return isMinimised(desktop(), app_->xid()); }));
  Thaw thaw(app_->process());
  ASSERT_TRUE(app_->process().signal(SIGSTOP));
  // The window manager restores it; the application cannot paint.
  ASSERT_TRUE(xdotool(desktop(), {"windowactivate", xid()}));
  const auto refused = settledCapture(titled("Restored while stopped"));
  ASSERT_TRUE(refused);
  expectRefusal(*refused, "capture_protected", helper().lastRequestId());

  ASSERT_TRUE(app_->process().signal(SIGCONT));
  const auto response = settledCapture(titled("Restored while stopped"));
  ASSERT_TRUE(response);
  ASSERT_TRUE(response->value("ok", false)) << brief(*response);
  const auto image = capturedImage((*response)["result"]);
  ASSERT_TRUE(image);
  // Bottom right of the client, below every widget.
  const auto corner = image->pixel(image->width - 20, image->height - 20);
  EXPECT_EQ(corner, kGreen) << hexColour(corner);
}

// The window manager animates a restore, and a listing may catch the window on its way; a
// capture of it then is stale, never a failure of the capture itself.
TEST_F(StaleTargetE2E, CapturesAWindowRestoredAgainAndAgainOnceItIsInPlace) {
  startApp("Restored again");
  ASSERT_TRUE(window_);
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(xdotool(desktop(), {"windowminimize", xid()}));
    ASSERT_TRUE(waitUntil([&] { return isMinimised(desktop(), app_->xid()); }));
    ASSERT_TRUE(xdotool(desktop(), {"windowactivate", "--sync", xid()}));
    const auto response = settledCapture(titled("Restored again"));
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->value("ok", false)) << "round " << round << ": " << brief(*response);
  }
}

TEST_F(StaleTargetE2E, RestartingTheApplicationMakesTheOldTargetStale) {
  startApp("Restarted");
  ASSERT_TRUE(window_);
  const auto oldPid = app_->process().pid();
  app_.reset();
  // The same arguments, so the new window may even get the old one's X id, title and frame.
  app_ = desktop().startApp(appArgs("Restarted"));
  ASSERT_NE(app_->process().pid(), oldPid);
  const auto renewed = capturableWindow(titled("Restarted"));
  ASSERT_TRUE(renewed);
  EXPECT_NE((*renewed)["targetId"], (*window_)["targetId"]);
  expectStale(*window_);
}

// --- a fixture process ------------------------------------------------------------------------

// A kex-computer of the test's own, started with extra arguments; it must end as cleanly as the
// fixture's.
class ExtraHelper {
 public:
  ExtraHelper(harness::VirtualDesktop& desktop, std::vector<std::string> args)
      : stderrPath_(desktop.newLogPath("kex-computer-extra-stderr")),
        helper_(options(desktop, std::move(args), stderrPath_)) {}

  ~ExtraHelper() {
    helper_.closeInput();
    const auto exitStatus = helper_.waitExit(harness::deadlineIn(std::chrono::seconds(10)));
    EXPECT_EQ(exitStatus, std::optional<int>(0)) << "kex-computer did not exit cleanly";
    EXPECT_EQ(readFile(stderrPath_), "") << "kex-computer wrote to standard error";
  }
  ExtraHelper(const ExtraHelper&) = delete;
  ExtraHelper& operator=(const ExtraHelper&) = delete;

  [[nodiscard]] json requestFresh(std::string_view operation, json args = json::object()) {
    args.update(helper_.freshnessArgs());
    return helper_.request(operation, args);
  }
  [[nodiscard]] const std::string& lastRequestId() const { return helper_.lastRequestId(); }

 private:
  static harness::HelperOptions options(harness::VirtualDesktop& desktop,
                                        std::vector<std::string> args,
                                        const std::string& stderrPath) {
    harness::HelperOptions options;
    options.program = KEX_COMPUTER_PATH;
    options.args = std::move(args);
    options.env = desktop.env();
    options.stderrPath = stderrPath;
    return options;
  }

  std::string stderrPath_;
  harness::Helper helper_;
};

std::vector<std::string> titlesOf(const json& response) {
  std::vector<std::string> titles;
  if (!response.value("ok", false)) return titles;
  for (const auto& window : response["result"]["windows"]) {
    titles.push_back(window.value("title", ""));
  }
  return titles;
}

using FixtureProcessE2E = ObservationTest;

TEST_F(FixtureProcessE2E, ListsOnlyTheFixtureProcesssWindowsAndRefusesDisplayCapture) {
  auto fixture = desktop().startApp({"--title", "Fixture", "--bare"});
  auto other = desktop().startApp({"--title", "Other", "--bare"});
  // Both are listed to an unrestricted kex-computer.
  ASSERT_TRUE(waitForWindow(titled("Fixture")));
  ASSERT_TRUE(waitForWindow(titled("Other")));

  ExtraHelper restricted(desktop(), {"--fixture-pid", std::to_string(fixture->process().pid())});
  const json listing = restricted.requestFresh("computer.windows");
  ASSERT_TRUE(listing.value("ok", false)) << listing.dump();
  EXPECT_EQ(titlesOf(listing), std::vector<std::string>{"Fixture"}) << listing.dump();

  const json displays = restricted.requestFresh("computer.displays");
  ASSERT_TRUE(displays.value("ok", false)) << displays.dump();
  ASSERT_FALSE(displays["result"]["displays"].empty()) << displays.dump();
  const json refused = restricted.requestFresh(
      "computer.capture", {{"targetId", displays["result"]["displays"][0]["targetId"]}});
  expectRefusal(refused, "protected_target", restricted.lastRequestId());
}

TEST_F(FixtureProcessE2E, ListsNoWindowsForAFixturePidThatIsNoNumber) {
  auto app = desktop().startApp({"--title", "Unclaimed", "--bare"});
  ASSERT_TRUE(waitForWindow(titled("Unclaimed")));

  ExtraHelper restricted(desktop(), {"--fixture-pid", "abc"});
  const json listing = restricted.requestFresh("computer.windows");
  ASSERT_TRUE(listing.value("ok", false)) << listing.dump();
  EXPECT_TRUE(listing["result"]["windows"].empty()) << listing.dump();
}

}  // namespace
}  // namespace kex::e2e
