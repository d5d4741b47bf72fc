// The JSON-RPC and MCP lifecycle layer, driven line by line with the tool calls held by the test.
#include "mcp/mcp_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcp/tool_catalog.h"
#include "recording_channel.h"

namespace kex::mcp::test {
namespace {

// Keeps submitted calls so that a test decides when and how each ends.
class HeldRunner : public ToolRunner {
 public:
  void submit(ToolCall call) override { calls.push_back(std::move(call)); }
  std::vector<ToolCall> calls;
};

Json initializeRequest(const Json& id, const std::string& version) {
  return {{"jsonrpc", "2.0"},
          {"id", id},
          {"method", "initialize"},
          {"params",
           {{"protocolVersion", version},
            {"capabilities", Json::object()},
            {"clientInfo", {{"name", "test"}, {"version", "1"}}}}}};
}

Json request(const Json& id, const std::string& method, Json params = nullptr) {
  Json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) message["params"] = std::move(params);
  return message;
}

Json toolCall(const Json& id, const std::string& tool, Json arguments = Json::object()) {
  return request(id, "tools/call", {{"name", tool}, {"arguments", std::move(arguments)}});
}

class McpServerTest : public ::testing::Test {
 protected:
  void send(const Json& message) { server_.handleLine(message.dump()); }
  void sendLine(const std::string& line) { server_.handleLine(line); }

  void initialize(const std::string& version = "2025-06-18") {
    send(initializeRequest("init", version));
    send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    (void)channel_.take();
  }

  // The one message sent since the last call, parsed.
  Json onlyReply() {
    const auto messages = channel_.take();
    EXPECT_EQ(messages.size(), 1u);
    if (messages.size() != 1) return Json();
    return Json::parse(messages.front());
  }

  void expectError(const Json& reply, const Json& id, int code) {
    EXPECT_EQ(reply.value("jsonrpc", ""), "2.0");
    EXPECT_EQ(reply["id"], id) << reply.dump();
    ASSERT_TRUE(reply.contains("error")) << reply.dump();
    EXPECT_EQ(reply["error"]["code"], code) << reply.dump();
    EXPECT_TRUE(reply["error"]["message"].is_string());
    EXPECT_FALSE(reply.contains("result"));
  }

  RecordingChannel channel_;
  HeldRunner runner_;
  McpServer server_{channel_, runner_};
};

TEST_F(McpServerTest, LineThatIsNotJsonIsAParseErrorWithNullId) {
  for (const std::string line : {"{not json", "{\"jsonrpc\":\"2.0\",", "\xff\xfe", "[1,2"}) {
    sendLine(line);
    expectError(onlyReply(), nullptr, rpc_codes::parseError);
  }
}

TEST_F(McpServerTest, BlankLinesAreIgnored) {
  sendLine("");
  sendLine("   \t");
  sendLine("\r");
  EXPECT_TRUE(channel_.messages().empty());
}

TEST_F(McpServerTest, JsonThatIsNoRequestObjectIsAnInvalidRequest) {
  for (const std::string line : {"1", "\"ping\"", "null", "true"}) {
    sendLine(line);
    expectError(onlyReply(), nullptr, rpc_codes::invalidRequest);
  }
  send({{"jsonrpc", "1.0"}, {"id", 5}, {"method", "ping"}});
  expectError(onlyReply(), 5, rpc_codes::invalidRequest);
  send({{"id", "no-version"}, {"method", "ping"}});
  expectError(onlyReply(), "no-version", rpc_codes::invalidRequest);
  send({{"jsonrpc", "2.0"}, {"id", 6}, {"method", 42}});
  expectError(onlyReply(), 6, rpc_codes::invalidRequest);
  send({{"jsonrpc", "2.0"}, {"id", 7}});
  expectError(onlyReply(), 7, rpc_codes::invalidRequest);
}

TEST_F(McpServerTest, EveryAllowedIdIsEchoedExactly) {
  // Strings of any content, and integers up to the 64-bit limits, where a double would round.
  const std::vector<std::string> ids = {R"("abc")",
                                        R"("")",
                                        R"("é ü 漢字 🙂")",
                                        R"("a\"b\\c\n")",
                                        "0",
                                        "-1",
                                        "42",
                                        "9007199254740993",
                                        "18446744073709551615",
                                        "-9223372036854775808"};
  for (const auto& id : ids) {
    sendLine(R"({"jsonrpc":"2.0","method":"ping","id":)" + id + "}");
    const auto messages = channel_.take();
    ASSERT_EQ(messages.size(), 1u) << id;
    EXPECT_NE(messages.front().find(R"("id":)" + id), std::string::npos)
        << "id " << id << " not echoed as sent: " << messages.front();
    const Json reply = Json::parse(messages.front());
    EXPECT_EQ(reply["id"], Json::parse(id));
    EXPECT_EQ(reply["result"], Json::object());
  }
}

