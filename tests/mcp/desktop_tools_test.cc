// The tools' own logic against a scripted kex-computer and a scripted kex-confirm: the person is
// asked before the first input of each child and never in vain, ids are refused before anything
// is sent when they are certainly void, and every way kex-computer can refuse or fail is told.
#include "mcp/desktop_tools.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kex::mcp::test {
namespace {

using namespace std::chrono_literals;

const Json kWindows = Json::parse(R"({"ok":true,"result":{"windows":[
  {"targetId":"W1","title":"Editor","application":"Gedit",
   "sourceRect":{"x":10.0,"y":20.0,"width":400.0,"height":300.0}},
  {"targetId":"W2","title":"","application":"Terminal",
   "sourceRect":{"x":500.0,"y":20.0,"width":200.0,"height":100.0}}]}})");

Json captureReply(const std::string& captureId, const std::string& targetId) {
  return {
      {"ok", true},
      {"result",
       {{"captureId", captureId},
        {"capturedAt", "2026-01-01T00:00:00Z"},
        {"targetId", targetId},
        {"width", 400},
        {"height", 300},
        {"image", "iVBORw0KGgo="},
        {"transform", {{"scaleX", 1.0}, {"scaleY", 1.0}, {"offsetX", 10.0}, {"offsetY", 20.0}}}}}};
}

Json treeReply(const std::string& okNodeId, const std::string& okTitle) {
  return {{"ok", true},
          {"result",
           {{"scope", "window"},
            {"targetId", "W1"},
            {"tree",
             {{"role", "frame"},
              {"title", "Editor"},
              {"enabled", true},
              {"nodeId", "ROOT-" + okNodeId},
              {"children",
               {{{"role", "password text"}, {"protected", true}},
                {{"role", "push button"},
                 {"title", okTitle},
                 {"enabled", true},
                 {"nodeId", okNodeId},
                 {"children", Json::array()}},
                {{"truncated", true}}}}}}}}};
}

const Json kInputDone = Json::parse(R"({"ok":true,"result":{"verified":false}})");

Json refusal(const std::string& code, bool dispatched) {
  return {{"ok", false}, {"error", code}, {"dispatched", dispatched}};
}

