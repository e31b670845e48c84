#include "persistence/backup_thread.hpp"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <future>
#include <mutex>
#include <thread>

#include "persistence/auto_delete.hpp"
#include "persistence/backup_file.hpp"
#include "persistence/flash_writer.hpp"
#include "jobs/job_create.hpp"
#include "jobs/job_registry.hpp"
#include "jobcache.h"
#include "persistence/key_value_store.hpp"
#include "persistence/legacy_format.hpp"
#include "persistence/restore.hpp"
#include "queues/scheduler_channel.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

// The buffer context. The stop flag is ours: the thread ends once it is set and the
// buffer is empty, so a command posted just before shutdown is still carried out.
struct JSbufData {
  std::deque<JSBackupCommand> commands;
  std::mutex mtxBuffer;
  std::condition_variable cvBuffer;
  bool stopRequested = false;
};

std::unique_ptr<JSbufData> bufData;
std::thread backupThreadSlot;
std::thread postRestoreThread;
FlashWriter flashWriter;
// True but while a backup thread restores the store: without one (the backup directory
// cannot be made) nothing is restored, and creations need not wait.
std::atomic<bool> restoreOver{true};
std::atomic<bool> stopping{false};

void runStartupSequence();
void serveBuffer();

// The backup thread's file writes are background work: at a lower priority they never
// preempt the D-Bus thread that answers clients (it holds the bus lock only briefly).
void lowerOwnPriority() {
  constexpr int kBackgroundNice = 5;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kBackgroundNice) != 0)
    trace_printf(2, 8, "[%s]: cannot lower the backup thread's priority\n", "backupThread");
}

void backupThread() {
  constexpr const char* kTag = "backupThread";
  lowerOwnPriority();
  trace_printf(4, 8, "[%s]: Entering backupThread\n", kTag);
  trace_printf(4, 8, "[%s]: Waiting for 2 seconds for the job service to be ready\n", kTag);
  {
    // A condition-variable wait is not cut short by signals; only a stop request ends it
    // early, and then the restore still runs, so the previous run's store is not lost.
    std::unique_lock lock(bufData->mtxBuffer);
    bufData->cvBuffer.wait_for(lock, std::chrono::seconds(2), [] { return bufData->stopRequested; });
  }
  runStartupSequence();
  ::malloc_trim(0);  // the restore's copies of the store are gone: their pages go back too
  serveBuffer();
  if (postRestoreThread.joinable()) postRestoreThread.join();
}

void refreshJobCache() {
  constexpr const char* kTag = "backupThread";
  trace_printf(4, 8, "[%s]: Setting JOBCACHE_ROLE environment variable\n", kTag);
  if (setenv("JOBCACHE_ROLE", "creator", 1) != 0)
    trace_printf(4, 8, "[%s]: Failed to set JOBCACHE_ROLE environment variable\n", kTag);
  if (JOBCACHE_UpdateJobInfoFromDBus() == 0)
    trace_printf(4, 8, "[%s]: jobcache cache updated\n", kTag);
  else
    trace_printf(4, 8, "[%s]: jobcache cache update failed\n", kTag);
  if (JOBCACHE_UpdateQueueInfoFromDBus() == 0)
    trace_printf(4, 8, "[%s]: jobcache queue cache updated\n", kTag);
  else
    trace_printf(4, 8, "[%s]: jobcache queue cache update failed\n", kTag);
}

// The upgrade restore adds what an older firmware wrote into the legacy copy. A copy
// that is still the one this daemon wrote last holds nothing of the kind, only jobs the
// store had at that moment: when the backup file was read whole, a job the copy holds
// that the store lacks was deleted (a crash came between the two writes) and must not
// come back. When the backup file is missing or damaged, the copy may hold what the
// backup file lost, and is read whatever it is.
void addJobsOfAnOlderFirmware(RestoredStore& restored) {
  if (restored.backupWhole && legacyCopyIsOwn()) {
    trace_printf(4, 8, "[%s]: The legacy copy is the one this daemon wrote last: nothing to add from it\n",
                 "backupThread");
    return;
  }
  JS_RestoreFromJqlegacyBackup(restored);
}

// A job restored with its delete mark had its deletion confirmed to a client before the
// stop; its removal is finished now. An empty store has nothing to look at.
void removeJobsMarkedForDeletion() {
  bool anyJob = false;
  {
    auto& registry = JobRegistry::instance();
    std::lock_guard lock(registry.mutex);
    anyJob = !registry.jobs.empty();
  }
  if (anyJob) JSProcessDeletionCommands(ClearAll);
}

