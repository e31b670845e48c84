// Queue management: queues deleted on a client's request, or by the daemon once their
// jobs have finished or are gone. Deleting a queue here means removing it from the job
// cache and posting a Delete command; the backup thread then removes the object. A queue
// withdrawn (by a client, or by a forced clear-all) is first taken back from the
// queue-execution process.
#pragma once

#include <cstdint>
#include <string>

#include "queues/queue_record.hpp"

namespace velmer {

// Manage types of manageJobQueue.
enum QueueManageType : uint16_t { kCheckCompletedQueue = 0, kCheckEmptyQueue = 1 };

// Deletes the queue when the check finds it completed or empty: 0, or the code of the
// queue read (37) when the queue cannot be read. An empty queue ID answers 0.
uint16_t manageJobQueue(const std::string& queueID, uint16_t manageType);

// Non-zero when the queue is to be deleted: no job left that is not marked for deletion.
uint16_t emptyQueueCheck(const JobQueueRecord& queue);

// Non-zero when the queue is to be deleted: every job that still exists has finished.
uint16_t completedQueueCheck(const JobQueueRecord& queue);

void printJobQueueInfo(const JobQueueRecord& queue);

// Deletes the queue registered under `queueID`: its new jobs are released (free to be
// scheduled again), the queue leaves the job cache and a Delete command is posted. With
// the bus lock (job objects change).
void deleteQueue(const char* tag, const std::string& queueID, const JobQueueRecord& queue);

// Withdraws a queue the queue-execution process may still run: a kill message, then
// deleteQueue. The second form reads the queue first: 0, or the code of that read.
void withdrawQueue(const char* tag, const std::string& queueID, const JobQueueRecord& queue);
uint16_t withdrawQueue(const char* tag, const std::string& queueID);

}  // namespace velmer
