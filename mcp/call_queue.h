// The worker thread that carries out tool calls in the order they came.
#pragma once

#include <deque>
#include <thread>

#include "mcp/tool_call.h"
#include "threads/mutex.h"

namespace kex::mcp {

// kex-computer answers one request at a time and the person is asked at most once at a time,
// so calls run one after the other on one worker thread; the reader thread stays free for
// pings and cancellations meanwhile. submit() is for the reader thread; `mutex_` guards the
// queue. Destroying the queue abandons what is still waiting and joins the worker.
class CallQueue : public ToolRunner {
 public:
  explicit CallQueue(ToolExecutor& executor);
  ~CallQueue() override;
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  void submit(ToolCall call) override;
  // Cancels the running call and every waiting one, and lets the worker end. Any thread.
  void stop();
  // stop(), then waits for the worker to end: no callback runs after it returns. Not from the
  // worker thread.
  void shutdown();

 private:
  void work(std::stop_token stop);

  ToolExecutor& executor_;
  threads::Mutex mutex_;
  threads::ConditionVariable wake_;
  std::deque<ToolCall> waiting_ GUARDED_BY(mutex_);
  std::shared_ptr<CallControl> running_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::jthread worker_;
};

}  // namespace kex::mcp
