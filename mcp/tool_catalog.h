// The tools kex-mcp offers: names, descriptions written for a model that has never seen kex,
// input and output schemas, and honest behaviour hints.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/json_rpc.h"
#include "mcp/protocol_version.h"
#include "mcp/tool_definition.h"

namespace kex::mcp {

// Every tool, in the order tools/list gives them. Any thread.
[[nodiscard]] const std::vector<ToolDefinition>& toolCatalog();
// Nothing for a name that is not a tool.
[[nodiscard]] const ToolDefinition* findTool(std::string_view name);
// The "tools" array of a tools/list result, with the fields the revision knows.
[[nodiscard]] Json toolListing(ProtocolVersion version);

// What the server tells the model about using the tools, sent with `initialize`.
[[nodiscard]] std::string_view serverInstructions();

// Tool names, for the executor.
namespace tools {
inline constexpr std::string_view listDisplays = "list_displays";
inline constexpr std::string_view listWindows = "list_windows";
inline constexpr std::string_view captureDisplay = "capture_display";
inline constexpr std::string_view captureWindow = "capture_window";
inline constexpr std::string_view accessibilityTree = "get_accessibility_tree";
inline constexpr std::string_view focusWindow = "focus_window";
inline constexpr std::string_view pressElement = "press_element";
inline constexpr std::string_view focusElement = "focus_element";
inline constexpr std::string_view click = "click";
inline constexpr std::string_view doubleClick = "double_click";
inline constexpr std::string_view movePointer = "move_pointer";
inline constexpr std::string_view scroll = "scroll";
inline constexpr std::string_view drag = "drag";
inline constexpr std::string_view typeText = "type_text";
inline constexpr std::string_view pressKey = "press_key";
}  // namespace tools

// The limits the tools state and check.
inline constexpr int kMinCaptureWidth = 64;
inline constexpr int kMaxCaptureWidth = 2048;
inline constexpr int kDefaultCaptureWidth = 1024;
inline constexpr int kMaxTreeElements = 256;
inline constexpr int kDefaultTreeElements = 100;
inline constexpr int kMaxTextUnits = 1024;  // UTF-16 code units
inline constexpr int kMaxScrollLines = 50;
inline constexpr int kDefaultScrollLines = 3;

}  // namespace kex::mcp
