// One tools/call request on its way from the protocol layer to the code that carries it out.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "mcp/call_control.h"
#include "mcp/json_rpc.h"
#include "mcp/tool_result.h"

namespace kex::mcp {

struct ToolCall {
  Json id;
  std::string tool;  // a name from the catalogue
  Json arguments;    // an object that fits the tool's input schema
  std::shared_ptr<CallControl> control = std::make_shared<CallControl>();
  // Tells the client that the call is still waiting, in a few words; does nothing when the
  // client asked for no progress reports. Worker thread.
  std::function<void(const std::string& message)> progress = [](const std::string&) {};
  // Exactly one of these ends the call: finish with the result, or abandon when it was
  // cancelled and must not be answered. Worker thread.
  std::function<void(const ToolResult&)> finish;
  std::function<void()> abandon;
};

// Carries out tool calls. Worker thread only.
class ToolExecutor {
 public:
  virtual ~ToolExecutor() = default;
  [[nodiscard]] virtual ToolResult execute(const ToolCall& call) = 0;
};

// Takes tool calls from the reader thread and runs them, one at a time, away from it.
class ToolRunner {
 public:
  virtual ~ToolRunner() = default;
  // Reader thread.
  virtual void submit(ToolCall call) = 0;
};

}  // namespace kex::mcp
