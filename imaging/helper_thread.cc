#include "imaging/helper_thread.h"

#include <system_error>

namespace kex::imaging {
namespace {

bool machineHasSpareCore() {
  static const bool spare = std::thread::hardware_concurrency() > 1;
  return spare;
}

}  // namespace

HelperThread::HelperThread() {
  if (!machineHasSpareCore()) {
    return;
  }
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::system_error&) {
    // available() stays false.
  }
}

HelperThread::~HelperThread() {
  if (!thread_.joinable()) {
    return;
  }
  {
    threads::Lock lock(mutex_);
    stopping_ = true;
  }
  changed_.notifyAll();
  thread_.join();
}

void HelperThread::start(std::function<void()> job) {
  {
    threads::Lock lock(mutex_);
    job_ = std::move(job);
    pending_ = true;
  }
  changed_.notifyAll();
}

void HelperThread::wait() {
  threads::Lock lock(mutex_);
  while (pending_) {
    changed_.wait(mutex_);
  }
}

void HelperThread::serve() {
  threads::Lock lock(mutex_);
  for (;;) {
    while (!pending_ && !stopping_) {
      changed_.wait(mutex_);
    }
    if (stopping_) {
      return;
    }
    std::function<void()> job = std::move(job_);
    lock.unlock();
    job();
    lock.lock();
    pending_ = false;
    changed_.notifyAll();
  }
}

}  // namespace kex::imaging
