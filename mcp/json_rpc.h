// JSON-RPC 2.0 as the Model Context Protocol uses it over stdio: one message per line, requests
// with a string or integer id, notifications without one, and the standard error codes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kex::mcp {

using Json = nlohmann::json;

namespace rpc_codes {
inline constexpr int parseError = -32700;
inline constexpr int invalidRequest = -32600;
inline constexpr int methodNotFound = -32601;
inline constexpr int invalidParams = -32602;
inline constexpr int internalError = -32603;
}  // namespace rpc_codes

enum class MessageKind {
  request,       // method and id: answered exactly once
  notification,  // method without id: never answered
  response,      // result or error for a request of ours: we send none, so these are dropped
  invalid,       // answered with an error carrying `id` (null when the id itself is unusable)
};

// One JSON-RPC message, sorted out.
struct Message {
  MessageKind kind = MessageKind::invalid;
  Json id;  // requests: a string or an integer; invalid messages: the id to answer with
  std::string method;
  Json params;          // an object, or null when the message had none
  std::string problem;  // invalid messages: what is wrong, for the error message
};

// True for the ids MCP allows: a string, or an integer that fits 64 bits.
[[nodiscard]] bool isRequestId(const Json& id);

// Sorts out one parsed message (an element of a batch, or a whole line). Any thread.
[[nodiscard]] Message classify(const Json& value);

// Compact serialisation that never throws: invalid UTF-8 is replaced.
[[nodiscard]] std::string compact(const Json& value);

// Serialised messages, without the line feed.
[[nodiscard]] std::string resultMessage(const Json& id, const Json& result);
[[nodiscard]] std::string errorMessage(const Json& id, int code, std::string_view message);
[[nodiscard]] std::string notificationMessage(std::string_view method, const Json& params);

}  // namespace kex::mcp