// Runs on the test thread, like everything here.
class DesktopToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kex-mcp-tools-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    script_ = {{"topology", "T1"}, {"rules", Json::array()}};
    saveScript();
    writeConfirm();
    answerApproval("approve");
    start(ApprovalPolicy::askThePerson, KEX_MCP_FAKE_COMPUTER_PATH);
  }

  void TearDown() override {
    tools_.reset();
    consent_.reset();
    link_.reset();
    std::filesystem::remove_all(dir_);
  }

  // A stalled machine must not pass for a silent kex-computer, so only the test of silence
  // waits briefly.
  void start(ApprovalPolicy policy, const std::string& program,
             std::chrono::milliseconds responseTimeout = 20s) {
    tools_.reset();
    link_.reset();
    ComputerOptions options;
    options.program = program;
    options.environment = {{"KEX_FAKE_SCRIPT", dir_ + "/script.json"},
                           {"KEX_FAKE_LOG", dir_ + "/computer.log"}};
    options.responseTimeout = responseTimeout;
    link_ = std::make_unique<ComputerLink>(options);
    consent_ = std::make_unique<Consent>(std::vector<std::string>{dir_ + "/confirm.sh"});
    tools_ = std::make_unique<DesktopTools>(*link_, *consent_, policy, [this] { return now_; });
  }

  void writeConfirm() {
    const std::string path = dir_ + "/confirm.sh";
    std::ofstream(path) << "#!/bin/sh\n"
                        << "echo asked >> " << dir_ << "/confirm.log\n"
                        << "case $(cat " << dir_ << "/confirm-mode) in\n"
                        << "  approve) echo verified; exit 0 ;;\n"
                        << "  decline) exit 1 ;;\n"
                        << "  noprompt) exit 2 ;;\n"
                        << "  quiet) exit 0 ;;\n"
                        << "  hang) echo $$ > " << dir_ << "/confirm.fifo; exec sleep 60 ;;\n"
                        << "esac\n"
                        << "exit 9\n";
    ::chmod(path.c_str(), 0755);
  }

  void answerApproval(const std::string& mode) {
    std::ofstream(dir_ + "/confirm-mode") << mode << "\n";
  }

  void saveScript() { std::ofstream(dir_ + "/script.json") << script_.dump(); }
  void rule(Json entry) {
    script_["rules"].push_back(std::move(entry));
    saveScript();
  }
  void reply(const std::string& op, const Json& answer) { rule({{"op", op}, {"reply", answer}}); }

  ToolResult call(const std::string& tool, Json arguments = Json::object()) {
    ToolCall toolCall;
    toolCall.tool = tool;
    toolCall.arguments = std::move(arguments);
    return tools_->execute(toolCall);
  }

  // Lists the windows and captures W1 as C1, the usual start of every input test.
  void listAndCapture() {
    reply("computer.windows", kWindows);
    reply("computer.capture", captureReply("C1", "W1"));
    ASSERT_FALSE(call("list_windows").isError);
    ASSERT_FALSE(call("capture_window", {{"windowId", "W1"}}).isError);
  }

  [[nodiscard]] std::vector<std::string> logLines() const {
    std::ifstream file(dir_ + "/computer.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
  // The arguments of every request for the operation, in order.
  [[nodiscard]] std::vector<Json> requests(const std::string& operation) const {
    std::vector<Json> found;
    for (const auto& line : logLines()) {
      if (!line.starts_with("request ")) continue;
      const Json request = Json::parse(line.substr(8));
      if (request["operation"] == operation) found.push_back(request["args"]);
    }
    return found;
  }
  [[nodiscard]] int childrenStarted() const {
    int starts = 0;
    for (const auto& line : logLines()) starts += line == "start" ? 1 : 0;
    return starts;
  }
  [[nodiscard]] int approvalsAsked() const {
    std::ifstream file(dir_ + "/confirm.log");
    int asked = 0;
    for (std::string line; std::getline(file, line);) ++asked;
    return asked;
  }

  std::string dir_;
  Json script_;
  Moment now_ = std::chrono::steady_clock::now();
  std::unique_ptr<ComputerLink> link_;
  std::unique_ptr<Consent> consent_;
  std::unique_ptr<DesktopTools> tools_;
};

bool mentions(const ToolResult& result, const std::string& words) {
  return result.text.find(words) != std::string::npos;
}

TEST_F(DesktopToolsTest, ListingCarriesTheSessionAndTopologyFromOneStatus) {
  reply("computer.windows", kWindows);
  const ToolResult first = call("list_windows");
  const ToolResult second = call("list_windows");
  ASSERT_FALSE(first.isError) << first.text;
  EXPECT_FALSE(second.isError);
  EXPECT_EQ(requests("status").size(), 1u);
  const auto listings = requests("computer.windows");
  ASSERT_EQ(listings.size(), 2u);
  for (const auto& args : listings) {
    EXPECT_EQ(args["sessionId"], "SESSION-1");
    EXPECT_EQ(args["topologyRevision"], "T1");
  }
  ASSERT_TRUE(first.structured);
  const Json& windows = (*first.structured)["windows"];
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0], Json::parse(R"({"windowId":"W1","title":"Editor","application":"Gedit",
                                        "x":10.0,"y":20.0,"width":400.0,"height":300.0})"));
  EXPECT_FALSE(mentions(first, "SESSION-1")) << "the model never sees the session";
  EXPECT_FALSE(mentions(first, "T1"));
}

TEST_F(DesktopToolsTest, ChangedTopologyIsReadAgainAndTheListingRepeated) {
  reply("computer.windows", kWindows);
  ASSERT_FALSE(call("list_windows").isError);
  script_["topology"] = "T2";
  saveScript();
  const ToolResult listing = call("list_windows");
  EXPECT_FALSE(listing.isError) << listing.text;
  EXPECT_EQ(requests("status").size(), 2u);
  const auto listings = requests("computer.windows");
  ASSERT_EQ(listings.size(), 3u);
  EXPECT_EQ(listings[1]["topologyRevision"], "T1");
  EXPECT_EQ(listings[2]["topologyRevision"], "T2");
}

