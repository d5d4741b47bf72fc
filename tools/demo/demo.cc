// kex-demo: a short scripted host session against kex-computer, printed as a transcript
// ("> " for each request line sent, "< " for each response line received, "app: " for each line
// the demo application reports). It observes the desktop, then controls its own demo
// application: clicks its button at the pixel the capture shows, types into its entry, presses
// keys, scrolls, drags, brings it to the front, presses a button through its accessibility node,
// and shows a click refused on a covered point.
//
// Without DISPLAY it brings up a private virtual desktop with the demo application on it. With
// DISPLAY it uses that display, the person's own: it starts the demo application there, confines
// kex-computer to it with --fixture-pid, and asks the person with kex-confirm before the first
// input, controlling nothing without their approval. Runs on the main thread only.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/demo/picture.h"
#include "tools/harness/helper.h"
#include "tools/harness/virtual_desktop.h"

namespace {

using kex::harness::Helper;
using nlohmann::json;

constexpr const char* kForeignSessionId = "00000000-0000-0000-0000-000000000000";
constexpr const char* kDemoTitle = "kex demo application";
constexpr std::uint32_t kDemoBackground = 0x2a6f97;
constexpr std::size_t kMaxShownResponse = 1500;
constexpr const char* kTypedText = "h\u00e9llo w\u00f6rld \u2014 \u2713 \U0001F600";
constexpr auto kAppReportDeadline = std::chrono::seconds(10);
// The person may take a while to read the prompt and authenticate.
constexpr auto kConsentDeadline = std::chrono::minutes(3);

// The transcript goes to standard output and to transcript.txt in the output folder.
std::ofstream& transcriptFile() {
  static std::ofstream file;
  return file;
}

void say(std::string_view prefix, std::string_view text) {
  std::printf("%.*s%.*s\n", static_cast<int>(prefix.size()), prefix.data(),
              static_cast<int>(text.size()), text.data());
  std::fflush(stdout);
  if (transcriptFile().is_open()) transcriptFile() << prefix << text << '\n' << std::flush;
}

// A response as the transcript shows it: images stand in as their size, long trees are cut.
std::string shown(std::string_view line) {
  json response = json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (response.is_object() && response.contains("result") && response["result"].is_object() &&
      response["result"].contains("image")) {
    const auto size = response["result"]["image"].get<std::string>().size();
    response["result"]["image"] = "<" + std::to_string(size) + " base64 characters>";
    return response.dump();
  }
  if (line.size() <= kMaxShownResponse) return std::string(line);
  return std::string(line.substr(0, kMaxShownResponse)) + "... (" + std::to_string(line.size()) +
         " bytes)";
}

std::filesystem::path outputFolder() {
  std::filesystem::path folder = std::filesystem::current_path() / "kex-demo-output";
  std::filesystem::create_directories(folder);
  return folder;
}

// The bytes that base64 text stands for; nothing when it is no base64.
std::optional<std::string> base64Decoded(const std::string& encoded) {
  std::string bytes(3 * encoded.size() / 4 + 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(encoded.data()),
                                      static_cast<int>(encoded.size()));
  if (decoded < 0) return std::nullopt;
  // The decoder counts the padding as zero bytes.
  std::size_t padding = 0;
  while (padding < 2 && encoded.size() > padding && encoded[encoded.size() - 1 - padding] == '=') {
    ++padding;
  }
  bytes.resize(static_cast<std::size_t>(decoded) - padding);
  return bytes;
}

// Writes the capture's base64 PNG to the file; false when the response holds no image.
bool saveImage(const json& response, const std::filesystem::path& path) {
  if (!response.is_object() || !response.value("ok", false)) return false;
  const auto bytes = base64Decoded(response["result"]["image"].get_ref<const std::string&>());
  if (!bytes) return false;
  std::ofstream(path, std::ios::binary) << *bytes;
  say("kex-demo: saved ", path.string());
  return true;
}

bool hasDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display && *display;
}

