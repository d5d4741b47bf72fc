#include "mcp/helper_reply.h"

#include <cstring>
#include <string_view>

#include "mcp/tool_result.h"

namespace kex::mcp {
namespace {

constexpr std::string_view kImageKey = R"("image":")";

// In compact JSON this text can only begin the member "image" with a string value: inside a
// string every quote is escaped. Cuts the value out of the line (leaving an empty string) and
// returns it, when it is plain base64; otherwise leaves the line alone.
std::string cutImage(std::string& line) {
  const auto key = line.find(kImageKey);
  if (key == std::string::npos) return {};
  const std::size_t start = key + kImageKey.size();
  const auto end = line.find('"', start);
  if (end == std::string::npos) return {};
  const std::string_view value(line.data() + start, end - start);
  if (!isBase64Text(value)) return {};
  std::string image(value);
  line.erase(start, end - start);
  return image;
}

}  // namespace

std::optional<HelperReply> parseHelperReply(std::string line) {
  HelperReply reply;
  reply.image = cutImage(line);
  const Json value = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!value.is_object()) return std::nullopt;
  const auto id = value.find("id");
  const auto ok = value.find("ok");
  if (id == value.end() || !id->is_string() || ok == value.end() || !ok->is_boolean()) {
    return std::nullopt;
  }
  reply.id = id->get<std::string>();
  reply.ok = ok->get<bool>();
  if (reply.ok) {
    const auto result = value.find("result");
    if (result == value.end() || !result->is_object()) return std::nullopt;
    reply.result = *result;
    // The cut-out text must have been the result's own image, or the line is not what it seemed.
    if (!reply.image.empty() && reply.result.value("image", Json()) != "") return std::nullopt;
    // An image the quick cut left alone (escaped characters, say) is taken the slow way.
    const auto image = reply.result.find("image");
    if (reply.image.empty() && image != reply.result.end() && image->is_string()) {
      reply.image = image->get<std::string>();
      *image = "";
    }
    return reply;
  }
  const auto error = value.find("error");
  if (error == value.end() || !error->is_string()) return std::nullopt;
  reply.code = error->get<std::string>();
  reply.dispatched = value.value("dispatched", true);
  reply.image.clear();
  return reply;
}

}  // namespace kex::mcp
