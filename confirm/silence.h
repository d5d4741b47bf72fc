// Keeps kex-confirm's standard error empty whatever GLib, GIO or polkit want to say.
#pragma once

namespace kex::confirm {

// Main thread, first thing in main, before any GLib call: GLib accepts its log writer only
// once and before the first message.
void silenceDiagnostics();

}  // namespace kex::confirm
