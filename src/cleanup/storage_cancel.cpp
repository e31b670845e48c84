#include "cleanup/storage_cancel.hpp"

#include <cinttypes>

#include "cleanup/config_cleanup.hpp"
#include "cleanup/peer_call.hpp"
#include "cleanup/source_trace.hpp"

namespace velmer {

namespace {

const peer::Method kStorageConfigCancel{"com.zorvex.kelvo.storage", "/com/zorvex/kelvo/storage",
                                        "com.zorvex.kelvo.storage.service", "ConfigCancel"};
constexpr const char* kControllerInventory = "com.zorvex.kelvo.storage.controller.inventory";
constexpr const char* kDriveInventory = "com.zorvex.kelvo.storage.drive.inventory";

// P: the storage service refuses because the job is past the point where it can be
// cancelled; reported as 25, the code a deletion also passes on from the job-cancel tool.
constexpr uint64_t kStorageJobNotCancellable = 0x8000000000000007ULL;
// S: the service's "no further detail"; any other S means it could not finish the cancel.
constexpr uint64_t kStorageNoDetail = 0xFFFFFFFFULL;

// The drive is the more specific device: a name that matches a drive and its controller
// is about the drive. "" when neither matches.
std::string storageDeviceFqdd(const std::string& jobName) {
  const std::string controller = JS_getRAIDFQDDFromDBUS(jobName, kControllerInventory);
  const std::string drive = JS_getRAIDFQDDFromDBUS(jobName, kDriveInventory);
  if (!controller.empty() && !drive.empty()) {
    VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: both objTypes matched \n");
    return drive;
  }
  if (!controller.empty()) {
    VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Adaptor objType matched \n");
    return controller;
  }
  if (!drive.empty()) {
    VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Physical disk objType matched \n");
    return drive;
  }
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Nothing matched \n");
  return {};
}

// Logs the storage service's answer and gives its status.
uint16_t reportStorageAnswer(uint64_t p, uint64_t s) {
  constexpr const char* kOperation = "InvokeDeletePendingConfiguration_RAID";
  VELMER_TRACE_FOR(kOperation, 4, "%s.%d.%s: RAID ConfigCancel status = %" PRIu64 "\n", p);
  if (p == 0) {
    VELMER_TRACE_FOR(kOperation, 4, "%s.%d.%s: Successfully raid canceled config data\n");
    return 0;
  }
  VELMER_TRACE_FOR(kOperation, 4, "%s.%d.%s: failed to delete raid config data\n");
  VELMER_TRACE_FOR(kOperation, 4, "%s.%d.%s: return status = P %" PRIu64 " S %" PRIu64 "\n", p, s);
  const uint16_t status = storageCancelStatus(p, s);
  VELMER_TRACE_FOR(kOperation, 4, "%s.%d.%s: jcstatus = %d\n", status);
  return status;
}

}  // namespace

uint16_t storageCancelStatus(uint64_t p, uint64_t s) {
  if (p == 0) return 0;
  if (p == kStorageJobNotCancellable) return 25;
  return s != kStorageNoDetail ? 12 : 0;
}

void cleanUpStorageJob(const JobInfoRecord& job) {
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Cleaning up RAID or RT No reboot RAID job\n");
  const std::string fqdd = storageDeviceFqdd(job.jobName);
  if (fqdd.empty()) return;
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: FQDD: %s\n", fqdd.c_str());
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: invoking RAID delete\n");
  const uint16_t status =
      InvokeDeletePendingConfiguration_RAID(job.jsJobID, fqdd, kStorageConfigCancel.service, kStorageConfigCancel.path,
                                            kStorageConfigCancel.interface, kStorageConfigCancel.name);
  if (status != 0)
    trace_printf(2, 8, "[%s]: InvokeDeletePendingConfiguration_RAID failed with status %d", kCleanupOperation, status);
}

uint16_t InvokeDeletePendingConfiguration_RAID(const std::string& jobID, const std::string& fqdd,
                                               const std::string& busName, const std::string& objectPath,
                                               const std::string& interfaceName, const std::string& methodName) {
  using Answer = sdbus::Struct<uint64_t, uint64_t>;
  return peer::cancelCall<uint16_t, Answer>(
      "InvokeDeletePendingConfiguration_RAID", jobID, {busName, objectPath, interfaceName, methodName},
      [](const Answer& answer) { return reportStorageAnswer(std::get<0>(answer), std::get<1>(answer)); }, jobID, fqdd);
}

}  // namespace velmer