// The post-restore tool may take seconds per running job: it runs beside the buffer,
// which is served meanwhile, and it starts before the first write of the store, which
// may take long on a busy flash. A stop starts no further tool. The start-up sequence is
// over once both are done.
std::promise<void> startupWritten;

void startPostRestore() {
  postRestoreThread = std::thread([written = startupWritten.get_future()] {
    JSPostRestore([] { return stopping.load(); });
    written.wait();
    trace_printf(4, 8, "[%s]: ___ Post restoration all job info\n", "backupThread");
  });
}

void runStartupSequence() {
  constexpr const char* kTag = "backupThread";
  RestoredStore restored;
  int rc = JSRestore(restored);
  trace_printf(4, 8, "[%s]: Restore returned rc=%d\n", kTag, rc);
  if (restored.complete) addJobsOfAnOlderFirmware(restored);
  removeJobsMarkedForDeletion();
  refreshJobCache();
  JSScheduleQueues();
  trace_printf(4, 8, "[%s]: ___ Scheduleed all queues Completed\n", kTag);
  // Entries of jobs kept on flash unpublished stay; a store not restored whole drops none.
  if (restored.complete)
    checkBLOBStatus([&](const std::string& jobID) { return restored.unpublished.contains(StoredKind::Job, jobID); });
  restoreOver = true;
  resumeCreationsAfterRestore();
  startPostRestore();
  flashWriter.start(restored);
  startupWritten.set_value();
}

struct Work {
  std::vector<JSBackupCommand> batch;
  bool stopping = false;
};

// Waits for commands, a stop request, or the moment a write falls due.
Work awaitWork(FlashClock::time_point writeDue) {
  constexpr const char* kTag = "backupThread";
  Work work;
  std::unique_lock lock(bufData->mtxBuffer);
  trace_printf(4, 8, "[%s]: Acquired lock on JSbufData->mtxBuffer\n", kTag);
  const auto commandOrStop = [] { return !bufData->commands.empty() || bufData->stopRequested; };
  if (writeDue == FlashClock::time_point::max())
    bufData->cvBuffer.wait(lock, commandOrStop);
  else
    bufData->cvBuffer.wait_until(lock, writeDue, commandOrStop);
  work.stopping = bufData->stopRequested;
  if (bufData->commands.empty()) return work;
  trace_printf(4, 8, "[%s]: Condition variable wait completed, buffer is not empty\n", kTag);
  work.batch = readFromBuffer();
  trace_printf(4, 8, "[%s]: Read commands from buffer, number of commands: %zu\n", kTag,
               work.batch.size());
  return work;
}

void runBatch(const std::vector<JSBackupCommand>& batch) {
  try {
    backupJCObjects(batch);
  } catch (const std::exception& e) {
    // The operations handle their own errors; whatever still escapes is reported and
    // the thread keeps serving.
    trace_printf(1, 8, "[%s]: batch failed: %s\n", "backupThread", e.what());
  }
}

FlashClock::time_point writeToFlash(bool stopping) {
  try {
    const FlashClock::time_point next = flashWriter.serve(stopping);
    // A write takes a copy of the whole store for a moment: its pages go back to the
    // system at once, not kept by malloc for the next one.
    ::malloc_trim(0);
    return next;
  } catch (const std::exception& e) {
    trace_printf(1, 8, "[%s]: writing the store failed: %s\n", "backupThread", e.what());
    flashWriter.markStale();
    return FlashClock::now() + kFirstRetryDelay;
  }
}

// Carries out commands as they come and brings the files on flash up to date after
// them, paced, until stopThread; at a stop the remaining commands and the writes they
// need are carried out at once.
void serveBuffer() {
  FlashClock::time_point writeDue = flashWriter.nextWake();
  for (;;) {
    const Work work = awaitWork(writeDue);
    if (!work.batch.empty()) runBatch(work.batch);
    writeDue = writeToFlash(work.stopping && work.batch.empty());
    if (work.stopping && work.batch.empty()) return;
  }
}

void deleteObjectCommand(const std::string& objectid) {
  constexpr const char* kTag = "backupJCObjects";
  JobInfoRecord job;
  if (fetchJobInfoProperties(objectid, job) == 0) {
    trace_printf(4, 8, "[%s]: Job name: %s Exists\n", kTag, job.jobName.c_str());
    CleanupDBusObject(objectid);  // the registry's key: a client may have changed jsJobID
    return;
  }
  JobQueueRecord queue;
  if (fetchQueueInfoProperties(objectid, queue) == 0) {
    trace_printf(4, 8, "[%s]: Queue name: %s Exists\n", kTag, queue.jsQueueID.c_str());
    CleanupDBusObject(objectid);  // the registry's key, not the client-writable jsQueueID
  }
}

