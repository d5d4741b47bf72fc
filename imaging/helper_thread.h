// A worker thread kept for the life of its owner.
#pragma once

#include <functional>
#include <thread>

#include "threads/mutex.h"

namespace kex::imaging {

// Runs one job at a time on a thread of its own, started once and kept, so that handing over
// work costs a wake-up rather than a thread start. start and wait: the owner's thread; the job:
// the helper thread.
class HelperThread {
 public:
  HelperThread();
  ~HelperThread();
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // False when the thread could not be started; the caller then does the work itself.
  [[nodiscard]] bool available() const { return thread_.joinable(); }
  // Hands the job over; the previous one must have been waited for.
  void start(std::function<void()> job);
  // Returns once the job handed over last has finished.
  void wait();

 private:
  void serve();

  threads::Mutex mutex_;
  threads::ConditionVariable changed_;
  std::function<void()> job_ GUARDED_BY(mutex_);
  bool pending_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_;  // last, so that it starts after the members it uses exist
};

}  // namespace kex::imaging