TEST_F(McpServerTest, IdsThatMcpForbidsAreRefusedWithNullId) {
  for (const std::string id : {"null", "true", "1.5", "{}", "[1]"}) {
    sendLine(R"({"jsonrpc":"2.0","method":"ping","id":)" + id + "}");
    expectError(onlyReply(), nullptr, rpc_codes::invalidRequest);
  }
}

TEST_F(McpServerTest, NotificationsAreNeverAnsweredNorRun) {
  const std::vector<Json> notifications = {
      {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}},
      {{"jsonrpc", "2.0"}, {"method", "notifications/unknown"}, {"params", {{"x", 1}}}},
      {{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", "not an object"}},
      {{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 99}}}},
      {{"jsonrpc", "2.0"}, {"method", "ping"}},
      {{"jsonrpc", "2.0"}, {"method", "tools/list"}, {"params", 3}},
      {{"jsonrpc", "2.0"},
       {"method", "tools/call"},
       {"params", {{"name", "list_windows"}, {"arguments", Json::object()}}}},
  };
  for (const auto& notification : notifications) send(notification);
  initialize();
  for (const auto& notification : notifications) send(notification);
  EXPECT_TRUE(channel_.messages().empty());
  EXPECT_TRUE(runner_.calls.empty());
}

TEST_F(McpServerTest, RequestsBeforeInitializeAreRefusedButPingIsAnswered) {
  send(request(1, "tools/list"));
  expectError(onlyReply(), 1, rpc_codes::invalidRequest);
  send(toolCall(2, "list_windows"));
  expectError(onlyReply(), 2, rpc_codes::invalidRequest);
  EXPECT_TRUE(runner_.calls.empty());
  send(request(3, "ping"));
  EXPECT_EQ(onlyReply()["result"], Json::object());
  initialize();
  send(request(4, "tools/list"));
  EXPECT_TRUE(onlyReply()["result"]["tools"].is_array());
}

TEST_F(McpServerTest, InitializeAnswersTheAskedRevisionOrTheNewest) {
  const std::vector<std::pair<std::string, std::string>> cases = {{"2025-06-18", "2025-06-18"},
                                                                  {"2025-03-26", "2025-03-26"},
                                                                  {"2024-11-05", "2024-11-05"},
                                                                  {"2025-11-25", "2025-06-18"},
                                                                  {"1999-01-01", "2025-06-18"}};
  for (const auto& [asked, answered] : cases) {
    RecordingChannel channel;
    HeldRunner runner;
    McpServer server(channel, runner);
    server.handleLine(initializeRequest(1, asked).dump());
    const Json reply = Json::parse(channel.messages().at(0));
    EXPECT_EQ(reply["result"]["protocolVersion"], answered) << asked;
    EXPECT_EQ(reply["result"]["serverInfo"]["name"], "kex-mcp");
    EXPECT_TRUE(reply["result"]["capabilities"].contains("tools"));
    EXPECT_TRUE(reply["result"]["instructions"].is_string());
  }
}

TEST_F(McpServerTest, InitializeWithWrongParamsIsInvalidParamsAndLeavesItUninitialized) {
  Json missingVersion = initializeRequest(1, "2025-06-18");
  missingVersion["params"].erase("protocolVersion");
  Json numericVersion = initializeRequest(2, "2025-06-18");
  numericVersion["params"]["protocolVersion"] = 20250618;
  Json noClientInfo = initializeRequest(3, "2025-06-18");
  noClientInfo["params"].erase("clientInfo");
  Json arrayParams = initializeRequest(4, "2025-06-18");
  arrayParams["params"] = Json::array({"2025-06-18"});
  send(missingVersion);
  expectError(onlyReply(), 1, rpc_codes::invalidParams);
  send(numericVersion);
  expectError(onlyReply(), 2, rpc_codes::invalidParams);
  send(noClientInfo);
  expectError(onlyReply(), 3, rpc_codes::invalidParams);
  send(arrayParams);
  expectError(onlyReply(), 4, rpc_codes::invalidParams);
  EXPECT_FALSE(server_.negotiatedVersion().has_value());
  send(request(5, "tools/list"));
  expectError(onlyReply(), 5, rpc_codes::invalidRequest);
}

