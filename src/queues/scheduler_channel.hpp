// The System V message queue to the queue-execution process.
//
// The queue-execution process creates one message queue keyed by ftok(the IPC key file,
// 1); the daemon finds it with msgget (never creating it) and sends schedule (type 2)
// and kill (type 3) messages without waiting. The schedule and kill paths each cache
// their own key and identifier once obtained.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmer {

enum SchedulerMessageType : int64_t { kScheduleMessage = 2, kKillMessage = 3 };

// One message, 64 bytes; msgsnd sends the 56 bytes after `type`.
struct SchedulerMessage {
  int64_t type;
  int64_t startTime;
  int64_t untilTime;
  char queueID[33];  // at most 32 characters and a NUL
  char reserved[7];
};
static_assert(sizeof(SchedulerMessage) == 64, "scheduler message layout");
inline constexpr size_t kSchedulerPayloadSize = sizeof(SchedulerMessage) - sizeof(int64_t);

SchedulerMessage makeSchedulerMessage(int64_t type, int64_t startTime, int64_t untilTime, const std::string& queueID);

// Hands a queue to the queue-execution process: 0 when the message was sent, else 1.
int scheduleQueue(const std::string& queueID, int64_t startTime, int64_t untilTime);

// Withdraws a queue from the queue-execution process: 0 when sent, else 1.
int killQueue(const std::string& queueID);

}  // namespace velmer