TEST_F(DesktopToolsTest, ChangedTopologyVoidsEveryIdAndTellsTheModelToListAgain) {
  listAndCapture();
  script_["topology"] = "T2";
  saveScript();
  const ToolResult capture = call("capture_window", {{"windowId", "W1"}});
  EXPECT_TRUE(capture.isError);
  EXPECT_TRUE(mentions(capture, "screen layout changed")) << capture.text;
  const std::size_t sent = requests("computer.capture").size();
  const ToolResult again = call("capture_window", {{"windowId", "W1"}});
  EXPECT_TRUE(again.isError);
  EXPECT_TRUE(mentions(again, "list_windows")) << again.text;
  EXPECT_EQ(requests("computer.capture").size(), sent) << "a void id is refused without asking";
  EXPECT_EQ(requests("computer.capture").back()["topologyRevision"], "T1");
}

TEST_F(DesktopToolsTest, CaptureIsAnImageWithItsIdSizeAndMapping) {
  listAndCapture();
  reply("computer.capture", captureReply("C2", "W1"));
  const ToolResult capture = call("capture_window", {{"windowId", "W1"}, {"maxWidth", 512}});
  ASSERT_FALSE(capture.isError) << capture.text;
  EXPECT_EQ(capture.pngBase64, "iVBORw0KGgo=");
  EXPECT_EQ(requests("computer.capture").back()["maxWidth"], 512);
  ASSERT_TRUE(capture.structured);
  EXPECT_EQ((*capture.structured)["captureId"], "C1");
  EXPECT_EQ((*capture.structured)["width"], 400);
  EXPECT_EQ((*capture.structured)["validForSeconds"], 30);
  EXPECT_TRUE(mentions(capture, "C1"));
  EXPECT_TRUE(mentions(capture, "400x300 pixels"));
  EXPECT_TRUE(mentions(capture, "(10 + x * 1, 20 + y * 1)")) << capture.text;
  EXPECT_TRUE(mentions(capture, "30 seconds"));
}

TEST_F(DesktopToolsTest, UnknownOrExpiredCaptureIsRefusedWithoutAskingOrSending) {
  listAndCapture();
  const ToolResult unknown = call("click", {{"captureId", "NOPE"}, {"x", 1}, {"y", 1}});
  EXPECT_TRUE(unknown.isError);
  EXPECT_TRUE(mentions(unknown, "expire 30 seconds")) << unknown.text;
  now_ += 31s;
  const ToolResult expired = call("click", {{"captureId", "C1"}, {"x", 1}, {"y", 1}});
  EXPECT_TRUE(expired.isError);
  EXPECT_TRUE(mentions(expired, "taken 31 seconds ago")) << expired.text;
  EXPECT_EQ(approvalsAsked(), 0);
  EXPECT_TRUE(requests("computer.pointer").empty());
}

TEST_F(DesktopToolsTest, PointOutsideTheImageIsRefusedWithTheImageSize) {
  listAndCapture();
  const ToolResult outside = call("click", {{"captureId", "C1"}, {"x", 400}, {"y", 0}});
  EXPECT_TRUE(outside.isError);
  EXPECT_TRUE(mentions(outside, "400x300")) << outside.text;
  const ToolResult dragOut =
      call("drag", {{"captureId", "C1"}, {"x", 0}, {"y", 0}, {"toX", 10}, {"toY", 300}});
  EXPECT_TRUE(dragOut.isError);
  EXPECT_EQ(approvalsAsked(), 0);
  EXPECT_TRUE(requests("computer.pointer").empty());
}