TEST_F(McpServerTest, SecondInitializeIsRefused) {
  initialize();
  send(initializeRequest(9, "2024-11-05"));
  expectError(onlyReply(), 9, rpc_codes::invalidRequest);
  EXPECT_EQ(server_.negotiatedVersion(), ProtocolVersion::v2025_06_18);
}

TEST_F(McpServerTest, UnknownMethodsAreMethodNotFound) {
  initialize();
  for (const std::string method : {"resources/list", "prompts/list", "logging/setLevel", "x"}) {
    send(request(method, method));
    expectError(onlyReply(), method, rpc_codes::methodNotFound);
  }
}

TEST_F(McpServerTest, ToolListCarriesWhatTheRevisionKnows) {
  for (const std::string version : {"2024-11-05", "2025-03-26", "2025-06-18"}) {
    RecordingChannel channel;
    HeldRunner runner;
    McpServer server(channel, runner);
    server.handleLine(initializeRequest(1, version).dump());
    server.handleLine(request(2, "tools/list").dump());
    const Json tools = Json::parse(channel.messages().at(1))["result"]["tools"];
    ASSERT_EQ(tools.size(), toolCatalog().size());
    for (const auto& tool : tools) {
      EXPECT_EQ(tool["inputSchema"]["type"], "object");
      EXPECT_TRUE(tool["description"].is_string());
      EXPECT_EQ(tool.contains("annotations"), version != "2024-11-05") << version;
      EXPECT_EQ(tool.contains("title"), version == "2025-06-18") << version;
      const bool observation =
          findTool(tool["name"].get<std::string>())->kind == ToolKind::observation;
      EXPECT_EQ(tool.contains("outputSchema"), version == "2025-06-18" && observation);
      if (tool.contains("annotations")) {
        EXPECT_EQ(tool["annotations"]["readOnlyHint"], observation) << tool["name"];
      }
    }
  }
}

TEST_F(McpServerTest, CursorsAreNeverHandedOutSoAnyIsRefused) {
  initialize();
  send(request(1, "tools/list", {{"cursor", "page-2"}}));
  expectError(onlyReply(), 1, rpc_codes::invalidParams);
}

TEST_F(McpServerTest, ToolCallsWithWrongParamsAreInvalidParamsAndNeverRun) {
  initialize();
  const std::vector<Json> wrong = {
      request(1, "tools/call", Json::array()),
      request(2, "tools/call", {{"arguments", Json::object()}}),
      request(3, "tools/call", {{"name", 7}}),
      toolCall(4, "no_such_tool"),
      request(5, "tools/call", {{"name", "list_windows"}, {"arguments", "windows please"}}),
      toolCall(6, "capture_window"),
      toolCall(7, "capture_window", {{"windowId", 12}}),
      toolCall(8, "capture_window", {{"windowId", "w"}, {"maxWidth", 10}}),
      toolCall(9, "capture_window", {{"windowId", "w"}, {"maxWidth", 100.5}}),
      toolCall(10, "list_windows", {{"verbose", true}}),
      toolCall(11, "press_key", {{"captureId", "c"}, {"key", "F13"}}),
      toolCall(12, "press_key",
               {{"captureId", "c"}, {"key", "a"}, {"modifiers", {"shift", "shift"}}}),
      toolCall(13, "click", {{"captureId", ""}, {"x", 1}, {"y", 2}}),
      toolCall(14, "click", {{"captureId", "c"}, {"x", -1}, {"y", 2}}),
      toolCall(15, "type_text", {{"captureId", "c"}, {"text", std::string(1025, 'a')}}),
      toolCall(16, "scroll", {{"captureId", "c"}, {"x", 1}, {"y", 2}, {"direction", "sideways"}}),
  };
  for (const auto& message : wrong) {
    send(message);
    expectError(onlyReply(), message["id"], rpc_codes::invalidParams);
  }
  EXPECT_TRUE(runner_.calls.empty());
}

TEST_F(McpServerTest, ArgumentsThatFitTheSchemaReachTheRunner) {
  initialize();
  send(toolCall(1, "capture_window", {{"windowId", "w"}, {"maxWidth", 512.0}}));
  send(toolCall(2, "type_text", {{"captureId", "c"}, {"text", std::string(1024, 'a')}}));
  send(request(3, "tools/call", {{"name", "list_windows"}}));
  ASSERT_EQ(runner_.calls.size(), 3u);
  EXPECT_EQ(runner_.calls[0].tool, "capture_window");
  EXPECT_EQ(runner_.calls[2].arguments, Json::object());
  EXPECT_TRUE(channel_.messages().empty());
}

