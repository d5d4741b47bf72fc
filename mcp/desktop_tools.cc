#include "mcp/desktop_tools.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "mcp/argument_check.h"

namespace kex::mcp {
namespace {

std::string number(double value) {
  char text[32];
  if (std::nearbyint(value) == value && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.2f", value);
  }
  return text;
}

std::string quote(const std::string& text) { return "\"" + text + "\""; }

std::string count(std::size_t n, const std::string& singular, const std::string& plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// The facts as a text item too, for clients of revisions without structured results.
std::string withFacts(const std::string& sentence, const Json& facts) {
  return sentence + "\n" + compact(facts);
}

Json screenRect(const Json& rect) {
  return {{"x", rect.value("x", 0.0)},
          {"y", rect.value("y", 0.0)},
          {"width", rect.value("width", 0.0)},
          {"height", rect.value("height", 0.0)}};
}

std::size_t utf16Units(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) ++units;
    // A four-byte sequence is a code point beyond the Basic Multilingual Plane: a surrogate pair.
    if ((byte & 0xF8) == 0xF0) ++units;
  }
  return units;
}

// kex-computer's scroll amounts are wheel steps of 120: a positive deltaY turns the wheel up,
// a positive deltaX scrolls to the right.
std::pair<std::int64_t, std::int64_t> scrollDeltas(const std::string& direction,
                                                   std::int64_t lines) {
  const std::int64_t step = 120 * lines;
  if (direction == "up") return {0, step};
  if (direction == "down") return {0, -step};
  if (direction == "right") return {step, 0};
  return {-step, 0};
}

std::string helperGone(const HelperUnavailable& gone, ToolKind kind) {
  if (gone.reason == HelperUnavailable::Reason::notStarted) {
    return "kex-computer, the helper that reaches the desktop, could not be started (" +
           gone.detail +
           "), so nothing can be observed or done: tell the person to check the kex "
           "installation.";
  }
  std::string text =
      gone.reason == HelperUnavailable::Reason::silent
          ? "kex-computer, the helper that reaches the desktop, did not answer in time (" +
                gone.detail + ") and was stopped."
          : "kex-computer, the helper that reaches the desktop, stopped unexpectedly (" +
                gone.detail + ").";
  text +=
      " A new one starts with the next call; every id from before is void, so list the windows "
      "and capture again.";
  if (kind == ToolKind::input) {
    text +=
        " The input may or may not have reached the window: capture it to check before "
        "retrying.";
  }
  return text;
}

std::string controlUnavailable(const StatusFacts& facts) {
  std::string reason;
  if (facts.sessionState != "active") {
    reason = "the desktop session is " + facts.sessionState;
  } else if (!facts.inputAllowed) {
    reason =
        "kex-computer may not send input on this display (it needs the XTEST and RECORD "
        "extensions and the accessibility bus)";
  } else {
    reason =
        "kex-computer cannot watch the person's own keyboard and mouse here, which it "
        "must do before it sends any input";
  }
  return "Control is not available on this desktop right now (" + reason +
         "), so nothing was sent and the person was not asked. Observation tools still work.";
}

std::string consentRefusal(const ConsentOutcome& outcome) {
  switch (outcome.answer) {
    case ConsentAnswer::declined:
      return "The person at the computer declined to approve control, so nothing was sent. Do "
             "not try input again unless they ask you to; observation tools still work.";
    case ConsentAnswer::noPrompt:
      return "No approval prompt can be shown on this desktop (no polkit authentication agent "
             "runs in the person's session, or kex's approval action is not installed), so "
             "control stays off and nothing was sent. Observation tools still work; tell the "
             "person that control needs their desktop's authentication agent.";
    case ConsentAnswer::cancelled:
      return "The call was cancelled while the approval prompt was open; nothing was sent.";
    default:
      return "The approval prompt could not be run (" + outcome.detail +
             "), so control stays off and nothing was sent. Observation tools still work.";
  }
}

}  // namespace