// A waiting command that `command` can merge with: the same store-wide operation
// (whose effect is computed when it runs, so it stands for every later post), or a
// Delete of the same object.
bool mergesWithWaiting(const std::deque<JSBackupCommand>& waiting, const JSBackupCommand& command) {
  switch (command.operation) {
    case Create:
    case ClearAll:
    case AutoDelete:
      return std::any_of(waiting.begin(), waiting.end(),
                         [&](const JSBackupCommand& other) { return other.operation == command.operation; });
    case Delete:
      return std::any_of(waiting.begin(), waiting.end(), [&](const JSBackupCommand& other) {
        return other.operation == Delete && other.objectid == command.objectid;
      });
    default:
      return false;
  }
}

}  // namespace

void markBackupStale() { flashWriter.markStale(); }

bool storeRestored() { return restoreOver; }

void JSAllocateContextMemory() { bufData = std::make_unique<JSbufData>(); }

void JSDeallocateContextMemory() { bufData.reset(); }

bool jsWriteToBuffer(const std::string& objectid, uint8_t operation) {
  constexpr const char* kTag = "jsWriteToBuffer";
  trace_printf(4, 8, "[%s]: Entering jsWriteToBuffer function", kTag);
  trace_printf(4, 8, "[%s]: Object ID: %s, Operation: %d", kTag, objectid.c_str(), operation);
  try {
    if (!bufData) throw std::runtime_error("the command buffer is not allocated");
    std::lock_guard lock(bufData->mtxBuffer);
    trace_printf(4, 8, "[%s]: Acquired lock on JSbufData->mtxBuffer", kTag);
    JSBackupCommand command{operation, objectid};
    if (mergesWithWaiting(bufData->commands, command)) {
      trace_printf(4, 8, "[%s]: Merged with the waiting command, buffer size: %zu", kTag,
                   bufData->commands.size());
      bufData->cvBuffer.notify_one();
      return true;
    }
    if (bufData->commands.size() > kBackupBufferCapacity - 1) {
      trace_printf(1, 8, "[%s]: Buffer is full, command dropped: object %s, operation %d\n", kTag, objectid.c_str(),
                   operation);
      return false;
    }
    trace_printf(4, 8, "[%s]: Buffer is not full, proceeding with command write", kTag);
    bufData->commands.push_back(std::move(command));
    trace_printf(4, 8, "[%s]: Command written to buffer, buffer size: %zu", kTag,
                 bufData->commands.size());
    bufData->cvBuffer.notify_one();
    trace_printf(4, 8, "[%s]: Notified on JSbufData->cvBuffer", kTag);
    return true;
  } catch (const std::runtime_error& e) {
    trace_printf(4, 8, "[%s]: Runtime Exception caught: %s", kTag, e.what());
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Exception caught: %s", kTag, e.what());
  }
  return false;
}

std::vector<JSBackupCommand> readFromBuffer() {
  constexpr const char* kTag = "readFromBuffer";
  trace_printf(4, 8, "[%s]: Entering readFromBuffer function", kTag);
  trace_printf(4, 8, "[%s]: Acquired lock on JSbufData->mtxBuffer", kTag);
  std::vector<JSBackupCommand> result;
  auto& commands = bufData->commands;
  trace_printf(4, 8, "[%s]: Buffer is not empty, proceeding with reading commands", kTag);
  trace_printf(4, 8, "[%s]: Initial buffer size: %zu", kTag, commands.size());
  while (!commands.empty()) {
    trace_printf(4, 8, "[%s]: Read command from buffer, objectid: %s, operation: %d", kTag,
                 commands.front().objectid.c_str(), commands.front().operation);
    result.push_back(std::move(commands.front()));
    commands.pop_front();
    trace_printf(4, 8, "[%s]: Command removed from buffer, buffer size: %zu", kTag,
                 commands.size());
    trace_printf(4, 8, "[%s]: Command added to vector, vector size: %zu", kTag, result.size());
  }
  trace_printf(4, 8, "[%s]: Command read from buffer, buffer size: %zu", kTag, commands.size());
  return result;
}

