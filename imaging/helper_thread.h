// A worker thread kept for the life of its owner.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kex::imaging {

// Runs one job at a time on a thread of its own, started once and kept, so that handing over
// work costs a wake-up rather than a thread start. start and wait: the owner's thread; the job:
// the helper thread. job_, pending_ and stopping_ are guarded by mutex_.
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

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool pending_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last, so that it starts after the members it uses exist
};

}  // namespace kex::imaging
