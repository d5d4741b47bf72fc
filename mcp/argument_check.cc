#include "mcp/argument_check.h"

#include <cmath>
#include <set>

namespace kex::mcp {
namespace {

bool isWholeNumber(const Json& value) {
  if (value.is_number_integer() || value.is_number_unsigned()) return true;
  if (!value.is_number_float()) return false;
  const double number = value.get<double>();
  return std::isfinite(number) && std::floor(number) == number;
}

bool hasType(const Json& value, std::string_view type) {
  if (type == "object") return value.is_object();
  if (type == "string") return value.is_string();
  if (type == "integer") return isWholeNumber(value);
  if (type == "number") return value.is_number();
  if (type == "boolean") return value.is_boolean();
  if (type == "array") return value.is_array();
  return false;
}

std::optional<std::string> objectProblem(const Json& schema, const Json& value,
                                         const std::string& where) {
  const Json properties = schema.value("properties", Json::object());
  for (const auto& name : schema.value("required", Json::array())) {
    if (!value.contains(name.get<std::string>())) {
      return where + " lacks the required \"" + name.get<std::string>() + "\"";
    }
  }
  const bool closed = schema.value("additionalProperties", true) == false;
  for (const auto& [name, item] : value.items()) {
    const auto property = properties.find(name);
    if (property == properties.end()) {
      if (closed) return where + " has \"" + name + "\", which this tool does not take";
      continue;
    }
    if (auto problem = argumentProblem(*property, item, "\"" + name + "\"")) return problem;
  }
  return std::nullopt;
}

std::optional<std::string> stringProblem(const Json& schema, const std::string& text,
                                         const std::string& where) {
  const std::size_t length = codePoints(text);
  if (schema.contains("minLength") && length < schema["minLength"].get<std::size_t>()) {
    return where + " must not be empty";
  }
  if (schema.contains("maxLength") && length > schema["maxLength"].get<std::size_t>()) {
    return where + " is longer than " + schema["maxLength"].dump() + " characters";
  }
  return std::nullopt;
}

std::optional<std::string> numberProblem(const Json& schema, double number,
                                         const std::string& where) {
  if (schema.contains("minimum") && number < schema["minimum"].get<double>()) {
    return where + " must be at least " + schema["minimum"].dump();
  }
  if (schema.contains("maximum") && number > schema["maximum"].get<double>()) {
    return where + " must be at most " + schema["maximum"].dump();
  }
  return std::nullopt;
}

std::optional<std::string> arrayProblem(const Json& schema, const Json& value,
                                        const std::string& where) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (schema.contains("items")) {
      const std::string item = where + "[" + std::to_string(i) + "]";
      if (auto problem = argumentProblem(schema["items"], value[i], item)) return problem;
    }
    if (schema.value("uniqueItems", false) && !seen.insert(compact(value[i])).second) {
      return where + " names " + compact(value[i]) + " twice";
    }
  }
  return std::nullopt;
}

}  // namespace

std::size_t codePoints(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    // Continuation bytes (10xxxxxx) belong to the code point before them.
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::optional<std::string> argumentProblem(const Json& schema, const Json& value,
                                           const std::string& where) {
  if (schema.contains("type")) {
    const std::string type = schema["type"].get<std::string>();
    if (!hasType(value, type)) {
      const char* article = type == "object" || type == "integer" || type == "array" ? "an" : "a";
      return where + " must be " + article + " " + type;
    }
  }
  if (schema.contains("enum")) {
    bool listed = false;
    for (const auto& allowed : schema["enum"]) listed = listed || allowed == value;
    if (!listed) return where + " must be one of " + compact(schema["enum"]);
  }
  if (value.is_object()) return objectProblem(schema, value, where);
  if (value.is_string()) return stringProblem(schema, value.get<std::string>(), where);
  if (value.is_number()) return numberProblem(schema, value.get<double>(), where);
  if (value.is_array()) return arrayProblem(schema, value, where);
  return std::nullopt;
}

}  // namespace kex::mcp
