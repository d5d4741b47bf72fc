#include "mcp/mcp_server.h"

#include <atomic>
#include <utility>

#include "mcp/argument_check.h"
#include "mcp/pending_reply.h"
#include "mcp/tool_catalog.h"

namespace kex::mcp {
namespace {

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

void refuse(const std::shared_ptr<PendingReply>& reply, const Json& id, int code,
            std::string_view message) {
  reply->add(errorMessage(id, code, message));
}

}  // namespace

McpServer::McpServer(OutputChannel& output, ToolRunner& runner)
    : output_(output), runner_(runner) {}

void McpServer::handleLine(std::string_view line) {
  // Blank lines carry no message; answering them would only confuse a client.
  if (isBlank(line)) return;
  Json value = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    output_.send(errorMessage(nullptr, rpc_codes::parseError, "Parse error: the line is not JSON"));
    return;
  }
  if (value.is_array()) {
    handleBatch(value);
    return;
  }
  handleMessage(value, std::make_shared<PendingReply>(output_, ReplyShape::single));
}

void McpServer::handleBatch(const Json& batch) {
  if (!version_) {
    output_.send(errorMessage(nullptr, rpc_codes::invalidRequest,
                              "Invalid Request: initialize must come alone, not in a batch"));
    return;
  }
  if (!acceptsBatches(*version_)) {
    output_.send(errorMessage(nullptr, rpc_codes::invalidRequest,
                              "Invalid Request: MCP " + std::string(versionText(*version_)) +
                                  " has no JSON-RPC batches; send one message per line"));
    return;
  }
  if (batch.empty()) {
    output_.send(errorMessage(nullptr, rpc_codes::invalidRequest, "Invalid Request: empty batch"));
    return;
  }
  auto reply = std::make_shared<PendingReply>(output_, ReplyShape::batch);
  // Held while the elements are read, so calls that finish meanwhile cannot send it early.
  reply->hold();
  for (const auto& element : batch) handleMessage(element, reply);
  reply->release();
}

void McpServer::handleMessage(const Json& value, const std::shared_ptr<PendingReply>& reply) {
  const Message message = classify(value);
  switch (message.kind) {
    case MessageKind::invalid:
      refuse(reply, message.id, rpc_codes::invalidRequest, "Invalid Request: " + message.problem);
      return;
    case MessageKind::response:
      return;
    case MessageKind::notification:
      handleNotification(message);
      return;
    case MessageKind::request:
      handleRequest(message, reply);
      return;
  }
}

void McpServer::handleRequest(const Message& message, const std::shared_ptr<PendingReply>& reply) {
  if (!message.params.is_null() && !message.params.is_object()) {
    refuse(reply, message.id, rpc_codes::invalidParams, "Invalid params: params must be an object");
    return;
  }
  if (message.method == "initialize") {
    initialize(message, reply);
    return;
  }
  if (message.method == "ping") {
    reply->add(resultMessage(message.id, Json::object()));
    return;
  }
  if (!version_) {
    refuse(reply, message.id, rpc_codes::invalidRequest,
           "Invalid Request: the session is not initialized; send initialize first");
    return;
  }
  if (message.method == "tools/list") {
    // Every tool fits one page, so no cursor is ever handed out.
    if (message.params.is_object() && message.params.contains("cursor")) {
      refuse(reply, message.id, rpc_codes::invalidParams, "Invalid params: unknown cursor");
      return;
    }
    reply->add(resultMessage(message.id, {{"tools", toolListing(*version_)}}));
    return;
  }
  if (message.method == "tools/call") {
    callTool(message, reply);
    return;
  }
  refuse(reply, message.id, rpc_codes::methodNotFound, "Method not found: " + message.method);
}