TEST_F(DesktopToolsTest, PersonIsAskedOnceBeforeTheFirstInputOfAChild) {
  listAndCapture();
  reply("computer.pointer", kInputDone);
  const ToolResult first = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  ASSERT_FALSE(first.isError) << first.text;
  EXPECT_EQ(approvalsAsked(), 1);
  EXPECT_TRUE(mentions(first, "screen point (15, 26)")) << first.text;
  const ToolResult second = call("double_click", {{"captureId", "C1"}, {"x", 7}, {"y", 8}});
  EXPECT_FALSE(second.isError);
  EXPECT_EQ(approvalsAsked(), 1);
  const auto sent = requests("computer.pointer");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]["action"], "click");
  EXPECT_EQ(sent[0]["x"], 5);
  EXPECT_EQ(sent[0]["captureId"], "C1");
  EXPECT_EQ(sent[1]["action"], "doubleClick");
}

TEST_F(DesktopToolsTest, DeclinedApprovalSendsNothingAndTheNextInputAsksAgain) {
  listAndCapture();
  reply("computer.pointer", kInputDone);
  answerApproval("decline");
  const ToolResult declined = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  EXPECT_TRUE(declined.isError);
  EXPECT_TRUE(mentions(declined, "declined")) << declined.text;
  EXPECT_TRUE(requests("computer.pointer").empty());
  answerApproval("approve");
  EXPECT_FALSE(call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}}).isError);
  EXPECT_EQ(approvalsAsked(), 2);
  EXPECT_EQ(requests("computer.pointer").size(), 1u);
}

TEST_F(DesktopToolsTest, WithoutAPromptControlStaysOffWhileObservationWorks) {
  listAndCapture();
  answerApproval("noprompt");
  const ToolResult refused = call("focus_window", {{"windowId", "W1"}});
  EXPECT_TRUE(refused.isError);
  EXPECT_TRUE(mentions(refused, "No approval prompt can be shown")) << refused.text;
  EXPECT_TRUE(requests("computer.focus").empty());
  EXPECT_FALSE(call("capture_window", {{"windowId", "W1"}}).isError);
}

TEST_F(DesktopToolsTest, ApprovalWithoutTheWordVerifiedIsNoApproval) {
  listAndCapture();
  answerApproval("quiet");
  const ToolResult refused = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  EXPECT_TRUE(refused.isError);
  EXPECT_TRUE(mentions(refused, "without saying verified")) << refused.text;
  EXPECT_TRUE(requests("computer.pointer").empty());
}

TEST_F(DesktopToolsTest, PersonIsNotAskedWhenControlIsNotReady) {
  script_["controlReady"] = false;
  saveScript();
  listAndCapture();
  const ToolResult refused = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  EXPECT_TRUE(refused.isError);
  EXPECT_TRUE(mentions(refused, "Control is not available")) << refused.text;
  EXPECT_EQ(approvalsAsked(), 0);
  EXPECT_TRUE(requests("computer.pointer").empty());
}

TEST_F(DesktopToolsTest, LayoutChangedBeforeTheFirstInputVoidsIdsWithoutAsking) {
  listAndCapture();
  script_["topology"] = "T2";
  saveScript();
  const ToolResult refused = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  EXPECT_TRUE(refused.isError);
  EXPECT_TRUE(mentions(refused, "screen layout changed")) << refused.text;
  EXPECT_EQ(approvalsAsked(), 0);
  EXPECT_TRUE(requests("computer.pointer").empty());
  EXPECT_TRUE(call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}}).isError);
  EXPECT_EQ(approvalsAsked(), 0);
}

TEST_F(DesktopToolsTest, PrivateDesktopNeverAsks) {
  start(ApprovalPolicy::privateDesktop, KEX_MCP_FAKE_COMPUTER_PATH);
  listAndCapture();
  reply("computer.pointer", kInputDone);
  EXPECT_FALSE(call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}}).isError);
  EXPECT_EQ(approvalsAsked(), 0);
  EXPECT_EQ(requests("computer.pointer").size(), 1u);
}

