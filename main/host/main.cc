// kex-computer: the helper a host drives with one JSON request per line.
#include <string>
#include <vector>

#include "main/host/process_entry.h"
#include "platform/linux/linux_desktop.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  const kex::DesktopAccess access{
      .openDesktop = [] { return kex::platform::linux_desktop::openDesktop(); },
      .openEventPoster = [] { return kex::platform::linux_desktop::openEventPoster(); },
  };
  return kex::runProcess(arguments, access, KEX_HOST_BUNDLE_IDENTIFIER);
}
