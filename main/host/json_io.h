// The wire form of requests and responses.
#pragma once

#include <string>
#include <string_view>

#include "main/common/json.h"

namespace kex {

inline constexpr std::string_view kProtocol = "kex.computer.helper/v1";

// Parses one request line. Only an object or an array is accepted at the top level; text that
// is not JSON, an empty line or a bare scalar throws an error that is not a Failure.
[[nodiscard]] Json parseRequestLine(std::string_view text);

// The success response line, compact, keys sorted at every depth, ending in a line feed.
[[nodiscard]] std::string successLine(const std::string& id, const Json& result);

// The failure response line, ending in a line feed.
[[nodiscard]] std::string failureLine(std::string_view id, std::string_view code, bool dispatched);

}  // namespace kex