// Starts a test application on the desktop the environment names, and waits for its window.
std::unique_ptr<kex::harness::TestApp> launchApp(const std::vector<std::string>& args,
                                                 const kex::harness::EnvChanges& env) {
  kex::harness::ChildOptions options;
  options.argv = {KEX_TEST_APP_PATH};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = env;
  options.stdoutTo = kex::harness::Stream::pipe;
  auto app = std::make_unique<kex::harness::TestApp>(
      std::make_unique<kex::harness::ChildProcess>(std::move(options)));
  if (!app->waitUntilReady(kex::harness::deadlineIn(std::chrono::seconds(20)))) {
    throw std::runtime_error("the demo application did not come up");
  }
  return app;
}

// The desktop the session runs on: a private one, or the caller's own display.
struct DemoDesktop {
  std::unique_ptr<kex::harness::VirtualDesktop> desktop;  // none on the caller's display
  kex::harness::EnvChanges env;
  std::unique_ptr<kex::harness::TestApp> app;
  [[nodiscard]] bool personal() const { return desktop == nullptr; }
};

DemoDesktop prepareDesktop() {
  DemoDesktop demo;
  if (hasDisplay()) {
    say("kex-demo: using the display ", std::getenv("DISPLAY"));
  } else {
    say("kex-demo: ", "DISPLAY is not set; starting a private virtual desktop");
    kex::harness::DesktopOptions options;
    options.testAppPath = KEX_TEST_APP_PATH;
    demo.desktop = std::make_unique<kex::harness::VirtualDesktop>(options);
    demo.env = demo.desktop->env();
    say("kex-demo: private desktop on ", demo.desktop->display());
  }
  demo.app = launchApp({"--title", kDemoTitle, "--position", "120,90", "--size", "480x320",
                        "--color", "2a6f97", "--count-clicks"},
                       demo.env);
  say("kex-demo: demo application window ", std::to_string(demo.app->xid()));
  return demo;
}

std::unique_ptr<Helper> startHelper(const DemoDesktop& demo) {
  kex::harness::HelperOptions options;
  options.program = KEX_COMPUTER_PATH;
  options.env = demo.env;
  // On the person's own desktop, kex-computer sees and touches the demo application only.
  if (demo.personal()) {
    options.args = {"--fixture-pid", std::to_string(demo.app->process().pid())};
  }
  options.stderrTo = kex::harness::Stream::inherit;
  options.onSend = [](std::string_view line) { say("> ", line); };
  options.onReceive = [](std::string_view line) { say("< ", shown(line)); };
  say("kex-demo: starting ", KEX_COMPUTER_PATH);
  for (const auto& arg : options.args) say("kex-demo:   argument ", arg);
  return std::make_unique<Helper>(std::move(options));
}

// Sends one line and reads its response; false when none came back.
bool roundTrip(Helper& helper, const std::string& line, json* response = nullptr) {
  if (!helper.sendLine(line)) return false;
  const auto answer = helper.readResponseLine();
  if (!answer) {
    say("kex-demo: ", "no response came back");
    return false;
  }
  if (response) *response = json::parse(*answer, nullptr, /*allow_exceptions=*/false);
  return true;
}

