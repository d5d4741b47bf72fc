// One tool as the catalogue describes it.
#pragma once

#include <optional>
#include <string>

#include "mcp/json_rpc.h"

namespace kex::mcp {

// Input tools change the desktop and need the person's approval; observation tools only look.
enum class ToolKind { observation, input };

struct ToolHints {
  bool destructive = false;
  bool idempotent = false;
};

struct ToolDefinition {
  std::string name;
  std::string title;
  ToolKind kind;
  std::string description;
  Json inputSchema;
  std::optional<Json> outputSchema;
  ToolHints hints;
};

}  // namespace kex::mcp