DesktopTools::DesktopTools(ComputerLink& computer, Consent& consent, ApprovalPolicy policy,
                           Clock now)
    : computer_(computer), consent_(consent), policy_(policy), now_(std::move(now)) {}

ToolResult DesktopTools::execute(const ToolCall& call) {
  const ToolDefinition* tool = findTool(call.tool);
  try {
    return run(call);
  } catch (const HelperUnavailable& gone) {
    observations_.forgetAll();
    return ToolResult::error(helperGone(gone, tool ? tool->kind : ToolKind::observation));
  }
}

ToolResult DesktopTools::run(const ToolCall& call) {
  const Json& args = call.arguments;
  if (call.tool == tools::listWindows) return listWindows();
  if (call.tool == tools::listDisplays) return listDisplays();
  if (call.tool == tools::captureWindow) return captureWindow(args);
  if (call.tool == tools::captureDisplay) return captureDisplay(args);
  if (call.tool == tools::accessibilityTree) return readTree(args);
  if (call.tool == tools::focusWindow) return focusWindow(call);
  if (call.tool == tools::pressElement) return elementAction(call, Action::press);
  if (call.tool == tools::focusElement) return elementAction(call, Action::focus);
  if (call.tool == tools::typeText) return typeText(call);
  if (call.tool == tools::pressKey) return pressKey(call);
  return pointer(call);
}

// --- observation ------------------------------------------------------------------------------

HelperReply DesktopTools::observe(std::string_view operation, const Json& args, Retry retry) {
  HelperReply reply = computer_.request(operation, args);
  if (reply.ok || reply.code != "topology_changed") return reply;
  // Every id handed out under the old layout is void now; the next request must carry the new
  // revision, and a listing can simply be made again.
  observations_.forgetAll();
  (void)computer_.refreshStatus();
  if (retry == Retry::never) return reply;
  return computer_.request(operation, args);
}

ToolResult DesktopTools::refused(const HelperReply& reply, Subject subject, ToolKind kind) {
  if (stopsControl(reply.code)) {
    // kex-computer has stopped control for good: a new child takes over, with a new approval.
    computer_.replace();
    observations_.forgetAll();
  }
  std::string text = sentenceFor(reply.code, subject);
  if (kind == ToolKind::input) {
    text += reply.dispatched
                ? " Some of the input may already have reached the window: capture it to check "
                  "before retrying."
                : " Nothing was sent to the window.";
  }
  return ToolResult::error(std::move(text));
}

ToolResult DesktopTools::listWindows() {
  const HelperReply reply = observe("computer.windows", Json::object(), Retry::onTopologyChange);
  if (!reply.ok) return refused(reply, Subject::none, ToolKind::observation);
  observations_.startWindowListing();
  Json windows = Json::array();
  for (const auto& window : reply.result.value("windows", Json::array())) {
    const std::string windowId = window.value("targetId", "");
    WindowFacts facts{window.value("title", ""), window.value("application", "")};
    Json entry = screenRect(window.value("sourceRect", Json::object()));
    entry["windowId"] = windowId;
    entry["title"] = facts.title;
    entry["application"] = facts.application;
    observations_.addWindow(windowId, std::move(facts));
    windows.push_back(std::move(entry));
  }
  const Json structured = {{"windows", windows}};
  const std::string sentence =
      windows.empty() ? "No application windows are on the desktop."
                      : count(windows.size(), "window", "windows") +
                            "; positions are in screen points. Capture one with capture_window "
                            "to see it.";
  return ToolResult::facts(withFacts(sentence, structured), structured);
}

