// kex_mcp_bench: what kex-mcp adds to a round trip. A capture_window tool call, whole (request
// line in, response line with the image out), against the same "computer.capture" sent straight
// to a kex-computer of its own; a display capture likewise; and, where kex-computer offers
// control, a click tool call against the same "computer.pointer" click. Both run on the private
// desktop of `kex-mcp --private-desktop` (1920x1080) with the test application on it, one after
// the other, so that load drifts hit both alike. Runs on the main thread only.
//
// Usage: kex_mcp_bench [--calls N]
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_common.h"
#include "tools/harness/child_process.h"

namespace kex::bench {
namespace {

using harness::ChildOptions;
using harness::ChildProcess;
using harness::deadlineIn;
using harness::EnvChanges;
using harness::Helper;
using nlohmann::json;

constexpr int kWarmUp = 10;
constexpr char kTitle[] = "kex mcp bench target";
constexpr double kCaptureBudgetMs = 2.0;
constexpr double kClickBudgetMs = 1.0;
// Captures drive input for 30 seconds; the benchmark takes a new one well before.
constexpr int kClicksPerCapture = 50;

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// kex-mcp spoken to line by line, as an MCP client over stdio does.
class McpSession {
 public:
  McpSession(std::vector<std::string> arguments, EnvChanges env, const std::string& stderrPath)
      : stderrPath_(stderrPath) {
    ChildOptions options;
    options.argv = {KEX_MCP_PATH};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.env = std::move(env);
    options.stdinFrom = harness::Stream::pipe;
    options.stdoutTo = harness::Stream::pipe;
    options.stderrPath = stderrPath;
    process_ = std::make_unique<ChildProcess>(std::move(options));
    (void)request("initialize", {{"protocolVersion", "2025-06-18"},
                                 {"capabilities", json::object()},
                                 {"clientInfo", {{"name", "kex_mcp_bench"}, {"version", "1"}}}});
    (void)process_->writeLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
  }

