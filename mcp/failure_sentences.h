// What the model is told when kex-computer refuses: one sentence per failure code, saying what
// happened and what to do next.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kex::mcp {

// What the refused call named, so that "target_stale" can say which id went stale.
enum class Subject { window, display, capture, element, none };

// The sentence for a failure code of kex-computer. A code that is not in the catalogue still
// gets a sentence that names it. Any thread.
[[nodiscard]] std::string sentenceFor(std::string_view code, Subject subject);

// Every failure code kex-computer can answer, in the order of its catalogue.
[[nodiscard]] const std::vector<std::string_view>& helperFailureCodes();

// Codes after which kex-computer has stopped control for good: the child is replaced, and a new
// child needs a new approval.
[[nodiscard]] bool stopsControl(std::string_view code);

}  // namespace kex::mcp
