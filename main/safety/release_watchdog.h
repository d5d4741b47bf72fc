// The release-watchdog process mode: a copy of kex-computer that releases whatever its parent
// held when the parent goes.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/events.h"

namespace kex {

// Opens the watchdog's own way of posting input; nothing when the desktop cannot be reached.
using EventPosterFactory = std::function<std::unique_ptr<platform::EventServices>()>;

// Runs the watchdog on the calling thread (the only thread of its process) and returns when it is
// done. Takes the control lock at lockPath (writing the refusal byte 2 to `output` and returning
// when it cannot), opens the poster, then accepts held-input lines on `input`, answering each
// with byte 1. When the input ends, or a line is malformed or over a limit, or an answer cannot
// be written, it posts the releases of the last accepted line, then undoes the typing changes a
// parent killed while typing left behind, and returns; the lock is given up on return. Ignores
// SIGPIPE.
void releaseWatchdog(const EventPosterFactory& openPoster, const std::string& lockPath, int input,
                     int output);

}  // namespace kex
