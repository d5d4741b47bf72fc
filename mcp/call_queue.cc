#include "mcp/call_queue.h"

#include <utility>

namespace kex::mcp {

CallQueue::CallQueue(ToolExecutor& executor)
    : executor_(executor), worker_([this](std::stop_token stop) { work(stop); }) {}

CallQueue::~CallQueue() { shutdown(); }

void CallQueue::shutdown() {
  stop();
  worker_.request_stop();
  wake_.notifyAll();
  if (worker_.joinable()) worker_.join();
}

void CallQueue::submit(ToolCall call) {
  {
    threads::Lock lock(mutex_);
    if (!stopping_) {
      waiting_.push_back(std::move(call));
      wake_.notifyOne();
      return;
    }
  }
  call.abandon();
}

void CallQueue::stop() {
  std::shared_ptr<CallControl> running;
  {
    threads::Lock lock(mutex_);
    stopping_ = true;
    running = running_;
    for (auto& call : waiting_) call.control->cancel();
  }
  if (running) running->cancel();
  wake_.notifyAll();
}

void CallQueue::work(std::stop_token stop) {
  for (;;) {
    ToolCall call;
    {
      threads::Lock lock(mutex_);
      wake_.wait(mutex_, stop,
                 [this]() REQUIRES(mutex_) { return !waiting_.empty() || stopping_; });
      if (waiting_.empty()) return;
      call = std::move(waiting_.front());
      waiting_.pop_front();
      running_ = call.control;
    }
    if (call.control->cancelled()) {
      call.abandon();
    } else {
      const ToolResult result = executor_.execute(call);
      if (call.control->cancelled()) {
        call.abandon();
      } else {
        call.finish(result);
      }
    }
    threads::Lock lock(mutex_);
    running_.reset();
  }
}

}  // namespace kex::mcp