bool runSession(Helper& helper) {
  json status;
  say("\n# ", "status: what the host learns first");
  if (!roundTrip(helper, Helper::envelope("demo-1", "status", json::object()), &status)) {
    return false;
  }
  const json result = status.is_object() ? status.value("result", json::object()) : json();
  const json fresh{{"sessionId", result.value("sessionId", "")},
                   {"topologyRevision", result.value("topologyRevision", "")}};

  bool allAnswered = true;
  const auto folder = outputFolder();
  json displays;
  say("\n# ", "computer.displays with the sessionId and topologyRevision from status");
  allAnswered &=
      roundTrip(helper, Helper::envelope("demo-2", "computer.displays", fresh), &displays);

  json windows;
  say("\n# ", "computer.windows: the application windows on screen");
  allAnswered &=
      roundTrip(helper, Helper::envelope("demo-2w", "computer.windows", fresh), &windows);

  if (displays.value("ok", false) && !displays["result"]["displays"].empty()) {
    say("\n# ", "computer.capture of the first display, 1024 pixels wide");
    json args = fresh;
    args["targetId"] = displays["result"]["displays"][0]["targetId"];
    json capture;
    allAnswered &=
        roundTrip(helper, Helper::envelope("demo-2c", "computer.capture", args), &capture);
    saveImage(capture, folder / "display.png");
  }

  std::optional<json> demoWindow;
  if (windows.value("ok", false)) {
    for (const auto& window : windows["result"]["windows"]) {
      if (window.value("title", "") == kDemoTitle || !demoWindow) demoWindow = window;
    }
  }
  if (demoWindow) {
    json args = fresh;
    args["targetId"] = (*demoWindow)["targetId"];
    say("\n# ", "computer.capture of the window \"" + demoWindow->value("title", "") + "\"");
    json capture;
    allAnswered &=
        roundTrip(helper, Helper::envelope("demo-2d", "computer.capture", args), &capture);
    saveImage(capture, folder / "window.png");

    say("\n# ", "computer.accessibility: a small tree of the same window");
    args["maxNodes"] = 16;
    allAnswered &= roundTrip(helper, Helper::envelope("demo-2e", "computer.accessibility", args));
  }

  say("\n# ", "a request planned for another session: refused as topology_changed");
  json stale = fresh;
  stale["sessionId"] = kForeignSessionId;
  allAnswered &= roundTrip(helper, Helper::envelope("demo-3", "computer.displays", stale));

  say("\n# ", "an envelope of another protocol: refused as invalid_arguments");
  const json otherProtocol{{"protocol", "kex.computer.helper/v0"},
                           {"id", "demo-4"},
                           {"operation", "status"},
                           {"args", json::object()}};
  allAnswered &= roundTrip(helper, otherProtocol.dump());

  say("\n# ", "a line that is not JSON");
  allAnswered &= roundTrip(helper, "this line is not JSON");
  return allAnswered;
}

// --- control ------------------------------------------------------------------------------

// Drives the input part of the session: one request after another, each answered line shown,
// and the demo application's own reports shown after each step.
class ControlSession {
 public:
  ControlSession(Helper& helper, DemoDesktop& demo) : helper_(helper), demo_(demo) {}

  // False when a request got no answer or the application did not report what it should.
  bool run();

 private:
  bool consent();
  json request(const std::string& operation, json args);
  bool freshen();
  // Lists the windows and captures the demo window; false when either fails.
  bool observe();
  // Waits for the application to report a line that starts with the prefix, and shows every
  // line it reported meanwhile.
  bool expectApp(std::string_view prefix);
  void showAppLines();
  json pointer(const std::string& action, kex::demo::Spot at, json extra = json::object());
  json keyboard(json args);
  std::string nodeTitled(const std::string& title);

  Helper& helper_;
  DemoDesktop& demo_;
  json fresh_;
  std::string target_;
  std::string capture_;
  std::optional<kex::demo::Picture> picture_;
  json frame_;  // the captured window's frame on the screen
  bool answered_ = true;
  std::size_t shownLines_ = 0;
  int counter_ = 0;
};

json ControlSession::request(const std::string& operation, json args) {
  for (const auto& [key, value] : fresh_.items()) args[key] = value;
  json response;
  if (!roundTrip(helper_, Helper::envelope("demo-c" + std::to_string(++counter_), operation, args),
                 &response)) {
    answered_ = false;
  }
  return response;
}

bool ControlSession::freshen() {
  json status;
  if (!roundTrip(helper_,
                 Helper::envelope("demo-s" + std::to_string(++counter_), "status", json::object()),
                 &status) ||
      !status.value("ok", false)) {
    return false;
  }
  fresh_ = {{"sessionId", status["result"]["sessionId"]},
            {"topologyRevision", status["result"]["topologyRevision"]}};
  return status["result"].value("controlReady", false);
}

