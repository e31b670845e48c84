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

enum SchedulerMessageType : long { kScheduleMessage = 2, kKillMessage = 3 };

// What the receiver reads after the type: 56 bytes, the same on every architecture.
struct [[gnu::packed]] SchedulerPayload {
  int64_t startTime;
  int64_t untilTime;
  char queueID[33];  // at most 32 characters and a NUL
  char reserved[7];
};
static_assert(sizeof(SchedulerPayload) == 56, "scheduler payload layout");

// One message as msgsnd reads it: the type is a `long` (4 bytes on 32-bit ARM, 8 on 64-bit
// targets) and the payload follows it at once.
struct SchedulerMessage {
  long type;
  SchedulerPayload payload;
};
static_assert(offsetof(SchedulerMessage, payload) == sizeof(long), "the payload follows the type");

SchedulerMessage makeSchedulerMessage(long type, int64_t startTime, int64_t untilTime, const std::string& queueID);

// Hands a queue to the queue-execution process: 0 when the message was sent, else 1.
int scheduleQueue(const std::string& queueID, int64_t startTime, int64_t untilTime);

// Withdraws a queue from the queue-execution process: 0 when sent, else 1.
int killQueue(const std::string& queueID);

}  // namespace velmer
