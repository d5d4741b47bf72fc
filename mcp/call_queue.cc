#include "mcp/call_queue.h"

#include <utility>

namespace kex::mcp {

CallQueue::CallQueue(ToolExecutor& executor)
    : executor_(executor), worker_([this](std::stop_token stop) { work(stop); }) {}

CallQueue::~CallQueue() { shutdown(); }

void CallQueue::shutdown() {
  stop();
  worker_.request_stop();
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void CallQueue::submit(ToolCall call) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      waiting_.push_back(std::move(call));
      wake_.notify_one();
      return;
    }
  }
  call.abandon();
}

void CallQueue::stop() {
  std::shared_ptr<CallControl> running;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    running = running_;
    for (auto& call : waiting_) call.control->cancel();
  }
  if (running) running->cancel();
  wake_.notify_all();
}

void CallQueue::work(std::stop_token stop) {
  for (;;) {
    ToolCall call;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, stop, [this] { return !waiting_.empty() || stopping_; });
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
    std::lock_guard lock(mutex_);
    running_.reset();
  }
}

}  // namespace kex::mcp
