#include "mcp/observations.h"

namespace kex::mcp {
namespace {

// kex-computer keeps at most 64 captures before it starts over; remembering more would only
// let ids through that it has forgotten, and those it refuses itself.
constexpr std::size_t kMaxCaptures = 64;

}  // namespace

void Observations::startWindowListing() {
  windows_.clear();
  captures_.clear();
  elements_.clear();
}

void Observations::addWindow(const std::string& windowId, WindowFacts facts) {
  windows_[windowId] = std::move(facts);
}

void Observations::startDisplayListing() { displays_.clear(); }

void Observations::addDisplay(const std::string& displayId) { displays_[displayId] = true; }

void Observations::addCapture(const std::string& captureId, CaptureFacts facts) {
  if (captures_.size() > kMaxCaptures) captures_.clear();
  captures_[captureId] = std::move(facts);
}

void Observations::forgetAll() {
  windows_.clear();
  displays_.clear();
  captures_.clear();
  elements_.clear();
}

const WindowFacts* Observations::window(const std::string& windowId) const {
  const auto found = windows_.find(windowId);
  return found == windows_.end() ? nullptr : &found->second;
}

bool Observations::hasDisplay(const std::string& displayId) const {
  return displays_.contains(displayId);
}

const CaptureFacts* Observations::capture(const std::string& captureId) const {
  const auto found = captures_.find(captureId);
  return found == captures_.end() ? nullptr : &found->second;
}

ElementFacts* Observations::element(const std::string& elementId) {
  const auto found = elements_.find(elementId);
  return found == elements_.end() ? nullptr : &found->second;
}

void Observations::forgetElementsOf(const std::string& windowId) {
  std::erase_if(elements_, [&](const auto& entry) { return entry.second.windowId == windowId; });
}

void Observations::addElement(const std::string& elementId, ElementFacts facts) {
  elements_[elementId] = std::move(facts);
}

std::vector<ElementFacts*> Observations::elementsOf(const std::string& windowId) {
  std::vector<ElementFacts*> found;
  for (auto& [id, facts] : elements_) {
    if (facts.windowId == windowId) found.push_back(&facts);
  }
  return found;
}

}  // namespace kex::mcp
