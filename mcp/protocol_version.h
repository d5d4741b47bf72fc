// The revisions of the Model Context Protocol that kex-mcp speaks, and what differs between them.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace kex::mcp {

enum class ProtocolVersion { v2024_11_05, v2025_03_26, v2025_06_18 };

inline constexpr ProtocolVersion kLatestVersion = ProtocolVersion::v2025_06_18;

[[nodiscard]] std::string_view versionText(ProtocolVersion version);
// Nothing for a revision kex-mcp does not speak.
[[nodiscard]] std::optional<ProtocolVersion> parseVersion(std::string_view text);

// The revision to answer `initialize` with: the one asked for when kex-mcp speaks it, otherwise
// the newest one (the client then decides whether it can go on).
[[nodiscard]] ProtocolVersion negotiate(std::string_view requested);

// 2025-03-26 made receiving JSON-RPC batches mandatory; 2025-06-18 took batches out again, and
// 2024-11-05 never had them.
[[nodiscard]] bool acceptsBatches(ProtocolVersion version);
// Tool annotations and the "message" of progress notifications came with 2025-03-26.
[[nodiscard]] bool hasToolAnnotations(ProtocolVersion version);
[[nodiscard]] bool hasProgressMessages(ProtocolVersion version);
// Tool titles, output schemas and structured results came with 2025-06-18.
[[nodiscard]] bool hasStructuredResults(ProtocolVersion version);

}  // namespace kex::mcp
