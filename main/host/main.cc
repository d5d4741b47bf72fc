// kex-computer: the helper a host drives with one JSON request per line.
#include <string>
#include <vector>

#include "main/host/process_entry.h"
#include "platform/linux/linux_desktop.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  return kex::runProcess(
      arguments, [] { return kex::platform::linux_desktop::openDesktop(); },
      KEX_HOST_BUNDLE_IDENTIFIER);
}
