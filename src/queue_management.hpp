// Queue management: queues deleted on request, or by the daemon once their jobs are done.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

// Manage types of manageJobQueue.
enum QueueManageType : uint16_t { kCheckCompletedQueue = 0, kCheckEmptyQueue = 1 };

// Deletes the queue when the check finds it completed (all jobs finished) or empty:
// 0, or 37 when the queue cannot be read. An empty queue ID answers 0.
uint16_t manageJobQueue(const std::string& queueID, uint16_t manageType);

}  // namespace velmer
