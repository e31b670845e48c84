// The System V message queue to the queue-execution process.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

// Hands a queue to the queue-execution process: 0 when the message was sent, else 1.
int scheduleQueue(const std::string& queueID, int64_t startTime, int64_t untilTime);

// Withdraws a queue from the queue-execution process: 0 when sent, else 1.
int killQueue(const std::string& queueID);

}  // namespace velmer
