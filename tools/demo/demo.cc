// kex-demo: a short scripted host session against kex-computer, printed as a transcript
// ("> " for each request line sent, "< " for each response line received). Without DISPLAY it
// brings up a private virtual desktop with the test application on it; with DISPLAY it uses
// that display as it is. Runs on the main thread only.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "tools/harness/helper.h"
#include "tools/harness/virtual_desktop.h"

namespace {

using kex::harness::Helper;
using nlohmann::json;

constexpr const char* kForeignSessionId = "00000000-0000-0000-0000-000000000000";
constexpr const char* kDemoTitle = "kex demo application";
constexpr std::size_t kMaxShownResponse = 1500;

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

// Writes the capture's base64 PNG to the file; false when the response holds no image.
bool saveImage(const json& response, const std::filesystem::path& path) {
  if (!response.is_object() || !response.value("ok", false)) return false;
  const auto& encoded = response["result"]["image"].get_ref<const std::string&>();
  std::string bytes(3 * encoded.size() / 4 + 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(encoded.data()),
                                      static_cast<int>(encoded.size()));
  if (decoded < 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && encoded.size() > padding && encoded[encoded.size() - 1 - padding] == '=') {
    ++padding;
  }
  bytes.resize(static_cast<std::size_t>(decoded) - padding);
  std::ofstream(path, std::ios::binary) << bytes;
  say("kex-demo: saved ", path.string());
  return true;
}

bool hasDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display && *display;
}

// The desktop the session runs on: a private one, or none when the caller's display is used.
struct DemoDesktop {
  std::unique_ptr<kex::harness::VirtualDesktop> desktop;
  std::unique_ptr<kex::harness::TestApp> app;
  kex::harness::EnvChanges env;
};

DemoDesktop prepareDesktop() {
  DemoDesktop demo;
  if (hasDisplay()) {
    say("kex-demo: using the display ", std::getenv("DISPLAY"));
    return demo;
  }
  say("kex-demo: ", "DISPLAY is not set; starting a private virtual desktop");
  kex::harness::DesktopOptions options;
  options.testAppPath = KEX_TEST_APP_PATH;
  demo.desktop = std::make_unique<kex::harness::VirtualDesktop>(options);
  demo.app = demo.desktop->startApp(
      {"--title", kDemoTitle, "--position", "120,90", "--size", "480x320", "--color", "2a6f97"});
  demo.env = demo.desktop->env();
  say("kex-demo: private desktop on ", demo.desktop->display());
  say("kex-demo: demo application window ", std::to_string(demo.app->xid()));
  return demo;
}

std::unique_ptr<Helper> startHelper(const kex::harness::EnvChanges& env) {
  kex::harness::HelperOptions options;
  options.program = KEX_COMPUTER_PATH;
  options.env = env;
  options.stderrTo = kex::harness::Stream::inherit;
  options.onSend = [](std::string_view line) { say("> ", line); };
  options.onReceive = [](std::string_view line) { say("< ", shown(line)); };
  say("kex-demo: starting ", KEX_COMPUTER_PATH);
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
    auto helper = startHelper(demo.env);
    const bool allAnswered = runSession(*helper);
    const int exitStatus = finish(*helper);
    if (!allAnswered || exitStatus != 0) {
      say("kex-demo: ", "FAILED");
      return 1;
    }
    say("kex-demo: ", "every request was answered");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kex-demo: %s\n", error.what());
    return 1;
  }
}