  // The desktop's environment, from the line kex-mcp wrote before it answered initialize.
  [[nodiscard]] EnvChanges desktopEnvironment() const {
    const std::string text = readFile(stderrPath_);
    const auto start = text.find("appear on it:");
    if (start == std::string::npos) throw std::runtime_error("no desktop announced: " + text);
    std::istringstream words(text.substr(start + 13, text.find('\n', start) - start - 13));
    EnvChanges env;
    for (std::string word; words >> word;) {
      if (word == "(and") break;
      const auto equals = word.find('=');
      if (equals != std::string::npos) env[word.substr(0, equals)] = word.substr(equals + 1);
    }
    for (const char* name : {"NO_AT_BRIDGE", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY"}) {
      env[name] = std::nullopt;
    }
    return env;
  }

  // The request line for a tool call.
  [[nodiscard]] std::string toolCallLine(std::string_view tool, const json& arguments) {
    return json{{"jsonrpc", "2.0"},
                {"id", ++counter_},
                {"method", "tools/call"},
                {"params", {{"name", tool}, {"arguments", arguments}}}}
        .dump();
  }

  // Sends the line and returns the raw response line.
  std::string roundTrip(const std::string& line) {
    if (!process_->writeLine(line)) throw std::runtime_error("kex-mcp stopped reading");
    auto response = process_->readLine(deadlineIn(std::chrono::seconds(30)));
    if (!response) throw std::runtime_error("kex-mcp did not answer: " + readFile(stderrPath_));
    return *response;
  }

  json call(std::string_view tool, const json& arguments) {
    const json response = json::parse(roundTrip(toolCallLine(tool, arguments)));
    const json& result = response.at("result");
    if (result.value("isError", false)) {
      throw std::runtime_error(std::string(tool) + ": " + result.dump());
    }
    return result;
  }

 private:
  json request(std::string_view method, const json& params) {
    return json::parse(roundTrip(
        json{{"jsonrpc", "2.0"}, {"id", ++counter_}, {"method", method}, {"params", params}}
            .dump()));
  }

  std::string stderrPath_;
  std::unique_ptr<ChildProcess> process_;
  int counter_ = 0;
};

json freshArgs(Helper& helper, json args) {
  const json status = helper.request("status");
  args["sessionId"] = status["result"]["sessionId"];
  args["topologyRevision"] = status["result"]["topologyRevision"];
  return args;
}

double timed(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return millisecondsSince(start);
}

void report(const char* what, const Summary& direct, const Summary& viaMcp, double budgetMs) {
  std::printf("\n");
  const FigureTable table(what, Tail::p99);
  table.row("straight to kex-computer", direct);
  table.row("through kex-mcp", viaMcp);
  const double added = viaMcp.medianMs - direct.medianMs;
  std::printf("kex-mcp adds %.3f ms to the median   <= %g ms %s\n", added, budgetMs,
              verdict(added <= budgetMs));
  printRatio("through kex-mcp / straight",
             direct.medianMs > 0 ? viaMcp.medianMs / direct.medianMs : 0.0);
}

// Alternates the two round trips, `calls` times each after a warm-up.
std::pair<Summary, Summary> compare(int calls, const std::function<void()>& direct,
                                    const std::function<void()>& viaMcp) {
  for (int i = 0; i < kWarmUp; ++i) {
    direct();
    viaMcp();
  }
  std::vector<double> straight;
  std::vector<double> through;
  for (int i = 0; i < calls; ++i) {
    straight.push_back(timed(direct));
    through.push_back(timed(viaMcp));
  }
  return {summarize(straight), summarize(through)};
}

void expectOk(const std::optional<std::string>& line) {
  if (!line || line->find(R"("ok":true)") == std::string::npos) {
    throw std::runtime_error("kex-computer refused: " + line.value_or("(nothing)"));
  }
}

void expectResult(const std::string& line) {
  if (line.find(R"("result")") == std::string::npos ||
      line.find(R"("isError":true)") != std::string::npos) {
    throw std::runtime_error("kex-mcp refused: " + line.substr(0, 400));
  }
}

// What the real desktop gave, replayed by the stand-in for kex-computer.
struct Replies {
  json windows;
  json windowCapture;
  json displays;
  json displayCapture;
};

json withoutId(const std::string& line) {
  json reply = json::parse(line);
  reply.erase("id");
  return reply;
}

// On the private desktop of kex-mcp, against a kex-computer of the benchmark's own. Returns the
// real responses, for the second part.
Replies measureOnTheDesktop(int calls, const std::string& logDir) {
  McpSession mcp({"--private-desktop", "--desktop-size", "1920x1080"}, {}, logDir + "/kex-mcp.log");
  const EnvChanges env = mcp.desktopEnvironment();

  ChildOptions appOptions;
  appOptions.argv = {KEX_TEST_APP_PATH, "--title", kTitle, "--size", "800x600"};
  appOptions.env = env;
  appOptions.stdoutTo = harness::Stream::pipe;
  ChildProcess app(std::move(appOptions));
  while (true) {
    const auto line = app.readLine(deadlineIn(std::chrono::seconds(20)));
    if (!line) throw std::runtime_error("the test application did not come up");
    if (line->starts_with("ready ")) break;
  }

  harness::HelperOptions helperOptions;
  helperOptions.program = KEX_COMPUTER_PATH;
  helperOptions.env = env;
  auto direct = std::make_unique<Helper>(helperOptions);
  const json fresh = freshArgs(*direct, json::object());
  Replies replies;
  replies.windows = direct->request("computer.windows", fresh);
  std::string directWindow;
  for (const auto& window : replies.windows["result"]["windows"]) {
    if (window["title"] == kTitle) directWindow = window["targetId"];
  }
  replies.displays = direct->request("computer.displays", fresh);
  const std::string directDisplay = replies.displays["result"]["displays"][0]["targetId"];

  const json windows = mcp.call("list_windows", json::object());
  std::string mcpWindow;
  for (const auto& window : windows["structuredContent"]["windows"]) {
    if (window["title"] == kTitle) mcpWindow = window["windowId"];
  }
  const json mcpDisplays = mcp.call("list_displays", json::object());
  const std::string mcpDisplay = mcpDisplays["structuredContent"]["displays"][0]["displayId"];

  json directWindowArgs = fresh;
  directWindowArgs["targetId"] = directWindow;
  const std::string directWindowLine = Helper::envelope("w", "computer.capture", directWindowArgs);
  json directDisplayArgs = fresh;
  directDisplayArgs["targetId"] = directDisplay;
  const std::string directDisplayLine =
      Helper::envelope("d", "computer.capture", directDisplayArgs);
  const std::string mcpWindowLine = mcp.toolCallLine("capture_window", {{"windowId", mcpWindow}});
  const std::string mcpDisplayLine =
      mcp.toolCallLine("capture_display", {{"displayId", mcpDisplay}});

  (void)direct->sendLine(directWindowLine);
  const auto windowLine = direct->readResponseLine();
  expectOk(windowLine);
  replies.windowCapture = withoutId(*windowLine);
  (void)direct->sendLine(directDisplayLine);
  const auto displayLine = direct->readResponseLine();
  expectOk(displayLine);
  replies.displayCapture = withoutId(*displayLine);
  std::printf(
      "On the private desktop (1920x1080), %d calls of each kind: an %dx%d window capture "
      "(%zu base64 characters) and a 1024x576 display capture (%zu)\n",
      calls, replies.windowCapture["result"]["width"].get<int>(),
      replies.windowCapture["result"]["height"].get<int>(),
      replies.windowCapture["result"]["image"].get_ref<const std::string&>().size(),
      replies.displayCapture["result"]["image"].get_ref<const std::string&>().size());

  const auto [windowDirect, windowMcp] = compare(
      calls,
      [&] {
        (void)direct->sendLine(directWindowLine);
        expectOk(direct->readResponseLine());
      },
      [&] { expectResult(mcp.roundTrip(mcpWindowLine)); });
  report("capture_window, whole round trip", windowDirect, windowMcp, kCaptureBudgetMs);
  const auto [displayDirect, displayMcp] = compare(
      calls,
      [&] {
        (void)direct->sendLine(directDisplayLine);
        expectOk(direct->readResponseLine());
      },
      [&] { expectResult(mcp.roundTrip(mcpDisplayLine)); });
  report("capture_display, whole round trip", displayDirect, displayMcp, kCaptureBudgetMs);

  const json status = direct->request("status");
  if (!status["result"].value("controlReady", false)) {
    std::printf(
        "\nclick: not measured on the desktop, kex-computer reports controlReady false "
        "(its control operations do not exist yet)\n");
    return replies;
  }
  // Only one controller at a time holds the control lock, so the two are timed one after the
  // other: first straight, then, once that kex-computer has gone, through kex-mcp.
  (void)direct->request("computer.focus", freshArgs(*direct, {{"targetId", directWindow}}));
  std::vector<double> straight;
  std::string captureId;
  for (int i = 0; i < kWarmUp + calls; ++i) {
    if (i % kClicksPerCapture == 0) {
      captureId = direct->request("computer.capture", directWindowArgs)["result"]["captureId"];
    }
    json args = fresh;
    args.update({{"captureId", captureId}, {"x", 400}, {"y", 560}, {"action", "click"}});
    const std::string line = Helper::envelope("c", "computer.pointer", args);
    const double ms = timed([&] {
      (void)direct->sendLine(line);
      expectOk(direct->readResponseLine());
    });
    if (i >= kWarmUp) straight.push_back(ms);
    (void)app.readLine(deadlineIn(std::chrono::seconds(5)));
  }
  direct->closeInput();
  (void)direct->waitExit(deadlineIn(std::chrono::seconds(10)));
  (void)mcp.call("focus_window", {{"windowId", mcpWindow}});
  std::vector<double> through;
  std::string clickLine;
  for (int i = 0; i < kWarmUp + calls; ++i) {
    if (i % kClicksPerCapture == 0) {
      const json capture = mcp.call("capture_window", {{"windowId", mcpWindow}});
      clickLine = mcp.toolCallLine(
          "click",
          {{"captureId", capture["structuredContent"]["captureId"]}, {"x", 400}, {"y", 560}});
    }
    const double ms = timed([&] { expectResult(mcp.roundTrip(clickLine)); });
    if (i >= kWarmUp) through.push_back(ms);
    (void)app.readLine(deadlineIn(std::chrono::seconds(5)));
  }
  report("click, whole round trip", summarize(straight), summarize(through), kClickBudgetMs);
  return replies;
}

void writeScript(const std::string& path, const Replies& replies) {
  const json pointerDone = {{"ok", true}, {"result", {{"verified", false}}}};
  json rules = json::array();
  rules.push_back({{"op", "computer.windows"}, {"reply", replies.windows}});
  rules.push_back({{"op", "computer.displays"}, {"reply", replies.displays}});
  const std::string displayId = replies.displays["result"]["displays"][0]["targetId"];
  rules.push_back({{"op", "computer.pointer"}, {"reply", pointerDone}});
  // The listing of displays carries the revision kex-mcp then keeps: the stand-in must agree.
  std::ofstream(path) << json{{"topology", replies.displays["result"]["topologyRevision"]},
                              {"rules", rules},
                              {"captures", {{displayId, replies.displayCapture}}},
                              {"defaultCapture", replies.windowCapture}}
                             .dump();
}

// kex-mcp's own share: the same responses replayed at once by a stand-in for kex-computer, so
// that neither the X server nor the machine's load hides a fraction of a millisecond.
void measureOwnCost(int calls, const std::string& logDir, const Replies& replies) {
  const std::string script = logDir + "/script.json";
  writeScript(script, replies);
  const std::string confirm = logDir + "/approve.sh";
  std::ofstream(confirm) << "#!/bin/sh\necho verified\n";
  ::chmod(confirm.c_str(), 0755);

  const EnvChanges mcpEnv = {{"KEX_FAKE_SCRIPT", script}, {"KEX_FAKE_LOG", logDir + "/mcp.log"}};
  McpSession mcp({"--computer", KEX_MCP_FAKE_COMPUTER_PATH, "--confirm", confirm}, mcpEnv,
                 logDir + "/kex-mcp-replay.log");
  harness::HelperOptions helperOptions;
  helperOptions.program = KEX_MCP_FAKE_COMPUTER_PATH;
  helperOptions.env = {{"KEX_FAKE_SCRIPT", script}, {"KEX_FAKE_LOG", logDir + "/direct.log"}};
  Helper direct(helperOptions);
  const json fresh = freshArgs(direct, json::object());

  const json windows = mcp.call("list_windows", json::object());
  const std::string windowId = windows["structuredContent"]["windows"][0]["windowId"];
  const json displays = mcp.call("list_displays", json::object());
  const std::string displayId = displays["structuredContent"]["displays"][0]["displayId"];
  const json capture = mcp.call("capture_window", {{"windowId", windowId}});
  const std::string captureId = capture["structuredContent"]["captureId"];

  json windowArgs = fresh;
  windowArgs["targetId"] = windowId;
  json displayArgs = fresh;
  displayArgs["targetId"] = displayId;
  json clickArgs = fresh;
  clickArgs.update({{"captureId", captureId}, {"x", 10}, {"y", 10}, {"action", "click"}});
  const std::string directWindow = Helper::envelope("w", "computer.capture", windowArgs);
  const std::string directDisplay = Helper::envelope("d", "computer.capture", displayArgs);
  const std::string directClick = Helper::envelope("c", "computer.pointer", clickArgs);
  const std::string mcpWindow = mcp.toolCallLine("capture_window", {{"windowId", windowId}});
  const std::string mcpDisplay = mcp.toolCallLine("capture_display", {{"displayId", displayId}});
  const std::string mcpClick =
      mcp.toolCallLine("click", {{"captureId", captureId}, {"x", 10}, {"y", 10}});
  // The first input asks for approval (here a script that approves at once); not timed.
  expectResult(mcp.roundTrip(mcpClick));

  const auto straight = [&](const std::string& line) {
    return [&direct, &line] {
      (void)direct.sendLine(line);
      expectOk(direct.readResponseLine());
    };
  };
  const auto through = [&](const std::string& line) {
    return [&mcp, &line] { expectResult(mcp.roundTrip(line)); };
  };
  std::printf(
      "\n\nkex-mcp's own share: the same responses replayed at once by a stand-in for "
      "kex-computer\n");
  const auto [windowDirect, windowMcp] = compare(calls, straight(directWindow), through(mcpWindow));
  report("capture_window, replayed", windowDirect, windowMcp, kCaptureBudgetMs);
  const auto [displayDirect, displayMcp] =
      compare(calls, straight(directDisplay), through(mcpDisplay));
  report("capture_display, replayed", displayDirect, displayMcp, kCaptureBudgetMs);
  const auto [clickDirect, clickMcp] = compare(calls, straight(directClick), through(mcpClick));
  report("click, replayed", clickDirect, clickMcp, kClickBudgetMs);
}

void measure(const Options& options) {
  const int calls = options.count("--calls", 300);
  char logDir[] = "/tmp/kex-mcp-bench-XXXXXX";
  if (!::mkdtemp(logDir)) throw std::runtime_error("mkdtemp failed");
  const Replies replies = measureOnTheDesktop(calls, logDir);
  measureOwnCost(calls, logDir, replies);
  std::filesystem::remove_all(logDir);
}

}  // namespace
}  // namespace kex::bench

int main(int argc, char** argv) {
  return kex::bench::runBenchmark("kex_mcp_bench", argc, argv, kex::bench::measure);
}
