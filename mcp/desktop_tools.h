// The tools themselves: each one becomes kex-computer operations, with the ids checked first,
// the person asked before the first input of each kex-computer child, and every refusal told
// to the model as what happened and what to do next.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/computer_link.h"
#include "mcp/consent.h"
#include "mcp/failure_sentences.h"
#include "mcp/observations.h"
#include "mcp/tool_call.h"
#include "mcp/tool_catalog.h"

namespace kex::mcp {

// Whether input needs the person's approval. Only a private desktop, which kex-mcp brought up
// itself and nobody sits at, goes without.
enum class ApprovalPolicy { askThePerson, privateDesktop };

// How long a capture may drive input, and how old a node may get before the tree is read again
// (kex-computer refuses nodes after five seconds; the margin covers the way there).
inline constexpr auto kCaptureLifetime = std::chrono::seconds(30);
inline constexpr auto kNodeFreshness = std::chrono::seconds(4);

// Worker thread only.
class DesktopTools : public ToolExecutor {
 public:
  using Clock = std::function<Moment()>;

  DesktopTools(
      ComputerLink& computer, Consent& consent, ApprovalPolicy policy,
      Clock now = [] { return std::chrono::steady_clock::now(); });

  [[nodiscard]] ToolResult execute(const ToolCall& call) override;

 private:
  enum class Retry { never, onTopologyChange };
  enum class Action { press, focus };

  ToolResult run(const ToolCall& call);
  ToolResult listWindows();
  ToolResult listDisplays();
  ToolResult captureWindow(const Json& args);
  ToolResult captureDisplay(const Json& args);
  ToolResult readTree(const Json& args);
  ToolResult focusWindow(const ToolCall& call);
  ToolResult elementAction(const ToolCall& call, Action action);
  ToolResult pointer(const ToolCall& call);
  ToolResult typeText(const ToolCall& call);
  ToolResult pressKey(const ToolCall& call);

  // An observation, with the kept status refreshed (and a listing repeated once) when
  // kex-computer says the topology changed.
  HelperReply observe(std::string_view operation, const Json& args, Retry retry);
  // Refuses, without sending anything, a capture id that is certainly void or a point outside
  // its image.
  std::optional<ToolResult> checkCapture(const std::string& captureId) const;
  std::optional<ToolResult> checkWindow(const std::string& windowId) const;
  // Nothing when input may go ahead; otherwise the answer that it may not.
  std::optional<ToolResult> ensureControl(const ToolCall& call);
  // Finds the element in a fresh reading of its window when kex-computer's node for it may be
  // too old or replaced; the refusal when that fails.
  std::optional<ToolResult> freshenNode(ElementFacts& element);
  ToolResult sendInput(const ToolCall& call, std::string_view operation, Json args, Subject subject,
                       const std::string& success);
  ToolResult refused(const HelperReply& reply, Subject subject, ToolKind kind);
  [[nodiscard]] std::string windowName(const std::string& windowId) const;

  ComputerLink& computer_;
  Consent& consent_;
  ApprovalPolicy policy_;
  Clock now_;
  Observations observations_;
  std::optional<std::uint64_t> approvedGeneration_;
};

}  // namespace kex::mcp
