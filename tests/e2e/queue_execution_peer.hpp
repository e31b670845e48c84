// The queue-execution process as the daemon sees it: the owner of the System V message
// queue keyed by ftok(ROOT/run/jqlegacy/js.ipc, 1). A test that plays it creates the
// message queue before it schedules, reads what the daemon sends, and the queue is
// removed when the peer goes out of scope, whatever the test's outcome.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmer::e2e {

// One message as msgrcv returns it: the type and the 56 bytes after it.
struct ReceivedSchedulerMessage {
  int64_t type = 0;
  std::array<uint8_t, 56> payload{};
  bool operator==(const ReceivedSchedulerMessage&) const = default;
};

// The 56 payload bytes the daemon must send for a queue: both times little-endian, the
// ID cut to 32 characters, NUL-padded.
std::array<uint8_t, 56> expectedSchedulerPayload(int64_t startTime, int64_t untilTime, const std::string& queueID);

// Creates the key file ROOT/run/jqlegacy/js.ipc (empty) if it does not exist yet.
void createSchedulerKeyFile(const std::filesystem::path& root);

class QueueExecutionPeer {
 public:
  // Creates the key file and a new message queue for it; throws when the queue cannot
  // be made or one with that key exists already (another test's, which must not be
  // shared).
  explicit QueueExecutionPeer(const std::filesystem::path& root);
  ~QueueExecutionPeer();
  QueueExecutionPeer(const QueueExecutionPeer&) = delete;
  QueueExecutionPeer& operator=(const QueueExecutionPeer&) = delete;

  // The next message, waiting up to `timeout` for it.
  std::optional<ReceivedSchedulerMessage> receive(std::chrono::milliseconds timeout);
  // Every message waiting now, oldest first.
  std::vector<ReceivedSchedulerMessage> receiveWaiting();
  // Messages waiting to be read.
  size_t pending() const;
  // Shrinks the message queue to room for one message, so that the next send finds it full.
  void limitToOneMessage();

 private:
  int queueId_ = -1;
};

}  // namespace velmer::e2e