TEST_F(DesktopToolsTest, HumanInterruptionReplacesTheChildAndTheNextInputAsksAgain) {
  listAndCapture();
  rule({{"op", "computer.pointer"}, {"child", 1}, {"reply", refusal("human_interrupted", false)}});
  reply("computer.pointer", kInputDone);
  const ToolResult interrupted = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  EXPECT_TRUE(interrupted.isError);
  EXPECT_TRUE(mentions(interrupted, "used the keyboard or mouse")) << interrupted.text;
  EXPECT_TRUE(mentions(interrupted, "Nothing was sent to the window"));
  // The old ids belonged to the stopped child.
  EXPECT_TRUE(call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}}).isError);
  EXPECT_EQ(approvalsAsked(), 1);
  listAndCapture();
  EXPECT_EQ(childrenStarted(), 2);
  const ToolResult resumed = call("click", {{"captureId", "C1"}, {"x", 5}, {"y", 6}});
  EXPECT_FALSE(resumed.isError) << resumed.text;
  EXPECT_EQ(approvalsAsked(), 2);
  EXPECT_EQ(requests("computer.pointer").back()["sessionId"], "SESSION-2");
}

TEST_F(DesktopToolsTest, EveryStopReasonReplacesTheChild) {
  int expectedChildren = 0;
  for (const std::string code : {"cancelled", "input_monitor_lost", "input_monitor_unavailable",
                                 "input_watchdog_lost", "human_interrupted"}) {
    script_["rules"] = Json::array();
    saveScript();
    listAndCapture();
    ++expectedChildren;
    reply("computer.keyboard", refusal(code, true));
    const ToolResult stopped = call("type_text", {{"captureId", "C1"}, {"text", "hi"}});
    EXPECT_TRUE(stopped.isError) << code;
    EXPECT_TRUE(mentions(stopped, "may already have reached")) << code;
    EXPECT_EQ(childrenStarted(), expectedChildren) << code;
  }
  EXPECT_EQ(approvalsAsked(), expectedChildren);
}

TEST_F(DesktopToolsTest, InputRefusalSaysWhetherAnythingWentOut) {
  listAndCapture();
  rule({{"op", "computer.keyboard"}, {"nth", 1}, {"reply", refusal("focus_changed", false)}});
  rule({{"op", "computer.keyboard"}, {"nth", 2}, {"reply", refusal("input_blocked", true)}});
  const ToolResult unfocused = call("press_key", {{"captureId", "C1"}, {"key", "Return"}});
  EXPECT_TRUE(mentions(unfocused, "focus_window")) << unfocused.text;
  EXPECT_TRUE(mentions(unfocused, "Nothing was sent to the window"));
  const ToolResult blocked = call("press_key", {{"captureId", "C1"}, {"key", "Return"}});
  EXPECT_TRUE(mentions(blocked, "may already have reached the window")) << blocked.text;
  EXPECT_EQ(childrenStarted(), 1) << "ordinary refusals keep the child";
}

TEST_F(DesktopToolsTest, ChildThatDiesIsToldAndReplacedOnTheNextCall) {
  rule({{"op", "computer.windows"}, {"child", 1}, {"nth", 2}, {"exit", 3}});
  reply("computer.windows", kWindows);
  ASSERT_FALSE(call("list_windows").isError);
  const ToolResult died = call("list_windows");
  EXPECT_TRUE(died.isError);
  EXPECT_TRUE(mentions(died, "stopped unexpectedly (it exited with status 3)")) << died.text;
  EXPECT_FALSE(call("list_windows").isError);
  EXPECT_EQ(childrenStarted(), 2);
}

TEST_F(DesktopToolsTest, SilentChildIsGivenUpAfterTheTimeout) {
  start(ApprovalPolicy::askThePerson, KEX_MCP_FAKE_COMPUTER_PATH, 1s);
  rule({{"op", "computer.windows"}, {"child", 1}, {"hang", true}});
  reply("computer.windows", kWindows);
  const ToolResult silent = call("list_windows");
  EXPECT_TRUE(silent.isError);
  EXPECT_TRUE(mentions(silent, "did not answer in time")) << silent.text;
  EXPECT_FALSE(call("list_windows").isError);
  EXPECT_EQ(childrenStarted(), 2);
}

TEST_F(DesktopToolsTest, GarbledAnswerEndsTheChild) {
  rule({{"op", "computer.windows"}, {"child", 1}, {"garbage", "this is not a response"}});
  reply("computer.windows", kWindows);
  EXPECT_TRUE(call("list_windows").isError);
  EXPECT_FALSE(call("list_windows").isError);
  EXPECT_EQ(childrenStarted(), 2);
}

