#include "mcp/failure_sentences.h"

#include <array>
#include <utility>

namespace kex::mcp {
namespace {

using Entry = std::pair<std::string_view, std::string_view>;

constexpr std::array<Entry, 21> kSentences{{
    {"invalid_arguments",
     "kex-computer refused the arguments of this call (a pixel outside the capture image, a key "
     "or modifier it does not know, or too much text, for example): correct them and try again."},
    {"native_operation_failed",
     "The desktop failed while doing this (the X server or the accessibility service reported "
     "an error): try once more, and if it fails again list the windows and start over."},
    {"cancelled",
     "kex-computer was told to stop control and did so; a fresh helper starts with the next "
     "call, and the person will be asked to approve control again before any input."},
    {"capability_unavailable",
     "This kex-computer cannot do this here: its status reports that control is not ready on "
     "this desktop. Observation (listing, capturing, reading accessibility trees) still works; "
     "tell the person that input is unavailable."},
    {"topology_changed",
     "The screen layout changed (a display was added, removed, resized or rotated), so every "
     "window, display and capture id from before is void: call list_windows or list_displays "
     "again and capture again before acting."},
    {"session_locked",
     "The screen is locked, so nothing can be seen or done: ask the person to unlock it, then "
     "list the windows again."},
    {"session_unavailable",
     "There is no usable desktop session for this user right now (no display, another user's "
     "session, or one that is not on this machine's screen): tell the person that kex cannot "
     "reach their desktop."},
    {"permission_required",
     "kex-computer lacks a permission this needs (screen capture, the accessibility bus, or "
     "synthetic input): tell the person what you tried; they may need to turn on accessibility "
     "support in their desktop."},
    {"target_stale", ""},  // depends on the subject, see staleSentence()
    {"protected_target",
     "This window, control or display is protected: kex never captures or operates password "
     "fields, authentication dialogs, disabled controls, windows with a dialog attached, or the "
     "assistant's own windows. Do not retry; ask the person to do this step themselves."},
    {"focus_changed",
     "The window is not the focused, frontmost window (or the keyboard focus moved), so the "
     "input was not sent: call focus_window for it, capture it again, then retry."},
    {"target_occluded",
     "Something else lies on top of that point (another window, a menu or a popup), so the "
     "pointer input was not sent: capture again to see what covers it, and close it or pick a "
     "visible point."},
    {"input_blocked",
     "The desktop refused this input step (the event could not be made, or the accessibility "
     "action failed): capture again to check the state, then try another way, such as a click "
     "instead of press_element."},
    {"backend_unsupported",
     "This desktop cannot be captured by kex: listing windows and reading accessibility trees "
     "may still work, but there are no screenshots here."},
    {"capture_too_large",
     "The capture would be too large (taller than 4096 pixels, or a PNG over 16 MiB): ask for "
     "it again with a smaller maxWidth."},
    {"capture_protected",
     "The window's picture came back blank (it is minimised, hidden, or shows protected "
     "content), so no image was returned: focus the window first, or read its accessibility "
     "tree instead."},
    {"controller_busy",
     "Another program is controlling this desktop through kex right now: wait until it has "
     "finished, then try again."},
    {"input_watchdog_lost",
     "kex stopped control because the safety helper that releases held keys and buttons "
     "stopped answering. A fresh helper starts with the next call, and the person will be asked "
     "to approve control again; every id from before is void, so list and capture again."},
    {"input_monitor_unavailable",
     "kex could not start watching for the person's own keyboard and mouse, which it must do "
     "before any input, so control is off. Observation still works; tell the person that "
     "control is unavailable on this desktop."},
    {"input_monitor_lost",
     "kex lost its watch over the person's keyboard and mouse and stopped control for safety. "
     "A fresh helper starts with the next call, and the person will be asked to approve control "
     "again; every id from before is void, so list and capture again."},
    {"human_interrupted",
     "The person at the computer used the keyboard or mouse, so kex stopped control at once: "
     "they come first. Stop and ask them whether to go on. The next input call asks for their "
     "approval again, and every id from before is void, so list windows and capture again."},
}};

std::string staleSentence(Subject subject) {
  switch (subject) {
    case Subject::window:
      return "That windowId is no longer valid: the window moved, resized, closed or changed, "
             "its application restarted, or the windows were listed again since. Call "
             "list_windows and use the new windowId.";
    case Subject::display:
      return "That displayId is no longer valid: the displays changed or were listed again "
             "since. Call list_displays and use the new displayId.";
    case Subject::capture:
      return "That captureId can no longer drive input: captures expire 30 seconds after they "
             "are taken, and any capture becomes void when its window moves, resizes or "
             "changes, or when the windows are listed again. Capture the window again "
             "(list_windows first if the window id is stale too) and use the new captureId.";
    case Subject::element:
      return "That elementId is no longer valid: the window changed, or its tree or the "
             "windows were read again since. Read the accessibility tree again and use the new "
             "elementId.";
    case Subject::none:
      break;
  }
  return "An id in this call is no longer valid: list the windows and capture again.";
}

}  // namespace

std::string sentenceFor(std::string_view code, Subject subject) {
  if (code == "target_stale") return staleSentence(subject);
  for (const auto& [known, sentence] : kSentences) {
    if (known == code) return std::string(sentence);
  }
  return "kex-computer refused this with \"" + std::string(code) +
         "\", which this server does not know: capture again to check the state before trying "
         "anything else.";
}

const std::vector<std::string_view>& helperFailureCodes() {
  static const std::vector<std::string_view> codes = [] {
    std::vector<std::string_view> all;
    for (const auto& entry : kSentences) all.push_back(entry.first);
    return all;
  }();
  return codes;
}

bool stopsControl(std::string_view code) {
  return code == "cancelled" || code == "human_interrupted" || code == "input_monitor_lost" ||
         code == "input_monitor_unavailable" || code == "input_watchdog_lost";
}

}  // namespace kex::mcp
