// Locks that clang's -Wthread-safety knows as such, and the scoped holder and condition variable
// that go with them. Any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <utility>

#include "threads/thread_annotations.h"

namespace kex::threads {

template <typename LockType>
class Lock;
class ConditionVariable;

// A std::mutex that members name in GUARDED_BY and functions in REQUIRES. Only a Lock takes it
// (and a ConditionVariable lets go of it while waiting): a holder the analysis cannot see, such
// as std::lock_guard, does not compile.
class CAPABILITY("mutex") Mutex {
 private:
  friend class Lock<Mutex>;
  friend class ConditionVariable;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  std::mutex mutex_;
};

// A std::recursive_mutex for the analysis, taken only by a Lock. The analysis follows each
// function on its own and knows nothing of recursion: a function that takes the lock may be
// called with it held, as long as it is not annotated REQUIRES or EXCLUDES for it.
class CAPABILITY("mutex") RecursiveMutex {
 private:
  friend class Lock<RecursiveMutex>;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  std::recursive_mutex mutex_;
};

// Holds a Mutex or a RecursiveMutex from construction to the end of its scope. unlock() and
// lock() let go of it for a while (the destructor then releases only what is held).
template <typename LockType>
class SCOPED_CAPABILITY Lock {
 public:
  explicit Lock(LockType& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~Lock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  LockType& mutex_;
  bool held_ = true;
};

// Waits for a change to state guarded by a Mutex.
class ConditionVariable {
 public:
  // Lets go of the mutex while waiting and holds it again on return; may return without a
  // notification, so callers wait in a loop that tests their condition.
  void wait(Mutex& mutex) REQUIRES(mutex) {
    Held held{mutex};
    changed_.wait(held);
  }

  // Waits until ready() holds or a stop is requested, and returns ready(). ready runs with the
  // mutex held: a lambda that reads guarded state says so with REQUIRES after its parameters.
  template <typename Ready>
  bool wait(Mutex& mutex, std::stop_token stop, Ready ready) REQUIRES(mutex) {
    Held held{mutex};
    return changed_.wait(held, std::move(stop), std::move(ready));
  }

  // Waits until ready() holds, and returns with the mutex held. ready runs with the mutex held.
  template <typename Ready>
  void wait(Mutex& mutex, Ready ready) REQUIRES(mutex) {
    Held held{mutex};
    changed_.wait(held, std::move(ready));
  }

  // Waits until ready() holds or the limit has passed, and returns ready().
  template <typename Rep, typename Period, typename Ready>
  bool waitFor(Mutex& mutex, std::chrono::duration<Rep, Period> limit, Ready ready)
      REQUIRES(mutex) {
    Held held{mutex};
    return changed_.wait_for(held, limit, std::move(ready));
  }

  void notifyOne() { changed_.notify_one(); }
  void notifyAll() { changed_.notify_all(); }

 private:
  // The held mutex as the standard condition variable lets go of it and takes it back.
  struct Held {
    void lock() { mutex.mutex_.lock(); }
    void unlock() { mutex.mutex_.unlock(); }
    Mutex& mutex;
  };

  std::condition_variable_any changed_;
};

}  // namespace kex::threads
