/* Shared job-cache library (stand-in).
 *
 * The controller keeps a job cache outside the daemon; the daemon mirrors every job and
 * queue into it. This stand-in keeps the cache in memory, keyed by job ID and queue ID,
 * safe to call from several threads, and answers 0. So that tests can see what reached
 * the cache, each change is also appended as one JSON object per line to the journal
 * file (paths::kJobCacheJournal, under the sandbox root):
 *
 *   {"op":"add_job","id":"JID_...","jobState":0,"jobStatus":"New","jobName":"..."}
 *   {"op":"add_queue","id":"QID_...","itemCount":2,"items":["JID_...","JID_..."]}
 *   {"op":"remove_job","id":"JID_..."}        {"op":"remove_queue","id":"QID_..."}
 *   {"op":"refresh_jobs","role":"creator"}     {"op":"refresh_queues","role":"creator"}
 *
 * Texts are taken up to their NUL or the field's width. "itemCount" is the value passed;
 * "items" lists at most the 256 IDs the array holds. "role" is JOBCACHE_ROLE at the time of
 * the refresh (null when unset). A null argument answers non-zero and changes nothing; a
 * journal that cannot be written is logged and does not fail the call.
 */
#ifndef VELMER_PLATFORM_JOBCACHE_H
#define VELMER_PLATFORM_JOBCACHE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A job as handed to the cache: 624 bytes, little-endian, texts NUL-terminated. */
typedef struct JobInfoObj {
  int64_t startTime;              /* 0 */
  int64_t untilTime;              /* 8 */
  int64_t completionTime;         /* 16 */
  uint32_t processID;             /* 24 */
  uint32_t runningTimeoutSeconds; /* 28 */
  char jobName[100];              /* 32 */
  char message[256];              /* 132 */
  char messageArgs[64];           /* 388 */
  char queueID[32];               /* 452 */
  char jobStatus[40];             /* 484 */
  char messageID[12];             /* 524 */
  char jsJobID[32];               /* 536 */
  uint8_t flags;                  /* 568 */
  uint8_t reservedA[3];           /* 569 */
  uint32_t jobType;               /* 572 */
  uint32_t jobState;              /* 576 */
  uint16_t percentComplete;       /* 580 */
  uint8_t reservedB[2];           /* 582 */
  int64_t latestUpdateTime;       /* 584 */
  int64_t creationTime;           /* 592 */
  uint8_t jobStateForInterface;   /* 600 */
  uint8_t reserved0;              /* 601 */
  uint8_t reservedC[6];           /* 602 */
  int64_t actualRunningStartTime; /* 608 */
  int64_t actualRunningStopTime;  /* 616 */
} JobInfoObj;

/* A queue as handed to the cache: 16448 bytes; only the named fields are significant. */
typedef struct JobQueueInfoObj {
  char jsQueueID[32];         /* 0 */
  int64_t startTime;          /* 32 */
  int64_t untilTime;          /* 40 */
  uint32_t flags;             /* 48 */
  uint32_t trackedJobCount;   /* 52 */
  uint8_t unused[8192];       /* 56 */
  uint8_t queueState;         /* 8248 */
  uint8_t reservedA[3];       /* 8249 */
  uint32_t itemCount;         /* 8252 */
  char jobQueueItem[256][32]; /* 8256 */
} JobQueueInfoObj;

int add_job_to_cache_new(const JobInfoObj* job);
int add_queue_to_cache_new(const JobQueueInfoObj* queue);
int remove_job_from_cache(const char* jobId);
int remove_queue_from_cache(const char* queueId);
int JOBCACHE_UpdateJobInfoFromDBus(void);
int JOBCACHE_UpdateQueueInfoFromDBus(void);

/* Remote call into the update-scheduling service. There is none on this machine:
 * the stand-in answers non-zero and leaves the output buffer untouched. */
uint16_t JOBCACHE_UpdateServiceDDFSCall(const char* functionName, const void* input, size_t inputLength,
                                        void* output, size_t outputLength);

#ifdef __cplusplus
}  /* extern "C" */

static_assert(sizeof(JobInfoObj) == 624, "JobInfoObj is 624 bytes");
static_assert(offsetof(JobInfoObj, jobName) == 32 && offsetof(JobInfoObj, message) == 132 &&
                  offsetof(JobInfoObj, messageArgs) == 388 && offsetof(JobInfoObj, queueID) == 452 &&
                  offsetof(JobInfoObj, jobStatus) == 484 && offsetof(JobInfoObj, messageID) == 524 &&
                  offsetof(JobInfoObj, jsJobID) == 536 && offsetof(JobInfoObj, flags) == 568 &&
                  offsetof(JobInfoObj, jobType) == 572 && offsetof(JobInfoObj, jobState) == 576 &&
                  offsetof(JobInfoObj, percentComplete) == 580 &&
                  offsetof(JobInfoObj, latestUpdateTime) == 584 && offsetof(JobInfoObj, creationTime) == 592 &&
                  offsetof(JobInfoObj, jobStateForInterface) == 600 && offsetof(JobInfoObj, reserved0) == 601 &&
                  offsetof(JobInfoObj, actualRunningStartTime) == 608 &&
                  offsetof(JobInfoObj, actualRunningStopTime) == 616,
              "JobInfoObj field offsets");
static_assert(sizeof(JobQueueInfoObj) == 16448, "JobQueueInfoObj is 16448 bytes");
static_assert(offsetof(JobQueueInfoObj, startTime) == 32 && offsetof(JobQueueInfoObj, flags) == 48 &&
                  offsetof(JobQueueInfoObj, trackedJobCount) == 52 &&
                  offsetof(JobQueueInfoObj, queueState) == 8248 && offsetof(JobQueueInfoObj, itemCount) == 8252 &&
                  offsetof(JobQueueInfoObj, jobQueueItem) == 8256,
              "JobQueueInfoObj field offsets");
#endif

#endif
