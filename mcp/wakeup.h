// A descriptor that another thread can make readable, to end a wait in poll(2) early.
#pragma once

namespace kex::mcp {

// signal() from any thread; the owner polls fd() and clears it. Not copyable.
class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  [[nodiscard]] int fd() const { return fd_; }
  void signal();
  void clear();

 private:
  int fd_ = -1;
};

}  // namespace kex::mcp