bool ControlSession::observe() {
  const json windows = request("computer.windows", json::object());
  target_.clear();
  if (windows.value("ok", false)) {
    for (const auto& window : windows["result"]["windows"]) {
      if (window.value("title", "") == kDemoTitle) target_ = window["targetId"];
    }
  }
  if (target_.empty()) return false;
  const json capture = request("computer.capture", {{"targetId", target_}});
  if (!capture.value("ok", false)) return false;
  capture_ = capture["result"]["captureId"];
  frame_ = capture["result"]["sourceRect"];
  const auto bytes = base64Decoded(capture["result"]["image"].get_ref<const std::string&>());
  if (!bytes) return false;
  picture_ = kex::demo::decodePng(*bytes);
  return picture_.has_value();
}

void ControlSession::showAppLines() {
  const auto& lines = demo_.app->lines();
  for (; shownLines_ < lines.size(); ++shownLines_) say("app: ", lines[shownLines_]);
}

bool ControlSession::expectApp(std::string_view prefix) {
  const auto line = demo_.app->waitForLine(prefix, kex::harness::deadlineIn(kAppReportDeadline));
  showAppLines();
  if (!line) {
    say("kex-demo: the demo application did not report ", std::string(prefix));
    return false;
  }
  return true;
}

json ControlSession::pointer(const std::string& action, kex::demo::Spot at, json extra) {
  extra["captureId"] = capture_;
  extra["action"] = action;
  extra["x"] = at.x;
  extra["y"] = at.y;
  return request("computer.pointer", extra);
}

json ControlSession::keyboard(json args) {
  args["captureId"] = capture_;
  return request("computer.keyboard", args);
}

std::string ControlSession::nodeTitled(const std::string& title) {
  const json tree = request("computer.accessibility", {{"targetId", target_}, {"maxNodes", 32}});
  if (!tree.value("ok", false)) return "";
  std::string found;
  std::function<void(const json&)> visit = [&](const json& node) {
    if (found.empty() && node.value("title", "") == title && node.contains("nodeId")) {
      found = node["nodeId"];
    }
    if (node.contains("children")) {
      for (const auto& child : node["children"]) visit(child);
    }
  };
  visit(tree["result"]["tree"]);
  return found;
}

// On the person's own desktop nothing is controlled without their approval, asked through the
// desktop's authentication prompt as a host does.
bool ControlSession::consent() {
  if (!demo_.personal()) return true;
  say("\n# ", "asking the person at the machine with kex-confirm before the first input");
  const auto outcome = kex::harness::runTool({KEX_CONFIRM_PATH}, demo_.env,
                                             kex::harness::deadlineIn(kConsentDeadline));
  const bool verified = outcome.exitStatus == 0 && outcome.output.starts_with("verified");
  say("kex-demo: kex-confirm answered ",
      verified ? "verified" : "without approval (" + outcome.output + ")");
  return verified;
}