ToolResult DesktopTools::listDisplays() {
  const HelperReply reply = observe("computer.displays", Json::object(), Retry::onTopologyChange);
  if (!reply.ok) return refused(reply, Subject::none, ToolKind::observation);
  observations_.startDisplayListing();
  Json displays = Json::array();
  for (const auto& display : reply.result.value("displays", Json::array())) {
    const std::string displayId = display.value("targetId", "");
    Json entry = screenRect(display.value("sourceRect", Json::object()));
    entry["displayId"] = displayId;
    entry["pixelWidth"] = display.value("pixelWidth", 0);
    entry["pixelHeight"] = display.value("pixelHeight", 0);
    entry["rotation"] = display.value("rotation", 0.0);
    observations_.addDisplay(displayId);
    displays.push_back(std::move(entry));
  }
  const Json structured = {{"displays", displays}};
  const std::string sentence = count(displays.size(), "display", "displays") +
                               "; positions are in screen points. capture_display shows one.";
  return ToolResult::facts(withFacts(sentence, structured), structured);
}

std::optional<ToolResult> DesktopTools::checkWindow(const std::string& windowId) const {
  if (observations_.window(windowId)) return std::nullopt;
  if (observations_.hasDisplay(windowId)) {
    return ToolResult::error(
        "That id names a display, not a window: display ids are for "
        "capture_display only. Call list_windows for window ids.");
  }
  return ToolResult::error(sentenceFor("target_stale", Subject::window));
}

std::string DesktopTools::windowName(const std::string& windowId) const {
  const WindowFacts* window = observations_.window(windowId);
  if (!window) return "the window";
  if (window->title.empty()) return "the window of " + window->application;
  return "window " + quote(window->title);
}

ToolResult DesktopTools::captureWindow(const Json& args) {
  const std::string windowId = args.at("windowId");
  if (auto refusal = checkWindow(windowId)) return *refusal;
  Json request = {{"targetId", windowId}};
  if (args.contains("maxWidth")) request["maxWidth"] = args["maxWidth"].get<std::int64_t>();
  HelperReply reply = observe("computer.capture", request, Retry::never);
  if (!reply.ok) return refused(reply, Subject::window, ToolKind::observation);
  if (reply.image.empty() || !isBase64Text(reply.image)) {
    return ToolResult::error("kex-computer returned no usable image: capture again.");
  }
  const Json& result = reply.result;
  const Json transform = result.value("transform", Json::object());
  CaptureFacts facts{.windowId = windowId,
                     .width = result.value("width", std::int64_t{0}),
                     .height = result.value("height", std::int64_t{0}),
                     .scaleX = transform.value("scaleX", 1.0),
                     .scaleY = transform.value("scaleY", 1.0),
                     .offsetX = transform.value("offsetX", 0.0),
                     .offsetY = transform.value("offsetY", 0.0),
                     .takenAt = now_()};
  const std::string captureId = result.value("captureId", "");
  const Json structured = {
      {"captureId", captureId},
      {"windowId", windowId},
      {"width", facts.width},
      {"height", facts.height},
      {"capturedAt", result.value("capturedAt", "")},
      {"validForSeconds", kCaptureLifetime.count()},
      {"scaleX", facts.scaleX},
      {"scaleY", facts.scaleY},
      {"offsetX", facts.offsetX},
      {"offsetY", facts.offsetY},
  };
  const std::string sentence =
      "Capture " + captureId + " of " + windowName(windowId) + ": " + number(facts.width) + "x" +
      number(facts.height) + " pixels. Pixel (x, y) of this image is the screen point (" +
      number(facts.offsetX) + " + x * " + number(facts.scaleX) + ", " + number(facts.offsetY) +
      " + y * " + number(facts.scaleY) +
      "). Give this captureId, and pixel coordinates of this image, to the input tools within "
      "30 seconds; after that, or once the window has moved or changed, capture again.";
  observations_.addCapture(captureId, std::move(facts));
  return ToolResult::picture(withFacts(sentence, structured), std::move(reply.image), structured);
}

