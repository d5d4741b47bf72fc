// Checks tool arguments against the tool's own input schema, so that what the model is told
// and what the server accepts never drift apart.
#pragma once

#include <optional>
#include <string>

#include "mcp/json_rpc.h"

namespace kex::mcp {

// The first way the value breaks the schema, in words for the model; nothing when it fits.
// Understands the part of JSON Schema the catalogue uses: "type" (object, string, integer,
// number, boolean, array), "properties", "required", "additionalProperties": false, "enum",
// "minLength", "maxLength", "minimum", "maximum", "items", "uniqueItems". Any thread.
[[nodiscard]] std::optional<std::string> argumentProblem(const Json& schema, const Json& value,
                                                         const std::string& where = "arguments");

// The length of UTF-8 text in Unicode code points, as JSON Schema counts string lengths.
[[nodiscard]] std::size_t codePoints(std::string_view text);

}  // namespace kex::mcp
