#include "mcp/json_rpc.h"

namespace kex::mcp {
namespace {

Message invalid(Json id, std::string problem) {
  Message message;
  message.kind = MessageKind::invalid;
  message.id = std::move(id);
  message.problem = std::move(problem);
  return message;
}

// The id to answer an invalid message with: its own when that is usable, null otherwise.
Json answerableId(const Json& object) {
  const auto id = object.find("id");
  if (id != object.end() && isRequestId(*id)) return *id;
  return nullptr;
}

}  // namespace

bool isRequestId(const Json& id) {
  return id.is_string() || id.is_number_integer() || id.is_number_unsigned();
}

Message classify(const Json& value) {
  if (!value.is_object()) return invalid(nullptr, "a message must be a JSON object");
  const auto version = value.find("jsonrpc");
  if (version == value.end() || *version != "2.0") {
    return invalid(answerableId(value), "\"jsonrpc\" must be \"2.0\"");
  }
  const auto method = value.find("method");
  const auto id = value.find("id");
  if (method == value.end()) {
    const bool answer = value.contains("result") || value.contains("error");
    if (answer && id != value.end()) {
      Message response;
      response.kind = MessageKind::response;
      response.id = *id;
      return response;
    }
    return invalid(answerableId(value), "a message needs a \"method\"");
  }
  if (!method->is_string()) return invalid(answerableId(value), "\"method\" must be a string");
  if (id != value.end() && !isRequestId(*id)) {
    return invalid(nullptr, "\"id\" must be a string or an integer");
  }
  Message message;
  message.kind = id == value.end() ? MessageKind::notification : MessageKind::request;
  if (id != value.end()) message.id = *id;
  message.method = method->get<std::string>();
  const auto params = value.find("params");
  if (params != value.end()) message.params = *params;
  return message;
}

std::string compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string resultMessage(const Json& id, const Json& result) {
  return compact(Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
}

std::string errorMessage(const Json& id, int code, std::string_view message) {
  return compact(Json{{"jsonrpc", "2.0"},
                      {"id", id},
                      {"error", Json{{"code", code}, {"message", std::string(message)}}}});
}

std::string notificationMessage(std::string_view method, const Json& params) {
  return compact(Json{{"jsonrpc", "2.0"}, {"method", std::string(method)}, {"params", params}});
}

}  // namespace kex::mcp
