// What an input operation acts on: a freshly verified window and the capture that named it.
#pragma once

#include "main/observe/registries.h"
#include "platform/windows.h"

namespace kex {

struct InputTarget {
  platform::WindowInfo window;  // as verify returned it
  Capture capture;              // a copy of the registered record
};

}  // namespace kex