ToolResult DesktopTools::captureDisplay(const Json& args) {
  const std::string displayId = args.at("displayId");
  if (!observations_.hasDisplay(displayId)) {
    if (observations_.window(displayId)) {
      return ToolResult::error("That id names a window: use capture_window for it.");
    }
    return ToolResult::error(sentenceFor("target_stale", Subject::display));
  }
  Json request = {{"targetId", displayId}};
  if (args.contains("maxWidth")) request["maxWidth"] = args["maxWidth"].get<std::int64_t>();
  HelperReply reply = observe("computer.capture", request, Retry::never);
  if (!reply.ok) return refused(reply, Subject::display, ToolKind::observation);
  if (reply.image.empty() || !isBase64Text(reply.image)) {
    return ToolResult::error("kex-computer returned no usable image: capture again.");
  }
  const Json& result = reply.result;
  const Json transform = result.value("transform", Json::object());
  const Json structured = {
      {"displayId", displayId},
      {"width", result.value("width", 0)},
      {"height", result.value("height", 0)},
      {"capturedAt", result.value("capturedAt", "")},
      {"scaleX", transform.value("scaleX", 1.0)},
      {"scaleY", transform.value("scaleY", 1.0)},
      {"offsetX", transform.value("offsetX", 0.0)},
      {"offsetY", transform.value("offsetY", 0.0)},
  };
  const std::string sentence =
      "Capture of the display: " + number(structured["width"].get<double>()) + "x" +
      number(structured["height"].get<double>()) +
      " pixels. It is for looking only: to act on a window, list the windows and capture it.";
  return ToolResult::picture(withFacts(sentence, structured), std::move(reply.image), structured);
}

namespace {

// One reading of a tree, turned into what the model sees, with each element's place noted so
// that it can be found again in a later reading.
struct TreeReading {
  TreeReading(std::string window, int elementBudget, Moment when, std::uint64_t number)
      : windowId(std::move(window)), budget(elementBudget), readAt(when), reading(number) {}

  std::string windowId;
  int budget;
  Moment readAt;
  std::uint64_t reading;
  std::vector<std::pair<std::string, ElementFacts>> elements;
  std::size_t described = 0;

  Json convert(const Json& node, std::vector<std::size_t>& path) {
    if (node.value("truncated", false)) return {{"truncated", true}};
    ++described;
    if (node.value("protected", false)) {
      return {{"role", node.value("role", "")}, {"protected", true}};
    }
    const std::string nodeId = node.value("nodeId", "");
    Json element = {{"role", node.value("role", "")},
                    {"name", node.value("title", "")},
                    {"enabled", node.value("enabled", false)},
                    {"elementId", nodeId}};
    elements.emplace_back(nodeId, ElementFacts{.windowId = windowId,
                                               .path = path,
                                               .role = element["role"],
                                               .name = element["name"],
                                               .budget = budget,
                                               .nodeId = nodeId,
                                               .readAt = readAt,
                                               .reading = reading});
    const auto children = node.find("children");
    if (children == node.end() || !children->is_array()) return element;
    Json converted = Json::array();
    for (std::size_t i = 0; i < children->size(); ++i) {
      path.push_back(i);
      converted.push_back(convert((*children)[i], path));
      path.pop_back();
    }
    element["children"] = std::move(converted);
    return element;
  }
};

}  // namespace

ToolResult DesktopTools::readTree(const Json& args) {
  const std::string windowId = args.at("windowId");
  if (auto refusal = checkWindow(windowId)) return *refusal;
  const int budget =
      static_cast<int>(args.value("maxElements", std::int64_t{kDefaultTreeElements}));
  const HelperReply reply = observe("computer.accessibility",
                                    {{"targetId", windowId}, {"maxNodes", budget}}, Retry::never);
  if (!reply.ok) return refused(reply, Subject::window, ToolKind::observation);
  TreeReading reading(windowId, budget, now_(), observations_.countReading());
  std::vector<std::size_t> path;
  const Json tree = reading.convert(reply.result.value("tree", Json::object()), path);
  observations_.forgetElementsOf(windowId);
  for (auto& [elementId, facts] : reading.elements) {
    observations_.addElement(elementId, std::move(facts));
  }
  const Json structured = {{"windowId", windowId}, {"tree", tree}};
  const std::string sentence =
      "Accessibility tree of " + windowName(windowId) + ", " +
      count(reading.described, "element", "elements") +
      ". Give an elementId to press_element or focus_element; the ids stay usable "
      "until this window's tree is read again or the windows are listed again.";
  return ToolResult::facts(withFacts(sentence, structured), structured);
}