TEST_F(DesktopToolsTest, MissingKexComputerIsReported) {
  start(ApprovalPolicy::askThePerson, dir_ + "/no-such-kex-computer");
  const ToolResult missing = call("list_windows");
  EXPECT_TRUE(missing.isError);
  EXPECT_TRUE(mentions(missing, "could not be started")) << missing.text;
}

TEST_F(DesktopToolsTest, ElementIdOutlivesKexNodesByReadingTheTreeAgain) {
  listAndCapture();
  rule({{"op", "computer.accessibility"}, {"nth", 1}, {"reply", treeReply("N1", "OK")}});
  rule({{"op", "computer.accessibility"}, {"nth", 2}, {"reply", treeReply("N2", "OK")}});
  reply("computer.action", kInputDone);
  const ToolResult tree = call("get_accessibility_tree", {{"windowId", "W1"}});
  ASSERT_FALSE(tree.isError) << tree.text;
  const Json& root = (*tree.structured)["tree"];
  EXPECT_EQ(root["children"][0], Json::parse(R"({"role":"password text","protected":true})"));
  EXPECT_EQ(root["children"][1]["elementId"], "N1");
  EXPECT_EQ(root["children"][1]["name"], "OK");
  EXPECT_EQ(root["children"][2], Json::parse(R"({"truncated":true})"));
  EXPECT_EQ(requests("computer.accessibility")[0]["maxNodes"], 100);
  now_ += 10s;
  const ToolResult pressed = call("press_element", {{"elementId", "N1"}, {"captureId", "C1"}});
  EXPECT_FALSE(pressed.isError) << pressed.text;
  ASSERT_EQ(requests("computer.accessibility").size(), 2u);
  ASSERT_EQ(requests("computer.action").size(), 1u);
  EXPECT_EQ(requests("computer.action")[0]["nodeId"], "N2");
  EXPECT_EQ(requests("computer.action")[0]["action"], "press");
}

TEST_F(DesktopToolsTest, FreshElementIsActedOnWithoutReadingAgain) {
  listAndCapture();
  reply("computer.accessibility", treeReply("N1", "OK"));
  reply("computer.action", kInputDone);
  ASSERT_FALSE(call("get_accessibility_tree", {{"windowId", "W1"}}).isError);
  EXPECT_FALSE(call("focus_element", {{"elementId", "N1"}, {"captureId", "C1"}}).isError);
  EXPECT_EQ(requests("computer.accessibility").size(), 1u);
  EXPECT_EQ(requests("computer.action")[0]["action"], "focus");
}

TEST_F(DesktopToolsTest, ElementThatChangedIsNotActedOn) {
  listAndCapture();
  rule({{"op", "computer.accessibility"}, {"nth", 1}, {"reply", treeReply("N1", "OK")}});
  rule({{"op", "computer.accessibility"}, {"nth", 2}, {"reply", treeReply("N2", "Delete all")}});
  reply("computer.action", kInputDone);
  ASSERT_FALSE(call("get_accessibility_tree", {{"windowId", "W1"}}).isError);
  now_ += 10s;
  const ToolResult moved = call("press_element", {{"elementId", "N1"}, {"captureId", "C1"}});
  EXPECT_TRUE(moved.isError);
  EXPECT_TRUE(mentions(moved, "no longer where it was")) << moved.text;
  EXPECT_TRUE(requests("computer.action").empty());
}

TEST_F(DesktopToolsTest, ElementAndCaptureOfDifferentWindowsAreRefused) {
  listAndCapture();
  reply("computer.accessibility", treeReply("N1", "OK"));
  ASSERT_FALSE(call("get_accessibility_tree", {{"windowId", "W2"}}).isError);
  const ToolResult mixed = call("press_element", {{"elementId", "N1"}, {"captureId", "C1"}});
  EXPECT_TRUE(mixed.isError);
  EXPECT_TRUE(mentions(mixed, "another window")) << mixed.text;
  EXPECT_EQ(approvalsAsked(), 0);
}