TEST_F(McpServerTest, ToolResultAnswersTheCallWithStructuredContentWhereTheRevisionHasIt) {
  for (const std::string version : {"2025-06-18", "2025-03-26"}) {
    RecordingChannel channel;
    HeldRunner runner;
    McpServer server(channel, runner);
    server.handleLine(initializeRequest(1, version).dump());
    server.handleLine(toolCall("call", "list_windows").dump());
    ASSERT_EQ(runner.calls.size(), 1u);
    runner.calls[0].finish(ToolResult::facts("2 windows", {{"windows", Json::array()}}));
    const Json reply = Json::parse(channel.messages().at(1));
    EXPECT_EQ(reply["id"], "call");
    EXPECT_EQ(reply["result"]["content"], Json::parse(R"([{"type":"text","text":"2 windows"}])"));
    EXPECT_FALSE(reply["result"].contains("isError"));
    EXPECT_EQ(reply["result"].contains("structuredContent"), version == "2025-06-18");
  }
}

TEST_F(McpServerTest, FailedToolIsAResultWithIsError) {
  initialize();
  send(toolCall(1, "list_windows"));
  runner_.calls.at(0).finish(ToolResult::error("The screen is locked."));
  const Json reply = onlyReply();
  EXPECT_FALSE(reply.contains("error"));
  EXPECT_EQ(reply["result"]["isError"], true);
  EXPECT_EQ(reply["result"]["content"][0]["text"], "The screen is locked.");
}

TEST_F(McpServerTest, TenMegabyteImageResultIsFramedOnOneLine) {
  initialize();
  send(toolCall(1, "capture_window", {{"windowId", "w"}}));
  std::string image(10 * 1024 * 1024, 'A');
  for (std::size_t i = 0; i < image.size(); i += 97) image[i] = "+/=9z"[i % 5];
  runner_.calls.at(0).finish(ToolResult::picture("Capture c", image, {{"captureId", "c"}}));
  const auto messages = channel_.take();
  ASSERT_EQ(messages.size(), 1u);
  // The channel ends each message with its one line feed; the message holds none.
  EXPECT_EQ(messages.front().find('\n'), std::string::npos);
  EXPECT_GT(messages.front().size(), image.size());
  const Json reply = Json::parse(messages.front());
  const Json& content = reply["result"]["content"];
  ASSERT_EQ(content.size(), 2u);
  EXPECT_EQ(content[0]["type"], "image");
  EXPECT_EQ(content[0]["mimeType"], "image/png");
  EXPECT_TRUE(content[0]["data"].get_ref<const std::string&>() == image);
  EXPECT_EQ(content[1]["text"], "Capture c");
}

TEST_F(McpServerTest, ImageTextThatIsNotBase64IsNeverSplicedIn) {
  initialize();
  send(toolCall(1, "capture_window", {{"windowId", "w"}}));
  runner_.calls.at(0).finish(ToolResult::picture("c", "AAAA\"}],\"x\":\"", Json::object()));
  expectError(onlyReply(), 1, rpc_codes::internalError);
}

TEST_F(McpServerTest, CancelledCallIsNeverAnswered) {
  initialize();
  send(toolCall(7, "list_windows"));
  send(toolCall("7", "list_windows"));
  ASSERT_EQ(runner_.calls.size(), 2u);
  send({{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 7}}}});
  EXPECT_TRUE(runner_.calls[0].control->cancelled());
  EXPECT_FALSE(runner_.calls[1].control->cancelled()) << "the string id \"7\" is another call";
  runner_.calls[0].abandon();
  runner_.calls[1].finish(ToolResult::done("listed"));
  const Json reply = onlyReply();
  EXPECT_EQ(reply["id"], "7");
  // Once answered, the id is free again and a late cancellation finds nothing.
  send({{"jsonrpc", "2.0"},
        {"method", "notifications/cancelled"},
        {"params", {{"requestId", "7"}}}});
  EXPECT_TRUE(channel_.messages().empty());
}

TEST_F(McpServerTest, IdOfACallInProgressCannotBeReused) {
  initialize();
  send(toolCall(1, "list_windows"));
  send(toolCall(1, "list_displays"));
  expectError(onlyReply(), 1, rpc_codes::invalidRequest);
  ASSERT_EQ(runner_.calls.size(), 1u);
  runner_.calls[0].finish(ToolResult::done("ok"));
  (void)channel_.take();
  send(toolCall(1, "list_displays"));
  EXPECT_EQ(runner_.calls.size(), 2u);
}

