#include "queue_execution_peer.hpp"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "child_process.hpp"

namespace velmer::e2e {

namespace {

std::filesystem::path keyFileOf(const std::filesystem::path& root) { return root / "run/jqlegacy/js.ipc"; }

void putInt64At(std::array<uint8_t, 56>& bytes, size_t offset, int64_t value) {
  for (size_t i = 0; i < sizeof value; ++i)
    bytes[offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

// Payload offsets: start, until, then the ID field of 33 bytes and 7 reserved.
constexpr size_t kStartOffset = 0, kUntilOffset = 8, kIdOffset = 16, kIdFieldSize = 33;

// Room for more than the 56 bytes expected, so that a longer message is read and
// reported instead of failing msgrcv with E2BIG.
struct RawMessage {
  long type;
  uint8_t payload[128];
};

msqid_ds stateOf(int queueId) {
  msqid_ds state{};
  if (msgctl(queueId, IPC_STAT, &state) != 0) throw std::runtime_error("msgctl: " + std::string(std::strerror(errno)));
  return state;
}

}  // namespace

std::array<uint8_t, 56> expectedSchedulerPayload(int64_t startTime, int64_t untilTime, const std::string& queueID) {
  std::array<uint8_t, 56> bytes{};
  putInt64At(bytes, kStartOffset, startTime);
  putInt64At(bytes, kUntilOffset, untilTime);
  std::memcpy(bytes.data() + kIdOffset, queueID.data(), std::min<size_t>(queueID.size(), kIdFieldSize - 1));
  return bytes;
}

void createSchedulerKeyFile(const std::filesystem::path& root) {
  if (!std::filesystem::exists(keyFileOf(root))) std::ofstream(keyFileOf(root)).flush();
}

QueueExecutionPeer::QueueExecutionPeer(const std::filesystem::path& root) {
  createSchedulerKeyFile(root);
  key_t key = ftok(keyFileOf(root).c_str(), 1);
  if (key == -1) throw std::runtime_error("ftok: " + std::string(std::strerror(errno)));
  queueId_ = msgget(key, IPC_CREAT | IPC_EXCL | 0666);
  if (queueId_ == -1) throw std::runtime_error("msgget: " + std::string(std::strerror(errno)));
}

QueueExecutionPeer::~QueueExecutionPeer() { msgctl(queueId_, IPC_RMID, nullptr); }

std::optional<ReceivedSchedulerMessage> QueueExecutionPeer::receive(std::chrono::milliseconds timeout) {
  RawMessage raw{};
  ssize_t size = -1;
  waitUntil([&] { return (size = msgrcv(queueId_, &raw, sizeof raw.payload, 0, IPC_NOWAIT)) >= 0; }, timeout);
  if (size < 0) return std::nullopt;
  ReceivedSchedulerMessage message;
  if (size != static_cast<ssize_t>(message.payload.size()))
    throw std::runtime_error("a message of " + std::to_string(size) + " bytes, not 56");
  message.type = raw.type;
  std::memcpy(message.payload.data(), raw.payload, message.payload.size());
  return message;
}

std::vector<ReceivedSchedulerMessage> QueueExecutionPeer::receiveWaiting() {
  std::vector<ReceivedSchedulerMessage> messages;
  while (auto message = receive(std::chrono::milliseconds(0))) messages.push_back(*message);
  return messages;
}

size_t QueueExecutionPeer::pending() const { return stateOf(queueId_).msg_qnum; }

void QueueExecutionPeer::limitToOneMessage() {
  msqid_ds state = stateOf(queueId_);
  state.msg_qbytes = 56;
  if (msgctl(queueId_, IPC_SET, &state) != 0) throw std::runtime_error("msgctl: " + std::string(std::strerror(errno)));
}

}  // namespace velmer::e2e
