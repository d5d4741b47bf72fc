// The private virtual desktop of `kex-mcp --private-desktop`: an X server of its own with a
// session bus, the accessibility bus and a window manager, that nobody sits at.
#pragma once

#include <memory>
#include <string>

#include "mcp/child_process.h"

namespace kex::harness {
class VirtualDesktop;
}

namespace kex::mcp {

// Brought up by the constructor (which throws std::runtime_error when a part does not come up)
// and taken down, every process of it ended, by the destructor. Main thread only.
class PrivateDesktop {
 public:
  PrivateDesktop(int width, int height);
  ~PrivateDesktop();
  PrivateDesktop(const PrivateDesktop&) = delete;
  PrivateDesktop& operator=(const PrivateDesktop&) = delete;

  // What a program needs in its environment to appear on this desktop.
  [[nodiscard]] EnvironmentChanges environment() const;
  // One line for standard error: where the desktop is, and how to start programs on it.
  [[nodiscard]] std::string announcement() const;

 private:
  std::unique_ptr<harness::VirtualDesktop> desktop_;
};

}  // namespace kex::mcp