TEST_F(McpServerTest, ProgressGoesOutWithTheClientsTokenAndAMessageWhereTheRevisionHasOne) {
  for (const std::string version : {"2025-06-18", "2024-11-05"}) {
    RecordingChannel channel;
    HeldRunner runner;
    McpServer server(channel, runner);
    server.handleLine(initializeRequest(1, version).dump());
    Json call = toolCall(2, "focus_window", {{"windowId", "w"}});
    call["params"]["_meta"] = {{"progressToken", "tok"}};
    server.handleLine(call.dump());
    server.handleLine(toolCall(3, "focus_window", {{"windowId", "w"}}).dump());
    runner.calls.at(0).progress("waiting for the person");
    runner.calls.at(0).progress("still waiting");
    runner.calls.at(1).progress("nobody asked for this");
    const auto messages = channel.messages();
    ASSERT_EQ(messages.size(), 3u) << version;
    const Json first = Json::parse(messages[1]);
    const Json second = Json::parse(messages[2]);
    EXPECT_EQ(first["method"], "notifications/progress");
    EXPECT_FALSE(first.contains("id"));
    EXPECT_EQ(first["params"]["progressToken"], "tok");
    EXPECT_LT(first["params"]["progress"].get<int>(), second["params"]["progress"].get<int>());
    EXPECT_EQ(first["params"].contains("message"), version == "2025-06-18");
  }
}

TEST_F(McpServerTest, BatchIsAnsweredAsOneArrayUnder20250326) {
  initialize("2025-03-26");
  send(Json::array({request(1, "ping"),
                    {{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}},
                    request(2, "tools/list"),
                    request(3, "no/such"),
                    Json(5)}));
  const Json reply = onlyReply();
  ASSERT_TRUE(reply.is_array());
  ASSERT_EQ(reply.size(), 4u);
  EXPECT_EQ(reply[0]["id"], 1);
  EXPECT_EQ(reply[1]["id"], 2);
  EXPECT_EQ(reply[2]["error"]["code"], rpc_codes::methodNotFound);
  EXPECT_EQ(reply[3]["error"]["code"], rpc_codes::invalidRequest);
}

TEST_F(McpServerTest, BatchWaitsForItsToolCallsAndLeavesCancelledOnesOut) {
  initialize("2025-03-26");
  send(
      Json::array({toolCall(1, "list_windows"), request(2, "ping"), toolCall(3, "list_displays")}));
  EXPECT_TRUE(channel_.messages().empty()) << "sent before its calls were done";
  ASSERT_EQ(runner_.calls.size(), 2u);
  runner_.calls[0].finish(ToolResult::done("windows"));
  EXPECT_TRUE(channel_.messages().empty());
  send({{"jsonrpc", "2.0"}, {"method", "notifications/cancelled"}, {"params", {{"requestId", 3}}}});
  runner_.calls[1].abandon();
  const Json reply = onlyReply();
  ASSERT_TRUE(reply.is_array());
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0]["id"], 2);
  EXPECT_EQ(reply[1]["id"], 1);
}

TEST_F(McpServerTest, BatchOfNotificationsOnlyGetsNoAnswer) {
  initialize("2025-03-26");
  send(Json::array({{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}},
                    {{"jsonrpc", "2.0"}, {"method", "notifications/other"}}}));
  EXPECT_TRUE(channel_.messages().empty());
  send(Json::array());
  expectError(onlyReply(), nullptr, rpc_codes::invalidRequest);
}

TEST_F(McpServerTest, BatchIsRefusedWhereTheRevisionHasNone) {
  for (const std::string version : {"2025-06-18", "2024-11-05"}) {
    RecordingChannel channel;
    HeldRunner runner;
    McpServer server(channel, runner);
    server.handleLine(initializeRequest(1, version).dump());
    server.handleLine(Json::array({request(2, "ping"), toolCall(3, "list_windows")}).dump());
    const Json reply = Json::parse(channel.messages().at(1));
    ASSERT_TRUE(reply.is_object()) << version;
    EXPECT_EQ(reply["id"], nullptr);
    EXPECT_EQ(reply["error"]["code"], rpc_codes::invalidRequest);
    EXPECT_TRUE(runner.calls.empty());
  }
}

TEST_F(McpServerTest, InitializeInsideABatchIsRefused) {
  send(Json::array({initializeRequest(1, "2025-03-26")}));
  expectError(onlyReply(), nullptr, rpc_codes::invalidRequest);
  EXPECT_FALSE(server_.negotiatedVersion().has_value());
}

}  // namespace
}  // namespace kex::mcp::test
