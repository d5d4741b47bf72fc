// The worker that runs tool calls: one at a time, in order, and never a cancelled one.
#include "mcp/call_queue.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace kex::mcp::test {
namespace {

// Runs on the worker thread; holds each call until the test lets it go, or until it is
// cancelled. `mutex_` guards everything.
class GatedExecutor : public ToolExecutor {
 public:
  ToolResult execute(const ToolCall& call) override {
    // The interrupt runs under the call's own lock, so it only ever takes mutex_ after that one;
    // this thread never takes them the other way round.
    auto cancelled = std::make_shared<bool>(false);  // guarded by mutex_
    (void)call.control->setInterrupt([this, cancelled] {
      std::lock_guard lock(mutex_);
      *cancelled = true;
      changed_.notify_all();
    });
    std::unique_lock lock(mutex_);
    started_.push_back(call.tool);
    ++running_;
    maxRunning_ = std::max(maxRunning_, running_);
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_ > finished_ || *cancelled; });
    --running_;
    ++finished_;
    lock.unlock();
    call.control->clearInterrupt();
    return ToolResult::done(call.tool);
  }

  void releaseOne() {
    std::lock_guard lock(mutex_);
    ++released_;
    changed_.notify_all();
  }
  void waitStarted(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return started_.size() >= count; });
  }
  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  int maxRunning() {
    std::lock_guard lock(mutex_);
    return maxRunning_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> started_;
  int running_ = 0;
  int maxRunning_ = 0;
  int released_ = 0;
  int finished_ = 0;
};

// How each call ended, as the protocol layer would see it. Any thread.
struct Endings {
  std::mutex mutex;
  std::vector<std::string> finished;
  std::vector<std::string> abandoned;
  std::condition_variable changed;

  ToolCall call(const std::string& tool) {
    ToolCall call;
    call.tool = tool;
    call.finish = [this, tool](const ToolResult&) {
      std::lock_guard lock(mutex);
      finished.push_back(tool);
      changed.notify_all();
    };
    call.abandon = [this, tool] {
      std::lock_guard lock(mutex);
      abandoned.push_back(tool);
      changed.notify_all();
    };
    return call;
  }
  void waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return finished.size() + abandoned.size() >= count; });
  }
};

TEST(CallQueue, RunsCallsOneAtATimeInTheOrderTheyCame) {
  GatedExecutor executor;
  Endings endings;
  CallQueue queue(executor);
  for (const char* tool : {"first", "second", "third"}) queue.submit(endings.call(tool));
  for (int i = 0; i < 3; ++i) executor.releaseOne();
  endings.waitFor(3);
  EXPECT_EQ(endings.finished, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(executor.maxRunning(), 1);
}

TEST(CallQueue, CallCancelledWhileWaitingIsAbandonedWithoutRunning) {
  GatedExecutor executor;
  Endings endings;
  CallQueue queue(executor);
  queue.submit(endings.call("running"));
  ToolCall waiting = endings.call("waiting");
  const auto control = waiting.control;
  queue.submit(std::move(waiting));
  executor.waitStarted(1);
  control->cancel();
  executor.releaseOne();
  endings.waitFor(2);
  EXPECT_EQ(endings.finished, std::vector<std::string>{"running"});
  EXPECT_EQ(endings.abandoned, std::vector<std::string>{"waiting"});
  EXPECT_EQ(executor.started(), std::vector<std::string>{"running"});
}

TEST(CallQueue, CallCancelledWhileRunningIsNotAnswered) {
  GatedExecutor executor;
  Endings endings;
  CallQueue queue(executor);
  ToolCall call = endings.call("running");
  const auto control = call.control;
  queue.submit(std::move(call));
  executor.waitStarted(1);
  control->cancel();
  endings.waitFor(1);
  EXPECT_TRUE(endings.finished.empty());
  EXPECT_EQ(endings.abandoned, std::vector<std::string>{"running"});
}

TEST(CallQueue, ShutdownCancelsEverythingAndNothingRunsAfterIt) {
  GatedExecutor executor;
  Endings endings;
  CallQueue queue(executor);
  queue.submit(endings.call("running"));
  queue.submit(endings.call("waiting"));
  executor.waitStarted(1);
  queue.shutdown();
  EXPECT_TRUE(endings.finished.empty());
  EXPECT_EQ(endings.abandoned, (std::vector<std::string>{"running", "waiting"}));
  queue.submit(endings.call("late"));
  EXPECT_EQ(endings.abandoned.back(), "late");
  EXPECT_EQ(executor.started(), std::vector<std::string>{"running"});
}

}  // namespace
}  // namespace kex::mcp::test
