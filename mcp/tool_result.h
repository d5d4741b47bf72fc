// What a tool call answers: a text for the model, optionally a PNG before it and a structured
// copy of the facts, or an error the model can act on.
#pragma once

#include <optional>
#include <string>

#include "mcp/json_rpc.h"
#include "mcp/protocol_version.h"

namespace kex::mcp {

struct ToolResult {
  std::string text;
  // Standard base64 of a PNG, shown before the text. It is spliced into the message as it is,
  // never parsed or copied into a JSON value, since captures can run to megabytes.
  std::optional<std::string> pngBase64;
  // Sent as "structuredContent" where the protocol revision has it.
  std::optional<Json> structured;
  bool isError = false;

  // A failure the model can act on.
  [[nodiscard]] static ToolResult error(std::string text) {
    ToolResult result;
    result.text = std::move(text);
    result.isError = true;
    return result;
  }
  // A success told in words alone.
  [[nodiscard]] static ToolResult done(std::string text) {
    ToolResult result;
    result.text = std::move(text);
    return result;
  }
  // A success with its facts also in structured form.
  [[nodiscard]] static ToolResult facts(std::string text, Json structured) {
    ToolResult result = done(std::move(text));
    result.structured = std::move(structured);
    return result;
  }
  // A capture: the PNG, the words and the facts.
  [[nodiscard]] static ToolResult picture(std::string text, std::string pngBase64,
                                          Json structured) {
    ToolResult result = facts(std::move(text), std::move(structured));
    result.pngBase64 = std::move(pngBase64);
    return result;
  }
};

// The whole response message for a tools/call request, without the line feed. Any thread.
[[nodiscard]] std::string toolResultMessage(const Json& id, const ToolResult& result,
                                            ProtocolVersion version);

// True when every character is one of standard base64's, so the text can stand in a JSON
// string without escaping.
[[nodiscard]] bool isBase64Text(std::string_view text);

}  // namespace kex::mcp