void backupJCObjects(const std::vector<JSBackupCommand>& commands) {
  constexpr const char* kTag = "backupJCObjects";
  trace_printf(4, 8, "[%s]: Entering backupJCObjects, commands size: %zu\n", kTag, commands.size());
  for (const JSBackupCommand& command : commands) {
    const char* id = command.objectid.c_str();
    switch (command.operation) {
      case Create:
        trace_printf(4, 8, "[%s]: Create operation: %s\n", kTag, id);
        markBackupStale();
        break;
      case Delete:
        trace_printf(4, 8, "[%s]: Delete operation: %s\n", kTag, id);
        deleteObjectCommand(command.objectid);
        break;
      case ClearAll:
        trace_printf(4, 8, "[%s]: Clear All operation: %s\n", kTag, id);
        JSProcessDeletionCommands(ClearAll);
        break;
      case AutoDelete:
        trace_printf(4, 8, "[%s]: Auto Delete operation: %s\n", kTag, id);
        JSProcessDeletionCommands(AutoDelete);
        break;
      default:
        trace_printf(4, 8, "[%s]: Unknown operation: %d\n", kTag, command.operation);
        break;
    }
    trace_printf(4, 8, "[%s]: Command processed: %s, trigger jobcache cache\n", kTag, id);
  }
  trace_printf(4, 8, "[%s]: Exiting backupJCObjects\n", kTag);
}

void startThread() {
  constexpr const char* kTag = "startThread";
  if (!backupThreadSlot.joinable()) {
    trace_printf(4, 8, "[%s]: Thread not exists, creating", kTag);
    restoreOver = false;
    try {
      backupThreadSlot = std::thread(backupThread);
    } catch (...) {
      restoreOver = true;
      throw;
    }
  }
  trace_printf(4, 8, "[%s]: Thread created", kTag);
}

void stopThread() {
  constexpr const char* kTag = "stopThread";
  if (backupThreadSlot.joinable()) {
    trace_printf(4, 8, "[%s]: Thread exists, joining", kTag);
    stopping = true;
    {
      std::lock_guard lock(bufData->mtxBuffer);
      bufData->stopRequested = true;
    }
    bufData->cvBuffer.notify_all();
    backupThreadSlot.join();
  }
  trace_printf(4, 8, "[%s]: Thread joined", kTag);
}

int JSStartBackupThread() {
  constexpr const char* kTag = "JSStartBackupThread";
  trace_printf(4, 8, "[%s]: JSStartBackupThread: Entered\n", kTag);
  int rc = StartJSRestore();
  if (rc != 0) {
    trace_printf(4, 8, "[%s]: StartRestore returned rc=%d\n", kTag, rc);
    return rc;
  }
  try {
    startThread();
  } catch (const std::system_error& e) {
    trace_printf(2, 8, "[%s]: %s", kTag, e.what());
  }
  if (!backupThreadSlot.joinable()) {
    trace_printf(2, 8, "[%s]: Failed to create backup thread", kTag);
    return -1;
  }
  trace_printf(4, 8, "[%s]: Backup thread successfully created", kTag);
  trace_printf(4, 8, "[%s]: Exiting JSStartBackupThread,rc=%d\n", kTag, 0);
  return 0;
}

void JSScheduleQueues() {
  constexpr const char* kTag = "JSScheduleQueues";
  try {
    trace_printf(4, 8, "[%s]: Entering JSScheduleQueues\n", kTag);
    std::vector<std::string> queueIDs;
    uint16_t count = 0;
    if (fetchQueueInfoObjects(queueIDs, count) != 0) {
      trace_printf(4, 8, "[%s]: Error fetching queue info objects", kTag);
      return;
    }
    for (uint16_t i = 0; i < count && i < queueIDs.size(); ++i) {
      JobQueueRecord queue;
      if (fetchQueueInfoProperties(queueIDs[i], queue) != 0) {
        trace_printf(4, 8, "[%s]: Error fetching queue %s info properties", kTag, queueIDs[i].c_str());
        continue;
      }
      trace_printf(4, 8, "[%s]: Queue ID: %s", kTag, queueIDs[i].c_str());
      trace_printf(4, 8, "[%s]: Queue item count: %d", kTag, static_cast<int>(queue.itemCount));
      if (scheduleQueue(queueIDs[i], queue.startTime, queue.untilTime) != 0)
        trace_printf(4, 8, "[%s]: Schedule Queue API was unable to schedule this queue = %s\n", kTag,
                     queueIDs[i].c_str());
    }
    trace_printf(4, 8, "[%s]: Exiting JSScheduleQueues\n", kTag);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ JSScheduleQueues: Exception occurred: %s\n", kTag, e.what());
  }
}

}  // namespace velmer