// --- input ------------------------------------------------------------------------------------

std::optional<ToolResult> DesktopTools::checkCapture(const std::string& captureId) const {
  const CaptureFacts* capture = observations_.capture(captureId);
  if (!capture) return ToolResult::error(sentenceFor("target_stale", Subject::capture));
  const auto age = std::chrono::duration_cast<std::chrono::seconds>(now_() - capture->takenAt);
  if (now_() - capture->takenAt >= kCaptureLifetime) {
    return ToolResult::error("Capture " + captureId + " was taken " + std::to_string(age.count()) +
                             " seconds ago, and captures can drive input for 30 seconds only: "
                             "capture the window again and use the new captureId.");
  }
  return std::nullopt;
}

std::optional<ToolResult> DesktopTools::ensureControl(const ToolCall& call) {
  if (policy_ == ApprovalPolicy::privateDesktop) return std::nullopt;
  if (approvedGeneration_ == computer_.generation()) return std::nullopt;
  const std::string revision = computer_.facts().topologyRevision;
  // Asking a person to approve what cannot happen would only teach them to approve blindly.
  const StatusFacts& facts = computer_.refreshStatus();
  if (facts.topologyRevision != revision) {
    observations_.forgetAll();
    return ToolResult::error(sentenceFor("topology_changed", Subject::none) +
                             " Nothing was sent to the window.");
  }
  if (!facts.controlReady) return ToolResult::error(controlUnavailable(facts));
  const std::uint64_t generation = computer_.generation();
  const ConsentOutcome outcome = consent_.ask(*call.control, call.progress);
  if (outcome.answer != ConsentAnswer::approved) {
    return ToolResult::error(consentRefusal(outcome));
  }
  approvedGeneration_ = generation;
  return std::nullopt;
}

ToolResult DesktopTools::sendInput(const ToolCall& call, std::string_view operation, Json args,
                                   Subject subject, const std::string& success) {
  if (call.control->cancelled()) return ToolResult::error("The call was cancelled.");
  const HelperReply reply = computer_.request(operation, std::move(args));
  if (!reply.ok) {
    if (reply.code == "topology_changed") {
      observations_.forgetAll();
      (void)computer_.refreshStatus();
    }
    return refused(reply, subject, ToolKind::input);
  }
  return ToolResult::done(success);
}

ToolResult DesktopTools::focusWindow(const ToolCall& call) {
  const std::string windowId = call.arguments.at("windowId");
  if (auto refusal = checkWindow(windowId)) return *refusal;
  if (auto refusal = ensureControl(call)) return *refusal;
  // The approval may have taken long enough for the windows to have been listed anew.
  if (auto refusal = checkWindow(windowId)) return *refusal;
  return sendInput(call, "computer.focus", {{"targetId", windowId}}, Subject::window,
                   "Focused " + windowName(windowId) +
                       ": it is now the frontmost window and has the keyboard focus. Capture it "
                       "again before acting on it.");
}

