#include "persistence/key_value_writer.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/bus.hpp"
#include "bus/worker_thread.hpp"
#include "persistence/atomic_file.hpp"
#include "persistence/retry_delay.hpp"
#include "persistence/key_value_file.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

constexpr const char* kWriterTag = "persistBlobKeyValue";

// Whether the start-up restore has read the file, and whether the file must be renamed
// aside before it is written over: set by the restore, before any write.
std::atomic<bool> fileRestored{false};
std::atomic<bool> setAsidePending{false};

bool setAsideIfPending() {
  if (!setAsidePending) return true;
  const std::string aside = setFileAside(keyValueFilePath());
  if (aside.empty() && errno != ENOENT) {
    trace_printf(1, 8, "[%s]: the unreadable key-value file still cannot be set aside: %s\n", kWriterTag,
                 std::strerror(errno));
    return false;
  }
  if (!aside.empty())
    trace_printf(1, 8, "[%s]: the unreadable key-value file is set aside as %s\n", kWriterTag, aside.c_str());
  setAsidePending = false;
  return true;
}

bool writeKeyValueFileNow() {
  if (!fileRestored) {
    trace_printf(1, 8, "[%s]: the key-value file has not been read yet: not written\n", kWriterTag);
    return false;
  }
  return setAsideIfPending() && persistBlobKeyValue();
}

void answerWaiting(std::vector<KeyValueWritten>& waiting, bool written) {
  for (auto& reply : waiting) {
    try {
      reply(written);
    } catch (const std::exception& e) {
      trace_printf(2, 8, "[%s]: reply not sent: %s\n", kWriterTag, e.what());
    }
  }
}

class KeyValueWriter : bus::WorkerThread {
 public:
  using Clock = std::chrono::steady_clock;

  static KeyValueWriter& instance() {
    static KeyValueWriter writer;
    return writer;
  }

  ~KeyValueWriter() { stop(); }

  // With the bus lock held: queues a write, due at once for a client (`written` given),
  // else within the batch delay unless one is due already. False when the writer has
  // stopped or cannot be started: nothing is queued.
  bool add(KeyValueWritten* written) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    try {
      startIfIdle([this] { run(); });
    } catch (const std::system_error& e) {
      trace_printf(2, 8, "[%s]: no writer thread, written at once: %s\n", kWriterTag, e.what());
      return false;
    }
    const Clock::time_point now = Clock::now();
    if (written != nullptr) {
      waiting_.push_back(std::move(*written));
      due_ = now;
    } else if (!due_) {
      due_ = now + kKeyValueBatchDelay;
    }
    wake_.notify_one();
    return true;
  }

  void stop() { stopAndJoin(); }

 private:
  struct Batch {
    bool write = false;
    std::vector<KeyValueWritten> waiting;
  };

  void run() {
    for (;;) {
      Batch batch = next();
      if (!batch.write) return;
      const bool written = writeKeyValueFileNow();
      // The delay grows while retries fail; a client's write is tried at once and the
      // retries after it start again from the first delay.
      if (written || !batch.waiting.empty()) retryDelay_.succeeded();
      if (!written) retryLater(batch.waiting.size());
      if (batch.waiting.empty()) continue;
      bus::Access busAccess;
      answerWaiting(batch.waiting, written);
    }
  }

  // The next write once it is due (at once when stopping), with the replies waiting for
  // it; no write once stopped with nothing due.
  Batch next() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (due_ && (stopping_ || Clock::now() >= *due_)) {
        due_.reset();
        return {true, std::exchange(waiting_, {})};
      }
      if (stopping_) return {};
      if (due_)
        wake_.wait_until(lock, *due_);
      else
        wake_.wait(lock);
    }
  }

  void retryLater(size_t refused) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      trace_printf(1, 8, "[%s]: the key-value file was not written at shutdown: its last changes are lost\n",
                   kWriterTag);
      return;
    }
    const auto delay = retryDelay_.failed();
    const Clock::time_point retry = Clock::now() + delay;
    if (!due_ || retry < *due_) due_ = retry;
    trace_printf(1, 8, "[%s]: the key-value file was not written: %zu writes refused, retried in %lld ms\n",
                 kWriterTag, refused, static_cast<long long>(delay.count()));
  }

  std::vector<KeyValueWritten> waiting_;
  std::optional<Clock::time_point> due_;
  RetryDelay retryDelay_;  // the writer thread's alone
};

}  // namespace

void writeKeyValueFileFor(KeyValueWritten written) {
  if (KeyValueWriter::instance().add(&written)) return;
  std::vector<KeyValueWritten> waiting{std::move(written)};
  answerWaiting(waiting, writeKeyValueFileNow());
}

void writeKeyValueFileSoon() {
  if (!KeyValueWriter::instance().add(nullptr)) writeKeyValueFileNow();
}

bool persistBlobKeyValue() {
  try {
    trace_printf(4, 8, "[%s]: Persisting blobKeyValue to file\n", kWriterTag);
    const auto [store, timeout] = mainObject().visit(
        [](const MainRecord& main) { return std::make_pair(main.blobKeyValue, main.autoDeleteTimeout); });
    const std::string text = serializeBlobKeyValue(store, timeout);
    if (text.size() > kMaxKeyValueFileSize) {
      trace_printf(1, 8, "[%s]: the file would have %zu bytes, more than the reader takes: not written\n", kWriterTag,
                   text.size());
      return false;
    }
    AtomicFile file(keyValueFilePath());
    if (!file.open()) {
      trace_printf(2, 8, "[%s]: Unable to open file for writing\n", kWriterTag);
      return false;
    }
    if (!file.write(text.data(), text.size()) || !file.commit()) {
      trace_printf(2, 8, "[%s]: Exception: %s\n", kWriterTag, std::strerror(errno));
      return false;
    }
    trace_printf(4, 8, "[%s]: Successfully persisted blobKeyValue to file\n", kWriterTag);
    return true;
  } catch (const nlohmann::json::exception& e) {
    trace_printf(2, 8, "[%s]: JSON exception: %s\n", kWriterTag, e.what());
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception: %s\n", kWriterTag, e.what());
  }
  return false;
}

void keyValueFileRestored(const std::string& damage) {
  constexpr const char* kTag = "restoreBlobKeyValue";
  fileRestored = true;
  if (damage.empty()) return;
  const std::string aside = setFileAside(keyValueFilePath());
  if (!aside.empty()) {
    trace_printf(1, 8, "[%s]: %s; what could be read is kept, the file is set aside as %s\n", kTag, damage.c_str(),
                 aside.c_str());
  } else if (errno != ENOENT) {
    trace_printf(1, 8, "[%s]: %s; the file cannot be set aside (%s) and is not written over until it is\n", kTag,
                 damage.c_str(), std::strerror(errno));
    setAsidePending = true;
  }
}

void finishKeyValueWrites() { KeyValueWriter::instance().stop(); }

}  // namespace velmer
