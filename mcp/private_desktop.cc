#include "mcp/private_desktop.h"

#include "tools/harness/virtual_desktop.h"

namespace kex::mcp {

PrivateDesktop::PrivateDesktop(int width, int height) {
  harness::DesktopOptions options;
  options.width = width;
  options.height = height;
  desktop_ = std::make_unique<harness::VirtualDesktop>(options);
}

PrivateDesktop::~PrivateDesktop() = default;

EnvironmentChanges PrivateDesktop::environment() const { return desktop_->env(); }

std::string PrivateDesktop::announcement() const {
  std::string line = "kex-mcp: private desktop " + desktop_->display() +
                     " is up; nobody is at it, so input needs no approval. Programs started "
                     "with this environment appear on it:";
  std::string unset;
  for (const auto& [name, value] : environment()) {
    if (value) {
      line += " " + name + "=" + *value;
    } else {
      unset += " " + name;
    }
  }
  if (!unset.empty()) line += " (and unset:" + unset + ")";
  return line;
}

}  // namespace kex::mcp
