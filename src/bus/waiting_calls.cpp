#include "bus/waiting_calls.hpp"

#include <deque>
#include <exception>
#include <optional>
#include <utility>

#include "bus/bus.hpp"
#include "bus/worker_thread.hpp"
#include "trace.h"

namespace velmer::bus {

namespace {

class WaitingCallThread : WorkerThread {
 public:
  static WaitingCallThread& instance() {
    static WaitingCallThread thread;
    return thread;
  }

  ~WaitingCallThread() { stop(); }

  // Throws and keeps nothing when the thread cannot be started.
  void add(WaitingCall& call) {
    std::lock_guard lock(mutex_);
    startIfIdle([this] { run(); });
    calls_.push_back(std::move(call));
    wake_.notify_one();
  }

  void stop() { stopAndJoin(); }

 private:
  void run() {
    for (;;) {
      auto [call, stopping] = next();
      if (!call) return;
      Access busAccess(Access::WhileWaiting::Yield);
      guarded(stopping ? call->refuse : call->run);
    }
  }

  // The next call, and whether it is to be refused; nothing once stopped and empty.
  std::pair<std::optional<WaitingCall>, bool> next() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || !calls_.empty(); });
    if (calls_.empty()) return {std::nullopt, true};
    WaitingCall call = std::move(calls_.front());
    calls_.pop_front();
    return {std::move(call), stopping_};
  }

  static void guarded(const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& e) {
      trace_printf(1, 8, "[%s]: a waiting call failed: %s", "runWaitingCall", e.what());
    }
  }

  std::deque<WaitingCall> calls_;
};

}  // namespace

void runWaitingCall(WaitingCall call) {
  try {
    WaitingCallThread::instance().add(call);
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: no thread for the call, it runs on the loop: %s", "runWaitingCall", e.what());
    call.run();
  }
}

void finishWaitingCalls() { WaitingCallThread::instance().stop(); }

sdbus::Error stoppingError() { return sdbus::Error(kErrorName, "velmerd is stopping: the call was not run"); }

}  // namespace velmer::bus
