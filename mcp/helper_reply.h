// One response line of kex-computer, read without ever building a JSON value of a capture's
// image: the PNG's base64 text is cut out of the line and kept as it is.
#pragma once

#include <optional>
#include <string>

#include "mcp/json_rpc.h"

namespace kex::mcp {

struct HelperReply {
  std::string id;
  bool ok = false;
  Json result;        // ok: the result object, with "image" emptied when it was cut out
  std::string image;  // the base64 PNG of a capture; empty otherwise
  std::string code;   // not ok: the failure code
  bool dispatched = true;
};

// Nothing when the line is not a response of kex-computer's protocol. Any thread.
[[nodiscard]] std::optional<HelperReply> parseHelperReply(std::string line);

}  // namespace kex::mcp
