// What kex-mcp remembers of the ids it handed to the model, so that it can refuse an id that is
// certainly void without bothering the person, explain why in plain words, and keep element ids
// usable beyond kex-computer's five-second node lifetime.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mcp/json_rpc.h"

namespace kex::mcp {

using Moment = std::chrono::steady_clock::time_point;

struct WindowFacts {
  std::string title;
  std::string application;
};

struct CaptureFacts {
  std::string windowId;
  std::int64_t width = 0;
  std::int64_t height = 0;
  double scaleX = 1;
  double scaleY = 1;
  double offsetX = 0;
  double offsetY = 0;
  Moment takenAt;
};

// An element the model may name: where it sits in its window's tree, so that it can be found
// again in a fresh reading, and the node id kex-computer gave it last.
struct ElementFacts {
  std::string windowId;
  std::vector<std::size_t> path;  // child indices from the window element down
  std::string role;
  std::string name;
  int budget = 0;  // the maxNodes of the reading, so a fresh one covers the same elements
  std::string nodeId;
  Moment readAt;
  std::uint64_t reading = 0;  // which tree reading nodeId came from
};

// The ids of one kex-computer child's generation. Worker thread only.
class Observations {
 public:
  // A new listing voids every window, capture and element id, as it does in kex-computer.
  void startWindowListing();
  void addWindow(const std::string& windowId, WindowFacts facts);
  void startDisplayListing();
  void addDisplay(const std::string& displayId);
  void addCapture(const std::string& captureId, CaptureFacts facts);
  // Everything: a new child, or a changed topology, makes every id void.
  void forgetAll();

  [[nodiscard]] const WindowFacts* window(const std::string& windowId) const;
  [[nodiscard]] bool hasDisplay(const std::string& displayId) const;
  [[nodiscard]] const CaptureFacts* capture(const std::string& captureId) const;
  [[nodiscard]] ElementFacts* element(const std::string& elementId);

  // Each accessibility reading replaces all of kex-computer's nodes, whatever the window.
  [[nodiscard]] std::uint64_t readings() const { return readings_; }
  std::uint64_t countReading() { return ++readings_; }
  // Forgets the window's elements before a new reading of it hands out new ones.
  void forgetElementsOf(const std::string& windowId);
  void addElement(const std::string& elementId, ElementFacts facts);
  // The elements of a window, to be matched against a fresh reading.
  [[nodiscard]] std::vector<ElementFacts*> elementsOf(const std::string& windowId);

 private:
  std::map<std::string, WindowFacts> windows_;
  std::map<std::string, bool> displays_;
  std::map<std::string, CaptureFacts> captures_;
  std::map<std::string, ElementFacts> elements_;
  std::uint64_t readings_ = 0;
};

}  // namespace kex::mcp