bool ControlSession::run() {
  say("\n# ", "control: status says whether input can be armed");
  if (!consent()) {
    say("kex-demo: ", "no approval; the demo controls nothing");
    return true;
  }
  if (!freshen()) {
    say("kex-demo: ", "control is not ready here (status controlReady false); no input");
    return answered_;
  }
  bool reported = true;
  const auto folder = outputFolder();

  say("\n# ", "list, capture, and find the button and the entry in the picture");
  if (!observe()) return false;
  const auto widgets = kex::demo::findDemoWidgets(*picture_, kDemoBackground);
  if (!widgets) {
    say("kex-demo: ", "the capture does not show the demo application's widgets");
    return false;
  }
  say("kex-demo: the first button is at pixel ",
      std::to_string(widgets->firstButton.x) + "," + std::to_string(widgets->firstButton.y) +
          ", the entry at " + std::to_string(widgets->firstEntry.x) + "," +
          std::to_string(widgets->firstEntry.y));

  say("\n# ", "computer.pointer click on the button, at the pixel the capture shows it");
  pointer("click", widgets->firstButton);
  reported &= expectApp("clicked ");

  say("\n# ", "scroll down one line over the window, then drag across its background");
  pointer("scroll", widgets->background, {{"deltaY", -120}});
  reported &= expectApp("scroll down");
  pointer("drag", widgets->background, {{"deltaX", picture_->width / 3}});
  reported &= expectApp("release ");

  say("\n# ", "click into the entry and type text that the keymap lacks, in every plane");
  pointer("click", widgets->firstEntry);
  // The entry takes the focus while the application handles the press; once it reports the
  // release, it has handled the whole click, and the keyboard's focus check sees the entry.
  reported &= expectApp("button ");
  reported &= expectApp("release ");
  keyboard({{"text", kTypedText}});
  reported &= expectApp(std::string("text ") + kTypedText);

  say("\n# ", "computer.keyboard Return with control and shift");
  keyboard({{"key", "Return"}, {"modifiers", {"control", "shift"}}});
  reported &= expectApp("key Return");

  say("\n# ", "a capture after the typing");
  const json typed = request("computer.capture", {{"targetId", target_}});
  saveImage(typed, folder / "typed.png");

  say("\n# ", "another window covers the demo window and takes the focus");
  auto cover = launchApp({"--title", "kex demo cover", "--bare", "--position", "200,150", "--size",
                          "400x300", "--color", "7a3b69"},
                         demo_.env);
  reported &= expectApp("focus-out");
  say("\n# ", "computer.focus brings the demo window back to the front, and proves it");
  request("computer.focus", {{"targetId", target_}});
  reported &= expectApp("focus-in");

  say("\n# ", "computer.action presses the Cancel button through its accessibility node");
  if (!observe()) return false;
  const std::string cancel = nodeTitled("Cancel");
  request("computer.action", {{"nodeId", cancel}, {"captureId", capture_}, {"action", "press"}});
  reported &= expectApp("clicked Cancel");

  say("\n# ", "a menu of another application opens over the entry: the click there is refused");
  // The capture is at full size, one pixel a point: the entry's point is the frame's origin
  // plus its pixel.
  const int menuX = frame_["x"].get<int>() + widgets->firstEntry.x - 40;
  const int menuY = frame_["y"].get<int>() + widgets->firstEntry.y - 10;
  auto popup = launchApp({"--title", "kex demo menu", "--bare", "--popup", "--position",
                          std::to_string(menuX) + "," + std::to_string(menuY), "--size", "120x80",
                          "--color", "e0a030"},
                         demo_.env);
  if (!observe()) return false;
  const json refused = pointer("click", widgets->firstEntry);
  const bool occluded = refused.value("error", "") == "target_occluded";
  say("kex-demo: the covered click was ", occluded ? "refused as target_occluded, nothing posted"
                                                   : "not refused as it should have been");
  popup.reset();
  cover.reset();
  showAppLines();
  return answered_ && reported && occluded;
}

int finish(Helper& helper) {
  say("\n# ", "end of input: kex-computer exits");
  helper.closeInput();
  const auto exitStatus = helper.waitExit(kex::harness::deadlineIn(std::chrono::seconds(10)));
  if (!exitStatus) {
    say("kex-demo: ", "kex-computer did not exit within 10 s");
    return -1;
  }
  say("kex-demo: kex-computer exited with status ", std::to_string(*exitStatus));
  return *exitStatus;
}

}  // namespace

int main() {
  try {
    transcriptFile().open(outputFolder() / "transcript.txt");
    DemoDesktop demo = prepareDesktop();
    auto helper = startHelper(demo);
    bool allAnswered = runSession(*helper);
    allAnswered &= ControlSession(*helper, demo).run();
    const int exitStatus = finish(*helper);
    if (!allAnswered || exitStatus != 0) {
      say("kex-demo: ", "FAILED");
      return 1;
    }
    say("kex-demo: ", "every request was answered, and the application saw what it should");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kex-demo: %s\n", error.what());
    return 1;
  }
}
