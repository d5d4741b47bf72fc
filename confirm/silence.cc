#include "silence.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

namespace kex::confirm {

namespace {

GLogWriterOutput dropStructuredMessage(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void dropPrintedText(const gchar*) {}

// Libraries below GLib can still write to the descriptor itself, so it goes nowhere. Without
// /dev/null it stays as it is: a closed descriptor 2 could be reused by a socket.
void pointStandardErrorAtNothing() {
  const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (nothing < 0) return;
  dup2(nothing, STDERR_FILENO);
  if (nothing != STDERR_FILENO) close(nothing);
}

}  // namespace

void silenceDiagnostics() {
  g_log_set_writer_func(dropStructuredMessage, nullptr, nullptr);
  g_log_set_default_handler(dropMessage, nullptr);
  g_set_printerr_handler(dropPrintedText);
  pointStandardErrorAtNothing();
}

}  // namespace kex::confirm
