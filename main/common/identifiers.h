// The identifiers handed to the host.
#pragma once

#include <string>

namespace kex {

// A new random version-4 UUID in upper-case canonical text. Any thread.
[[nodiscard]] std::string newIdentifier();

}  // namespace kex
