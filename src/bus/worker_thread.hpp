// The shape shared by the threads that answer calls later (creations waiting for room,
// calls waiting on tools and peers): started on first use, woken through `wake_`, and
// ended by stopAndJoin(). The derived class keeps its queue under `mutex_`.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace velmer::bus {

class WorkerThread {
 public:
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

 protected:
  WorkerThread() = default;
  ~WorkerThread() = default;  // the derived class stops the thread in its own destructor

  // With mutex_ held: starts the thread on `body` unless it runs. Throws when it cannot.
  void startIfIdle(std::function<void()> body) {
    if (!thread_.joinable()) thread_ = std::thread(std::move(body));
  }

  // Sets stopping_, wakes the thread and waits until it has ended.
  void stopAndJoin() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  std::mutex mutex_;  // leaf lock: guards stopping_ and the derived class's queue
  std::condition_variable wake_;
  bool stopping_ = false;

 private:
  std::thread thread_;
};

}  // namespace velmer::bus