void McpServer::initialize(const Message& message, const std::shared_ptr<PendingReply>& reply) {
  if (version_) {
    refuse(reply, message.id, rpc_codes::invalidRequest,
           "Invalid Request: the session is initialized already");
    return;
  }
  const Json params = message.params.is_object() ? message.params : Json::object();
  const auto requested = params.find("protocolVersion");
  if (requested == params.end() || !requested->is_string()) {
    refuse(reply, message.id, rpc_codes::invalidParams,
           "Invalid params: initialize needs the protocolVersion as a string");
    return;
  }
  for (const char* key : {"capabilities", "clientInfo"}) {
    const auto field = params.find(key);
    if (field == params.end() || !field->is_object()) {
      refuse(reply, message.id, rpc_codes::invalidParams,
             std::string("Invalid params: initialize needs ") + key + " as an object");
      return;
    }
  }
  const ProtocolVersion version = negotiate(requested->get<std::string>());
  version_ = version;
  Json serverInfo = {{"name", kServerName}, {"version", kServerVersion}};
  if (hasStructuredResults(version)) serverInfo["title"] = "kex desktop control";
  const Json result = {
      {"protocolVersion", versionText(version)},
      {"capabilities", {{"tools", {{"listChanged", false}}}}},
      {"serverInfo", serverInfo},
      {"instructions", serverInstructions()},
  };
  reply->add(resultMessage(message.id, result));
}

void McpServer::handleNotification(const Message& message) {
  if (message.method != "notifications/cancelled" || !message.params.is_object()) return;
  const auto requestId = message.params.find("requestId");
  if (requestId == message.params.end() || !isRequestId(*requestId)) return;
  std::shared_ptr<CallControl> control;
  {
    threads::Lock lock(callsMutex_);
    const auto call = calls_.find(compact(*requestId));
    if (call == calls_.end()) return;
    control = call->second;
  }
  control->cancel();
}

std::function<void(const std::string&)> McpServer::progressReporter(const Json& params) {
  const auto meta = params.find("_meta");
  if (meta == params.end() || !meta->is_object()) return [](const std::string&) {};
  const auto token = meta->find("progressToken");
  if (token == meta->end() || !isRequestId(*token)) return [](const std::string&) {};
  const bool withMessage = hasProgressMessages(*version_);
  auto count = std::make_shared<std::atomic<int>>(0);
  return [this, token = *token, withMessage, count](const std::string& text) {
    Json progress = {{"progressToken", token}, {"progress", ++*count}};
    if (withMessage) progress["message"] = text;
    output_.send(notificationMessage("notifications/progress", progress));
  };
}

void McpServer::callTool(const Message& message, const std::shared_ptr<PendingReply>& reply) {
  const Json params = message.params.is_object() ? message.params : Json::object();
  const auto name = params.find("name");
  if (name == params.end() || !name->is_string()) {
    refuse(reply, message.id, rpc_codes::invalidParams,
           "Invalid params: tools/call needs the tool's name as a string");
    return;
  }
  const ToolDefinition* tool = findTool(name->get<std::string>());
  if (!tool) {
    refuse(reply, message.id, rpc_codes::invalidParams,
           "Unknown tool: " + name->get<std::string>() + " (tools/list names them all)");
    return;
  }
  const Json arguments = params.value("arguments", Json::object());
  if (auto problem = argumentProblem(tool->inputSchema, arguments)) {
    refuse(reply, message.id, rpc_codes::invalidParams,
           "Invalid arguments for " + tool->name + ": " + *problem);
    return;
  }
  ToolCall call;
  call.id = message.id;
  call.tool = tool->name;
  call.arguments = arguments;
  const std::string key = compact(message.id);
  if (!registerCall(key, call.control)) {
    refuse(reply, message.id, rpc_codes::invalidRequest,
           "Invalid Request: a call with this id is still in progress");
    return;
  }
  call.progress = progressReporter(params);
  const ProtocolVersion version = *version_;
  reply->hold();
  call.finish = [this, reply, key, id = message.id, version](const ToolResult& result) {
    forgetCall(key);
    reply->add(toolResultMessage(id, result, version));
    reply->release();
  };
  call.abandon = [this, reply, key] {
    forgetCall(key);
    reply->release();
  };
  runner_.submit(std::move(call));
}

bool McpServer::registerCall(const std::string& key, std::shared_ptr<CallControl> control) {
  threads::Lock lock(callsMutex_);
  return calls_.emplace(key, std::move(control)).second;
}

void McpServer::forgetCall(const std::string& key) {
  threads::Lock lock(callsMutex_);
  calls_.erase(key);
}

}  // namespace kex::mcp
