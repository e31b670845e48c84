#include "cleanup/background_cleanup.hpp"

#include <czmq.h>

#include <bit>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "funcbroker.h"
#include "cleanup/source_trace.hpp"
#include "jobs/job_delete.hpp"

namespace velmer {

static_assert(sizeof(EFI_DCS_REQUEST) == 40, "the DCS request record is 40 bytes");
static_assert(std::endian::native == std::endian::little, "the DCS records are built in native byte order");

namespace {

constexpr uint32_t kDcsRequestRevision = 2;
constexpr uint32_t kDcsOperationSync = 4;
constexpr uint32_t kDcsOperationCancel = 1024;
// Both commands act on every configuration set.
constexpr EFI_DCS_CHAR kAllConfigSets[] = {'A', 'l', 'l', 0};

constexpr auto kShutdownWaitLimit = std::chrono::seconds(10);

// The workers in flight. Never destroyed: a worker that is still ending when the process
// exits (the shutdown wait is bounded) must find it intact.
struct Workers {
  std::mutex mutex;
  std::condition_variable allDone;
  size_t running = 0;
};

Workers& workers() {
  static Workers* instance = new Workers;
  return *instance;
}

void workerStarting() {
  std::lock_guard lock(workers().mutex);
  ++workers().running;
}

void workerEnded() {
  std::lock_guard lock(workers().mutex);
  if (--workers().running == 0) workers().allDone.notify_all();
}

uint64_t addressOf(const EFI_DCS_CHAR* text) { return reinterpret_cast<uintptr_t>(text); }

struct FreeDeleter {
  void operator()(void* memory) const { std::free(memory); }
};

// CZMQ keeps its signal-handler state in process-wide variables without a lock, and
// restarts from two forced clear-alls should not overlap: one restart at a time.
std::mutex& restartMutex() {
  static std::mutex mutex;
  return mutex;
}

uint16_t requestDataManagerRestart() {
  constexpr const char* kOperation = "JC_restart_DM_nonroot";
  funcbroker_client* client = nullptr;
  const int initStatus = funcbroker_async_client_init(&client, "jobcache", 7);
  if (initStatus != 0) {
    VELMER_TRACE_FOR(kOperation, 1, "%s.%d.%s: funcbroker_async_client_init() failed %d\n", initStatus);
    return 12;
  }
  if (client == nullptr) {
    VELMER_TRACE_FOR(kOperation, 1, "%s.%d.%s: funcbroker_async_client_init() failed. %d\n", initStatus);
    return 12;
  }
  const funcbroker_request request{};  // the restart takes no arguments
  const int status = funcbroker_sync_function_execute(client, "privhelperd_restart_DM", &request, 5000);
  funcbroker_cli_destroy(client);
  if (status != 0) {
    VELMER_TRACE_FOR(kOperation, 1, "%s.%d.%s: funcbroker_sync_function_execute failed with status %d\n", status);
    return 19;
  }
  return 0;
}

}  // namespace

bool dcsCancelSkips(std::string_view jobID) {
  return std::string_view(kClearAll).starts_with(jobID) || std::string_view(kClearAllForce).starts_with(jobID);
}

void fillDcsJobId(EFI_DCS_CHAR* wide, const char* jobID) {
  size_t i = 0;
  for (; i + 1 < kDcsJobIdUnits && jobID[i] != '\0'; ++i) wide[i] = static_cast<unsigned char>(jobID[i]);
  wide[i] = 0;
}

EFI_DCS_REQUEST makeDcsSyncRequest() {
  EFI_DCS_REQUEST request{};
  request.Revision = kDcsRequestRevision;
  request.Operation = kDcsOperationSync;
  request.ConfigSetName = addressOf(kAllConfigSets);
  return request;
}

EFI_DCS_REQUEST makeDcsCancelRequest(const EFI_DCS_CHAR* wideJobID) {
  EFI_DCS_REQUEST request{};
  request.Revision = kDcsRequestRevision;
  request.Operation = kDcsOperationCancel;
  request.ConfigSetName = addressOf(kAllConfigSets);
  request.JobId = addressOf(wideJobID);
  return request;
}

EFI_DCS_PROTOCOL* JC_GetDCSProto() {
  VELMER_TRACE_HERE(4, "%s.%d.%s: enter\n");
  VELMER_TRACE_HERE(4, "%s.%d.%s: calling initLinuxEfiLib\n");
  initLinuxEfiLib();
  VELMER_TRACE_HERE(4, "%s.%d.%s: done.\n");
  const EFI_GUID guid = EFI_DCS_PROTOCOL_GUID;
  size_t count = 0;
  void** instances = nullptr;
  if (getProtocolInstanceByGuid(&guid, &count, &instances) != 0 || instances == nullptr) {
    VELMER_TRACE_HERE(1, "%s.%d.%s: getProtocolInstanceByGuid failed.\n");
    return nullptr;
  }
  auto* instance = static_cast<EFI_DCS_PROTOCOL*>(instances[0]);
  std::free(instances);
  return instance;
}

void JC_CallDCSSynchFromDB() {
  VELMER_TRACE_HERE(4, "%s.%d.%s: enter\n");
  EFI_DCS_PROTOCOL* dcs = JC_GetDCSProto();
  if (dcs == nullptr) {
    VELMER_TRACE_HERE(1, "%s.%d.%s: unable to get DCS Protocol\n");
    return;
  }
  EFI_DCS_REQUEST request = makeDcsSyncRequest();
  EFI_DCS_RESPONSE response{};
  const uint64_t status = dcs->Entry(dcs, EFI_DCS_MGMT_CMD_SYNC, &request, &response);
  if (status != 0)
    VELMER_TRACE_HERE(1, "%s.%d.%s: EFI_DCS_MGMT_CMD_SYNC returned an error, ignored, status=0x%zx\n",
                      static_cast<size_t>(status));
}

void JC_CallDCSCancel(const char* jobID) {
  VELMER_TRACE_HERE(4, "%s.%d.%s: enter\n");
  if (jobID == nullptr || *jobID == '\0') return;
  VELMER_TRACE_HERE(4, "%s.%d.%s: jcID=[%s]\n", jobID);
  EFI_DCS_PROTOCOL* dcs = JC_GetDCSProto();
  if (dcs == nullptr) {
    VELMER_TRACE_HERE(4, "%s.%d.%s: unable to get DCS Protocol\n");
    return;
  }
  // The library's own allocator, as its C callers use it.
  std::unique_ptr<EFI_DCS_CHAR, FreeDeleter> wide(
      static_cast<EFI_DCS_CHAR*>(std::calloc(kDcsJobIdUnits, sizeof(EFI_DCS_CHAR))));
  if (!wide) {
    VELMER_TRACE_HERE(4, "%s.%d.%s: out of memory\n");
    return;
  }
  fillDcsJobId(wide.get(), jobID);
  EFI_DCS_REQUEST request = makeDcsCancelRequest(wide.get());
  EFI_DCS_RESPONSE response{};
  const uint64_t status = dcs->Entry(dcs, EFI_DCS_MGMT_CMD_CANCEL, &request, &response);
  // A job that never staged anything is refused: expected, hence only a detail line.
  if (status != 0)
    VELMER_TRACE_HERE(5, "%s.%d.%s: EFI_DCS_MGMT_CMD_CANCEL returned an expected error, ignored, status=0x%zx\n",
                      static_cast<size_t>(status));
}

void JC_CallDCSCancelForList(const std::vector<std::string>& jobIDs) {
  constexpr const char* kTag = "JC_CallDCSCancelForList";
  trace_printf(4, 8, "[%s]: Entering\n", kTag);
  if (jobIDs.empty()) {
    trace_printf(4, 8, "[%s]: No jobs to cancel\n", kTag);
    return;
  }
  trace_printf(4, 8, "[%s]: item count=%zu\n", kTag, jobIDs.size());
  for (const auto& jobID : jobIDs) trace_printf(4, 8, "[%s]: listing jcID=[%s]\n", kTag, jobID.c_str());
  for (const auto& jobID : jobIDs) {
    if (dcsCancelSkips(jobID)) {
      trace_printf(4, 8, "[%s]: Skipping jcID=[%s]\n", kTag, jobID.c_str());
      continue;
    }
    trace_printf(4, 8, "[%s]: Cancelling jcID=[%s]\n", kTag, jobID.c_str());
    JC_CallDCSCancel(jobID.c_str());
  }
}

uint16_t JC_restart_DM_nonroot() {
  VELMER_TRACE_HERE(5, "%s.%d.%s: before starting DM restart in clearall force case\n");
  std::lock_guard serialized(restartMutex());
  const uint16_t result = requestDataManagerRestart();
  // The broker is built on CZMQ, whose default handling of SIGINT and SIGTERM must not
  // take over from the daemon's own.
  zsys_handler_set(nullptr);
  return result;
}

void JS_CleanupInBackgroundWork(const std::vector<std::string>& jobIDs, uint16_t force) {
  constexpr const char* kTag = "JS_CleanupInBackgroundWork";
  trace_printf(4, 8, "[%s]: Entering cleanup thread\n", kTag);
  JC_CallDCSSynchFromDB();
  JC_CallDCSCancelForList(jobIDs);
  JC_CallDCSSynchFromDB();
  if (force != 0) {
    VELMER_TRACE_HERE(5, "%s.%d.%s: before starting DM restart in clearall force case\n");
    if (JC_restart_DM_nonroot() != 0)
      VELMER_TRACE_HERE(2, "%s.%d.%s: unable to trigger the DM restart\n");
    else
      VELMER_TRACE_HERE(5, "%s.%d.%s: after starting DM restart in clearall force case\n");
  }
  trace_printf(4, 8, "[%s]: Cleanup thread done\n", kTag);
}

void JS_CleanupInBackground(std::vector<std::string> jobIDs, uint16_t force) {
  constexpr const char* kTag = "JS_CleanupInBackground";
  trace_printf(4, 8, "[%s]: Entering\n", kTag);
  workerStarting();
  try {
    std::thread([jobIDs = std::move(jobIDs), force] {
      // The deletion's reply has gone: a failure here can only be logged.
      try {
        JS_CleanupInBackgroundWork(jobIDs, force);
      } catch (const std::exception& e) {
        trace_printf(2, 8, "[%s]: cleanup thread failed: %s\n", "JS_CleanupInBackgroundWork", e.what());
      } catch (...) {
        trace_printf(2, 8, "[%s]: cleanup thread failed\n", "JS_CleanupInBackgroundWork");
      }
      workerEnded();
    }).detach();
  } catch (const std::exception& e) {
    workerEnded();
    trace_printf(2, 8, "[%s]: Failed to create cleanup thread: %s\n", kTag, e.what());
  }
}

void waitForBackgroundCleanups() {
  std::unique_lock lock(workers().mutex);
  if (!workers().allDone.wait_for(lock, kShutdownWaitLimit, [] { return workers().running == 0; })) {
    trace_printf(2, 8, "[%s]: %zu cleanup threads still running, not waited for\n", "waitForBackgroundCleanups",
                 workers().running);
  }
}

}  // namespace velmer
