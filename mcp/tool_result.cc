#include "mcp/tool_result.h"

#include <string_view>

namespace kex::mcp {
namespace {

// The serialised result starts with these characters when it carries an image: objects keep
// their keys sorted, "content" is the first key of the result and "data" the first key of its
// first item.
constexpr std::string_view kImageDataOpening = R"({"content":[{"data":")";

Json resultWithoutImageData(const ToolResult& result, ProtocolVersion version) {
  Json content = Json::array();
  if (result.pngBase64) {
    content.push_back({{"type", "image"}, {"mimeType", "image/png"}, {"data", ""}});
  }
  content.push_back({{"type", "text"}, {"text", result.text}});
  Json body = {{"content", std::move(content)}};
  if (result.isError) body["isError"] = true;
  if (result.structured && hasStructuredResults(version))
    body["structuredContent"] = *result.structured;
  return body;
}

}  // namespace

bool isBase64Text(std::string_view text) {
  for (const char c : text) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '+' && c != '/' && c != '=') return false;
  }
  return true;
}

std::string toolResultMessage(const Json& id, const ToolResult& result, ProtocolVersion version) {
  std::string body = compact(resultWithoutImageData(result, version));
  if (result.pngBase64) {
    // The image producers check the alphabet; a text that could break out of the string must
    // never be spliced in.
    if (!body.starts_with(kImageDataOpening) || !isBase64Text(*result.pngBase64)) {
      return errorMessage(id, rpc_codes::internalError, "the capture could not be framed");
    }
    body.insert(kImageDataOpening.size(), *result.pngBase64);
  }
  std::string message = R"({"id":)";
  message += compact(id);
  message += R"(,"jsonrpc":"2.0","result":)";
  message += body;
  message += '}';
  return message;
}

}  // namespace kex::mcp
