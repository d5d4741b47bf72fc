#include "main/host/json_io.h"

#include <stdexcept>

namespace kex {
namespace {

std::string compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

Json parseRequestLine(std::string_view text) {
  auto value = Json::parse(text.begin(), text.end());
  if (!value.is_object() && !value.is_array()) {
    throw std::invalid_argument("request line is a bare JSON scalar");
  }
  return value;
}

std::string successLine(const std::string& id, const Json& result) {
  Json response = Json::object();
  response["id"] = id;
  response["ok"] = true;
  response["result"] = result;
  auto line = compact(response);
  line += '\n';
  return line;
}

std::string failureLine(std::string_view id, std::string_view code, bool dispatched) {
  std::string line = "{\"id\":";
  line += compact(Json(std::string(id)));
  line += ",\"ok\":false,\"error\":";
  line += compact(Json(std::string(code)));
  line += ",\"dispatched\":";
  line += dispatched ? "true" : "false";
  line += "}\n";
  return line;
}

}  // namespace kex
