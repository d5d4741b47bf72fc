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
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void HelperThread::start(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    job_ = std::move(job);
    pending_ = true;
  }
  changed_.notify_all();
}

void HelperThread::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
}

void HelperThread::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (stopping_) {
      return;
    }
    std::function<void()> job = std::move(job_);
    lock.unlock();
    job();
    lock.lock();
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace kex::imaging
