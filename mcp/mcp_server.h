// The protocol side of kex-mcp: the MCP lifecycle, version negotiation, ping, the tool list,
// and tool calls handed to a runner; every protocol error answered as JSON-RPC says.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/json_rpc.h"
#include "mcp/output_channel.h"
#include "mcp/protocol_version.h"
#include "mcp/tool_call.h"
#include "threads/mutex.h"

namespace kex::mcp {

class PendingReply;

inline constexpr std::string_view kServerName = "kex-mcp";
inline constexpr std::string_view kServerVersion = "0.1.0";

// Lines come in on the reader thread; tool results come back from the runner's worker thread.
// The negotiated revision is the reader thread's own; `callsMutex_` guards the calls in progress.
// The server must outlive the runner's last callback.
class McpServer {
 public:
  McpServer(OutputChannel& output, ToolRunner& runner);

  // One line of standard input, without its line feed. Reader thread.
  void handleLine(std::string_view line);

  [[nodiscard]] std::optional<ProtocolVersion> negotiatedVersion() const { return version_; }

 private:
  void handleBatch(const Json& batch);
  void handleMessage(const Json& value, const std::shared_ptr<PendingReply>& reply);
  void handleRequest(const Message& message, const std::shared_ptr<PendingReply>& reply);
  void handleNotification(const Message& message);
  void initialize(const Message& message, const std::shared_ptr<PendingReply>& reply);
  void callTool(const Message& message, const std::shared_ptr<PendingReply>& reply);
  [[nodiscard]] std::function<void(const std::string&)> progressReporter(const Json& params);
  // False when a call with that id is still in progress.
  bool registerCall(const std::string& key, std::shared_ptr<CallControl> control);
  void forgetCall(const std::string& key);

  OutputChannel& output_;
  ToolRunner& runner_;
  std::optional<ProtocolVersion> version_;
  threads::Mutex callsMutex_;
  std::map<std::string, std::shared_ptr<CallControl>> calls_ GUARDED_BY(callsMutex_);
};

}  // namespace kex::mcp
