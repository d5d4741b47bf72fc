#include "mcp/protocol_version.h"

namespace kex::mcp {
namespace {

struct Named {
  ProtocolVersion version;
  std::string_view text;
};

constexpr std::array<Named, 3> kVersions{{
    {ProtocolVersion::v2024_11_05, "2024-11-05"},
    {ProtocolVersion::v2025_03_26, "2025-03-26"},
    {ProtocolVersion::v2025_06_18, "2025-06-18"},
}};

}  // namespace

std::string_view versionText(ProtocolVersion version) {
  for (const auto& named : kVersions) {
    if (named.version == version) return named.text;
  }
  return "";
}

std::optional<ProtocolVersion> parseVersion(std::string_view text) {
  for (const auto& named : kVersions) {
    if (named.text == text) return named.version;
  }
  return std::nullopt;
}

ProtocolVersion negotiate(std::string_view requested) {
  return parseVersion(requested).value_or(kLatestVersion);
}

bool acceptsBatches(ProtocolVersion version) { return version == ProtocolVersion::v2025_03_26; }

bool hasToolAnnotations(ProtocolVersion version) { return version != ProtocolVersion::v2024_11_05; }

bool hasProgressMessages(ProtocolVersion version) {
  return version != ProtocolVersion::v2024_11_05;
}

bool hasStructuredResults(ProtocolVersion version) {
  return version == ProtocolVersion::v2025_06_18;
}

}  // namespace kex::mcp
