#include "main/safety/signal_cancellation.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

#include "main/common/failure.h"

namespace kex {
namespace {

sigset_t handledSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGUSR1, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, signal);
  return set;
}

}  // namespace

void SignalCancellation::blockHandledSignals() {
  const sigset_t set = handledSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

SignalCancellation::SignalCancellation(InputSafety& safety, Exit exit)
    : safety_(safety), exit_(std::move(exit)) {
  blockHandledSignals();
  thread_ = std::jthread([this](const std::stop_token& stop) { watch(stop); });
}

void SignalCancellation::watch(const std::stop_token& stop) {
  const sigset_t set = handledSignals();
  // A bounded wait, so that the owner can stop this thread; signals stay pending meanwhile.
  const timespec period{0, 200'000'000};
  while (!stop.stop_requested()) {
    const int signal = sigtimedwait(&set, nullptr, &period);
    if (signal < 0) continue;
    safety_.cancel(codes::cancelled);
    if (signal != SIGUSR1) exit_(0);
  }
}

}  // namespace kex