std::optional<ToolResult> DesktopTools::freshenNode(ElementFacts& element) {
  const bool fresh =
      element.reading == observations_.readings() && now_() - element.readAt < kNodeFreshness;
  if (fresh) return std::nullopt;
  const std::string windowId = element.windowId;
  const HelperReply reply =
      observe("computer.accessibility", {{"targetId", windowId}, {"maxNodes", element.budget}},
              Retry::never);
  if (!reply.ok) return refused(reply, Subject::window, ToolKind::input);
  TreeReading reading(windowId, element.budget, now_(), observations_.countReading());
  std::vector<std::size_t> path;
  (void)reading.convert(reply.result.value("tree", Json::object()), path);
  std::map<std::vector<std::size_t>, const ElementFacts*> byPlace;
  for (const auto& [id, facts] : reading.elements) byPlace[facts.path] = &facts;
  // Every element of the window is moved to its node in the new reading, so that ids of the
  // same reading keep working together.
  for (ElementFacts* known : observations_.elementsOf(windowId)) {
    const auto match = byPlace.find(known->path);
    const bool same = match != byPlace.end() && match->second->role == known->role &&
                      match->second->name == known->name;
    known->nodeId = same ? match->second->nodeId : "";
    known->readAt = reading.readAt;
    known->reading = reading.reading;
  }
  if (!element.nodeId.empty()) return std::nullopt;
  return ToolResult::error(
      "The element " + quote(element.name) + " (" + element.role +
      ") is no longer where it was in the window: its content changed. Read the accessibility "
      "tree again and use the new elementId. Nothing was sent to the window.");
}

ToolResult DesktopTools::elementAction(const ToolCall& call, Action action) {
  const std::string elementId = call.arguments.at("elementId");
  const std::string captureId = call.arguments.at("captureId");
  if (!observations_.element(elementId)) {
    return ToolResult::error(sentenceFor("target_stale", Subject::element));
  }
  if (auto refusal = checkCapture(captureId)) return *refusal;
  if (observations_.capture(captureId)->windowId != observations_.element(elementId)->windowId) {
    return ToolResult::error(
        "That captureId shows another window than the element's: capture the element's window "
        "and use that captureId.");
  }
  if (auto refusal = ensureControl(call)) return *refusal;
  // The person may have taken a while: the ids are checked again against what is known now.
  ElementFacts* element = observations_.element(elementId);
  if (!element) return ToolResult::error(sentenceFor("target_stale", Subject::element));
  if (auto refusal = checkCapture(captureId)) return *refusal;
  if (auto refusal = freshenNode(*element)) return *refusal;
  const std::string described = quote(element->name) + " (" + element->role + ")";
  const bool press = action == Action::press;
  return sendInput(
      call, "computer.action",
      {{"nodeId", element->nodeId},
       {"captureId", captureId},
       {"action", press ? "press" : "focus"}},
      Subject::element,
      press ? "Pressed " + described +
                  ". kex does not check what that did: capture the window again to see it."
            : "Gave the keyboard focus to " + described + ".");
}

