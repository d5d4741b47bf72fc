// kex_mcp_test_desktop: a private desktop for tests that need kex-mcp on a display it did not
// bring up itself (where it must ask for approval). Prints the desktop's environment as one JSON
// line, {"set": {NAME: VALUE...}, "unset": [NAME...]}, and takes the desktop down when its
// standard input ends. Main thread only.
#include <cstdio>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/harness/virtual_desktop.h"

int main() {
  try {
    kex::harness::VirtualDesktop desktop;
    nlohmann::json set = nlohmann::json::object();
    nlohmann::json unset = nlohmann::json::array();
    for (const auto& [name, value] : desktop.env()) {
      if (value) {
        set[name] = *value;
      } else {
        unset.push_back(name);
      }
    }
    std::cout << nlohmann::json{{"set", set}, {"unset", unset}}.dump() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kex_mcp_test_desktop: %s\n", error.what());
    return 1;
  }
}