TEST_F(DesktopToolsTest, PointerAndKeyboardArgumentsReachKexComputerAsItWantsThem) {
  listAndCapture();
  reply("computer.pointer", kInputDone);
  reply("computer.keyboard", kInputDone);
  ASSERT_FALSE(
      call("scroll", {{"captureId", "C1"}, {"x", 1}, {"y", 2}, {"direction", "down"}}).isError);
  ASSERT_FALSE(
      call("scroll", {{"captureId", "C1"}, {"x", 1}, {"y", 2}, {"direction", "left"}, {"lines", 2}})
          .isError);
  ASSERT_FALSE(
      call("drag", {{"captureId", "C1"}, {"x", 10}, {"y", 20}, {"toX", 30}, {"toY", 5}}).isError);
  ASSERT_FALSE(call("move_pointer", {{"captureId", "C1"}, {"x", 3}, {"y", 4}}).isError);
  ASSERT_FALSE(
      call("press_key", {{"captureId", "C1"}, {"key", "c"}, {"modifiers", {"control", "shift"}}})
          .isError);
  ASSERT_FALSE(call("type_text", {{"captureId", "C1"}, {"text", "héllo"}}).isError);
  const auto pointer = requests("computer.pointer");
  ASSERT_EQ(pointer.size(), 4u);
  EXPECT_EQ(pointer[0]["action"], "scroll");
  EXPECT_EQ(pointer[0]["deltaY"], -360);
  EXPECT_EQ(pointer[0]["deltaX"], 0);
  EXPECT_EQ(pointer[1]["deltaX"], -240);
  EXPECT_EQ(pointer[2]["action"], "drag");
  EXPECT_EQ(pointer[2]["deltaX"], 20);
  EXPECT_EQ(pointer[2]["deltaY"], -15);
  EXPECT_EQ(pointer[3]["action"], "move");
  const auto keyboard = requests("computer.keyboard");
  ASSERT_EQ(keyboard.size(), 2u);
  EXPECT_EQ(keyboard[0]["key"], "c");
  EXPECT_EQ(keyboard[0]["modifiers"], Json::parse(R"(["control","shift"])"));
  EXPECT_EQ(keyboard[1]["text"], "héllo");
  EXPECT_EQ(approvalsAsked(), 1);
}

TEST_F(DesktopToolsTest, TextIsMeasuredInUtf16UnitsAsKexComputerCountsIt) {
  listAndCapture();
  std::string emoji;
  for (int i = 0; i < 513; ++i) emoji += "\xF0\x9F\x99\x82";  // 513 code points, 1026 units
  const ToolResult tooLong = call("type_text", {{"captureId", "C1"}, {"text", emoji}});
  EXPECT_TRUE(tooLong.isError);
  EXPECT_TRUE(mentions(tooLong, "1024")) << tooLong.text;
  EXPECT_EQ(approvalsAsked(), 0);
  EXPECT_TRUE(requests("computer.keyboard").empty());
}

TEST_F(DesktopToolsTest, CancellingTheCallClosesTheApprovalPrompt) {
  listAndCapture();
  answerApproval("hang");
  const std::string fifo = dir_ + "/confirm.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ToolCall toolCall;
  toolCall.tool = "click";
  toolCall.arguments = {{"captureId", "C1"}, {"x", 5}, {"y", 6}};
  pid_t prompt = 0;
  int progressReports = 0;
  // Called once the prompt runs: the fifo tells which process is the prompt, then the client
  // gives up on the call.
  toolCall.progress = [&](const std::string& message) {
    ++progressReports;
    EXPECT_NE(message.find("approve"), std::string::npos) << message;
    std::ifstream(fifo) >> prompt;
    toolCall.control->cancel();
  };
  const auto started = std::chrono::steady_clock::now();
  const ToolResult result = tools_->execute(toolCall);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  EXPECT_TRUE(result.isError);
  EXPECT_EQ(progressReports, 1);
  ASSERT_GT(prompt, 0);
  EXPECT_NE(::kill(prompt, 0), 0) << "the prompt is still running";
  EXPECT_TRUE(requests("computer.pointer").empty());
}

}  // namespace
}  // namespace kex::mcp::test