ToolResult DesktopTools::pointer(const ToolCall& call) {
  const Json& args = call.arguments;
  const std::string captureId = args.at("captureId");
  if (auto refusal = checkCapture(captureId)) return *refusal;
  const CaptureFacts capture = *observations_.capture(captureId);
  const std::int64_t x = args.at("x");
  const std::int64_t y = args.at("y");
  const auto inside = [&](std::int64_t px, std::int64_t py) {
    return px >= 0 && py >= 0 && px < capture.width && py < capture.height;
  };
  const std::string imageSize = number(capture.width) + "x" + number(capture.height);
  if (!inside(x, y)) {
    return ToolResult::error("Pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                             ") lies outside the capture image, which is " + imageSize +
                             " pixels (x from 0 to " + std::to_string(capture.width - 1) +
                             ", y from 0 to " + std::to_string(capture.height - 1) +
                             "). Nothing was sent.");
  }
  Json request = {{"captureId", captureId}, {"x", x}, {"y", y}};
  const std::string at = "pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                         ") of capture " + captureId + ", screen point (" +
                         number(capture.offsetX + static_cast<double>(x) * capture.scaleX) + ", " +
                         number(capture.offsetY + static_cast<double>(y) * capture.scaleY) + ")";
  const std::string unchecked =
      " kex does not check what that did: capture the window again "
      "to see it.";
  std::string success;
  if (call.tool == tools::click) {
    request["action"] = "click";
    success = "Clicked once at " + at + "." + unchecked;
  } else if (call.tool == tools::doubleClick) {
    request["action"] = "doubleClick";
    success = "Double-clicked at " + at + "." + unchecked;
  } else if (call.tool == tools::movePointer) {
    request["action"] = "move";
    success = "Moved the pointer to " + at + ".";
  } else if (call.tool == tools::scroll) {
    const std::string direction = args.at("direction");
    const std::int64_t lines = args.value("lines", std::int64_t{kDefaultScrollLines});
    const auto [deltaX, deltaY] = scrollDeltas(direction, lines);
    request["action"] = "scroll";
    request["deltaX"] = deltaX;
    request["deltaY"] = deltaY;
    success =
        "Scrolled " + std::to_string(lines) + " lines " + direction + " at " + at + "." + unchecked;
  } else {
    const std::int64_t toX = args.at("toX");
    const std::int64_t toY = args.at("toY");
    if (!inside(toX, toY)) {
      return ToolResult::error("The end of the drag, pixel (" + std::to_string(toX) + ", " +
                               std::to_string(toY) +
                               "), lies outside the capture image, which "
                               "is " +
                               imageSize + " pixels. Nothing was sent.");
    }
    request["action"] = "drag";
    request["deltaX"] = toX - x;
    request["deltaY"] = toY - y;
    success = "Dragged from " + at + " to pixel (" + std::to_string(toX) + ", " +
              std::to_string(toY) + ")." + unchecked;
  }
  if (auto refusal = ensureControl(call)) return *refusal;
  if (auto refusal = checkCapture(captureId)) return *refusal;
  return sendInput(call, "computer.pointer", std::move(request), Subject::capture, success);
}

ToolResult DesktopTools::typeText(const ToolCall& call) {
  const std::string captureId = call.arguments.at("captureId");
  const std::string text = call.arguments.at("text");
  if (auto refusal = checkCapture(captureId)) return *refusal;
  if (utf16Units(text) > static_cast<std::size_t>(kMaxTextUnits)) {
    return ToolResult::error(
        "The text is too long: at most 1024 characters (UTF-16 code "
        "units) per call. Split it into several type_text calls.");
  }
  const std::string windowId = observations_.capture(captureId)->windowId;
  if (auto refusal = ensureControl(call)) return *refusal;
  if (auto refusal = checkCapture(captureId)) return *refusal;
  return sendInput(
      call, "computer.keyboard", {{"captureId", captureId}, {"text", text}}, Subject::capture,
      "Typed " + std::to_string(codePoints(text)) + " characters into " + windowName(windowId) +
          ". kex does not check where they went: capture the window again to see "
          "them.");
}

ToolResult DesktopTools::pressKey(const ToolCall& call) {
  const std::string captureId = call.arguments.at("captureId");
  const std::string key = call.arguments.at("key");
  const Json modifiers = call.arguments.value("modifiers", Json::array());
  if (auto refusal = checkCapture(captureId)) return *refusal;
  const std::string windowId = observations_.capture(captureId)->windowId;
  std::string chord;
  for (const auto& modifier : modifiers) chord += modifier.get<std::string>() + "+";
  chord += key;
  if (auto refusal = ensureControl(call)) return *refusal;
  if (auto refusal = checkCapture(captureId)) return *refusal;
  return sendInput(call, "computer.keyboard",
                   {{"captureId", captureId}, {"key", key}, {"modifiers", modifiers}},
                   Subject::capture,
                   "Pressed " + chord + " in " + windowName(windowId) +
                       ". kex does not check what that did: capture the window again to see "
                       "it.");
}

}  // namespace kex::mcp
