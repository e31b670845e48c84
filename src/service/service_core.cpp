#include "service/service_core.hpp"

#include <malloc.h>

#include <atomic>
#include <csignal>
#include <mutex>

#include "cleanup/background_cleanup.hpp"
#include "persistence/backup_thread.hpp"
#include "bus/bus.hpp"
#include "bus/waiting_calls.hpp"
#include "clock.hpp"
#include "jobs/job_create.hpp"
#include "jobs/job_registry.hpp"
#include "persistence/key_value_store.hpp"
#include "persistence/key_value_writer.hpp"
#include "paths.hpp"
#include "service/service_main.hpp"
#include "service/service_status.hpp"
#include "trace.h"

namespace velmer {

namespace {

constexpr const char* kMainTag = "main";

std::atomic<int> receivedSignal{0};  // lock-free: written by the signal handler, on any thread

void publishServiceObjects() {
  if (!mainObjectExists()) {
    auto object = std::make_unique<Jobservicemain>(bus::connection(), kServiceObjectPath);
    object->announce();
    publishMainObject(std::move(object));
  }
  trace_printf(4, 8, "[%s]: job service dbus object created", kMainTag);
  if (!statusObjectExists()) {
    auto object = std::make_unique<Serviceinfo>(bus::connection(), kServiceObjectPath);
    object->announce();
    publishStatusObject(std::move(object));
  }
  trace_printf(4, 8, "[%s]: velmer status object  created", kMainTag);
}

// Start-up up to the main loop. Runs with the bus lock held: the backup thread starts
// in the middle of it and may touch the bus as soon as its wait is over.
void startUp() {
  trace_printf(4, 8, "[%s]: Entering job manager service main", kMainTag);
  std::signal(SIGTERM, signal_handler);
  std::signal(SIGINT, signal_handler);
  std::lock_guard busLock(bus::lock());
  bus::openSystemBus();
  bus::connection().addObjectManager(kServiceObjectPath, sdbus::floating_slot);
  bus::requestNameReplacing(kServiceBusName);
  trace_printf(4, 8, "[%s]: service started", kMainTag);
  publishServiceObjects();
  statusObject().serviceName("JobManager");
  if (jsJobMainInit() != 0) trace_printf(4, 8, "[%s]: job service init failed", kMainTag);
  trace_printf(4, 8, "[%s]: job service init done", kMainTag);
  statusObject().LastupdatedTime(static_cast<uint64_t>(currentTimeSeconds()));
  JobRegistry::instance();
  trace_printf(4, 8, "[%s]: job utils singleton object created & status time set", kMainTag);
}

void shutDownAfterSignal() {
  constexpr const char* kTag = "signal_handler";
  trace_printf(4, 8, "[%s]: process received signal: %s\n", kTag, receivedSignal == SIGTERM ? "SIGTERM" : "SIGINT");
  finishWaitingCreations();  // answered, and no job made after the files are written
  bus::finishWaitingCalls();  // the running deletion ends; the waiting ones are refused
  // The backup thread writes both files one last time when it ends, with every change
  // made until now; it is the only writer, and it writes only a store it has restored, so
  // a stop before the restore (or without a backup thread) leaves the files as they were.
  stopThread();
  finishKeyValueWrites();  // after the backup thread's last removals
  JSDeallocateContextMemory();
  waitForBackgroundCleanups();
  trace_printf(4, 8, "[%s]: Deallocate context memory done", kTag);
  trace_printf(4, 8, "[%s]: Exiting job manager service main", kTag);
}

void stopAfterError(const std::exception& e) {
  trace_printf(1, 8, "[%s]: Error starting job service thread exception: %s", kMainTag, e.what());
  finishWaitingCreations();
  bus::finishWaitingCalls();
  stopThread();
  finishKeyValueWrites();
  JSDeallocateContextMemory();
  waitForBackgroundCleanups();
  trace_printf(4, 8, "[%s]: Stop backup thread done", kMainTag);
}

// Withdraws every object and closes the connection. The name goes with the connection,
// so the objects leave without signals.
void tearDown() {
  std::lock_guard busLock(bus::lock());
  bus::setQuietTeardown(true);
  auto& registry = JobRegistry::instance();
  // The objects are taken out under the registry mutex but destroyed after it: a
  // destructor enters the binding library's own lock, which request dispatch holds
  // while it takes the registry mutex.
  decltype(registry.jobs) jobs;
  decltype(registry.queues) queues;
  decltype(registry.statusObjects) statusObjects;
  {
    std::lock_guard registryLock(registry.mutex);
    jobs.swap(registry.jobs);
    queues.swap(registry.queues);
    statusObjects.swap(registry.statusObjects);
  }
  jobs.clear();
  queues.clear();
  statusObjects.clear();
  releaseStatusObject().reset();
  releaseMainObject().reset();
  bus::closeConnection();
}

}  // namespace

void signal_handler(int signalNumber) {
  receivedSignal = signalNumber;
  bus::requestLoopExit();
}

uint32_t jsJobMainInit() {
  constexpr const char* kTag = "jsJobMainInit";
  try {
    trace_printf(4, 8, "[%s]: job main init\n", kTag);
    trace_printf(4, 8, "[%s]: job main set maxjobs, autodelete \n", kTag);
    Jobservicemain& main = mainObject();
    main.maxJobsInStore(uint16_t{256});
    main.numJobsInStore(uint16_t{0});
    main.autoDeleteTimeout(uint32_t{172800}, false);
    main.autoDeleteCapacity(uint16_t{128});
    trace_printf(4, 8, "[%s]: job main init done \n", kTag);
    JSAllocateContextMemory();
    trace_printf(4, 8, "[%s]: Allocate context memory done \n", kTag);
    int rc = JSStartBackupThread();
    if (rc != 0) {
      trace_printf(4, 8, "[%s]: Start backup thread failed \n", kTag);
      statusObject().serviceStatus(ServiceStatus::NOT_READY);
      trace_printf(4, 8, "[%s]: Set velmerd status as not ready \n", kTag);
    } else {
      trace_printf(4, 8, "[%s]: Start backup thread success \n", kTag);
      statusObject().serviceStatus(ServiceStatus::READY);
      trace_printf(4, 8, "[%s]: Set velmerd status as ready \n", kTag);
    }
    trace_printf(4, 8, "[%s]: Start backup thread done \n", kTag);
    restoreBlobKeyValue();
    trace_printf(4, 8, "[%s]: Restore blob key value done \n", kTag);
    return static_cast<uint32_t>(rc);
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: %s\n", kTag, e.what());
    return 37;
  }
}

int runDaemon(const DaemonOptions& options) {
  // Blocks of 64 KiB and more (record buffers, file buffers) are mapped and returned to the
  // system when freed, and free memory above 128 KiB at the top of a heap is returned too:
  // by default malloc raises both limits as it sees large blocks freed, and the heaps
  // then keep that memory for good. Every thread shares one heap: the daemon's threads
  // allocate little and seldom, and a heap of its own would keep pages for each.
  ::mallopt(M_ARENA_MAX, 1);
  ::mallopt(M_MMAP_THRESHOLD, 64 * 1024);
  ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
  paths::setRoot(options.root);
  trace_set_threshold(options.traceLevel);
  try {
    startUp();
    bus::runLoop();
  } catch (const std::exception& e) {
    stopAfterError(e);
    tearDown();
    return 1;
  }
  shutDownAfterSignal();
  tearDown();
  return 0;
}

}  // namespace velmer
