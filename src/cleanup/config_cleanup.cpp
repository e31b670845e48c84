#include "cleanup/config_cleanup.hpp"

#include "bus/bus.hpp"

#include <algorithm>
#include <cctype>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "cfg.h"
#include "jobs/job_state.hpp"
#include "bus/method_handlers.hpp"
#include "paths.hpp"
#include "cleanup/peer_call.hpp"
#include "cleanup/source_trace.hpp"
#include "cleanup/storage_cancel.hpp"
#include "utl.h"

namespace velmer {

namespace {

const peer::Method kGetSubTree{"xyz.openbmc_project.ObjectMapper", "/xyz/openbmc_project/object_mapper",
                               "xyz.openbmc_project.ObjectMapper", "GetSubTree"};
const peer::Method kSetConfigCancel{"com.zorvex.kelvo.system", "/com/zorvex/kelvo/system/HIIConfigMgr",
                                    "com.zorvex.kelvo.system.HIIConfig", "SetConfigCancel"};
const peer::Method kCancelSetBIOSTime{"com.zorvex.kelvo.provisiond", "/com/zorvex/kelvo/provisiond",
                                      "com.zorvex.kelvo.provisiond.biostime", "cancelSetBIOSTime"};
constexpr const char* kBiosInventoryService = "com.zorvex.kelvo.system";
constexpr const char* kBiosInventoryPath = "/xyz/openbmc_project/inventory/system/BIOS";
constexpr const char* kBiosInventoryInterface = "com.zorvex.kelvo.inventory.BaseSwInventory";
constexpr const char* kBiosFqddProperty = "FQDD";

// A job with this in its name updates the controller's own firmware together with the
// feature firmware; deleting it must not leave the update marked active.
constexpr std::string_view kControllerFirmwareMarker = "kelvo with tamber";

// The mapper's answer: object path -> bus name -> interfaces, in the order it was sent.
using SubTree = peer::OrderedDict<std::string, peer::OrderedDict<std::string, std::vector<std::string>>>;

enum JobKind : uint16_t {
  kStorageJob = 60,
  kBiosJob = 61,
  kNicJob = 62,
  kFibreChannelJob = 63,
  kInfiniBandJob = 64,
  kControllerAttributesJob = 65,
  kSystemAttributesJob = 66,
  kRealTimeStorageJob = 75,
  kFeatureAttributesJob = 160,
  kBackupJob = 164,
  kRestoreJob = 165,
  kSystemEraseJob = 200,
  kBiosTimeJob = 212,
};

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool containsIgnoringCase(std::string_view text, std::string_view lowerNeedle) {
  return lowerCase(text).find(lowerNeedle) != std::string::npos;
}

// "-jobid=" + value. Out of memory is the one way to fail, and it fails only this
// clean-up: nothing is started and the caller reports 12.
std::optional<std::string> formatArgument(std::string_view prefix, const std::string& value) noexcept {
  try {
    std::string argument(prefix);
    argument += value;
    return argument;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

// Made for every job type: a deleted controller-firmware job leaves no update marked active.
void clearControllerFirmwareFlag(const JobInfoRecord& job) {
  constexpr const char* kTag = kCleanupOperation;
  if (!containsIgnoringCase(job.jobName, kControllerFirmwareMarker)) return;
  trace_printf(4, 8, "[%s]:Clean up the Kelvo active flag: JobNameToAPI :  %s", kTag, job.jobName.c_str());
  trace_printf(4, 8, "[%s]:Clean up the Kelvo active flag: jobID = %s", kTag, job.jsJobID.c_str());
  trace_printf(4, 8, "[%s]:Clean up the Kelvo active flag: jobState = %d", kTag, static_cast<int>(job.jobState));
  uint8_t active = 0;
  const uint16_t status = JS_IsKelvoFWUpdateActive(active);
  if (status != 0) {
    trace_printf(4, 8, "[%s]: Not able to get Kelvo job status, status=%d\n", kTag, status);
    return;
  }
  trace_printf(4, 8, "[%s]: status of kelvo_update_is_active = %d \n", kTag, active);
  if (active == 0) {
    trace_printf(4, 8, "[%s]: kelvo update is not  active\n", kTag);
    return;
  }
  const uint16_t setStatus = JS_SetkelvofwJobState(30);
  if (setStatus != 0)
    trace_printf(4, 8, "[%s]: Not able to set Kelvo job status, status=%d\n", kTag, setStatus);
  else
    trace_printf(4, 8, "[%s]: Set Kelvo job status to not active\n", kTag);
}

// The device FQDD held in `property` of one inventory object; nothing when it cannot be
// read or is not a string.
std::optional<std::string> readDeviceFqdd(const char* operation, const std::string& service, const std::string& path,
                                          const std::string& interfaceName, const char* property) {
  sdbus::Variant value;
  try {
    value = peer::getProperty(service, path, interfaceName, property);
  } catch (const std::exception& e) {
    VELMER_TRACE_FOR(operation, 4, "%s.%d.%s: Error reading Key: %s", e.what());
    return std::nullopt;
  }
  if (value.peekValueType() != "s") {
    trace_printf(4, 8, "[%s]: Error: property value is not a string", operation);
    return std::nullopt;
  }
  return value.get<std::string>();
}

// The search behind JS_getFQDDFromDBUS and JS_getRAIDFQDDFromDBUS: every (object, bus
// name) pair the mapper lists for `interfaceName`, in its order; the first FQDD the job
// name names wins.
std::string findNamedDeviceFqdd(const char* operation, const std::string& jobName, const std::string& interfaceName,
                                const char* property, const char* matchedFormat) {
  if (jobName.empty() || interfaceName.empty()) {
    trace_printf(4, 8, "[%s]: jobName or interfaceName is empty.", operation);
    return {};
  }
  try {
    auto [tree] = peer::call<SubTree>(kGetSubTree, std::string("/"), int32_t{0}, std::vector<std::string>{interfaceName});
    for (const auto& [path, services] : tree.entries) {
      for (const auto& service : services.entries) {
        trace_printf(4, 8, "[%s]: interface=%s", operation, interfaceName.c_str());
        trace_printf(4, 8, "[%s]: object path=%s", operation, path.c_str());
        trace_printf(4, 8, "[%s]: service=%s", operation, service.first.c_str());
        std::optional<std::string> fqdd = readDeviceFqdd(operation, service.first, path, interfaceName, property);
        if (!fqdd) continue;
        trace_printf(4, 8, "[%s]: FQDD=%s", operation, fqdd->c_str());
        if (jobNameMatchesFqdd(jobName, *fqdd)) {
          trace_printf(4, 8, matchedFormat, operation, fqdd->c_str());
          return *fqdd;
        }
      }
    }
    trace_printf(4, 8, "[%s]: returning empty string", operation);
  } catch (const sdbus::Error& e) {
    VELMER_TRACE_FOR(operation, 4, "%s.%d.%s: DBus error: %s", e.what());
  } catch (const std::exception& e) {
    VELMER_TRACE_FOR(operation, 4, "%s.%d.%s: Error: %s", e.what());
  }
  return {};
}

// Network, Fibre Channel and InfiniBand jobs name their adapter port.
std::string namedAdapterFqdd(uint16_t kind, const std::string& jobName) {
  switch (kind) {
    case kNicJob:
      VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Cleaning up NIC job\n");
      return JS_getFQDDFromDBUS(jobName, "com.zorvex.kelvo.system.NicSlot");
    case kFibreChannelJob:
      VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Cleaning up FC job\n");
      return JS_getFQDDFromDBUS(jobName, "com.zorvex.kelvo.system.FCSlot");
    default:
      VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Cleaning up InfiniBand job\n");
      return JS_getFQDDFromDBUS(jobName, "com.zorvex.kelvo.system.IBSlot");
  }
}

void cancelInConfigurationManager(const std::string& fqdd, const std::string& jobID) {
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: FQDD: %s\n", fqdd.c_str());
  const int16_t status = InvokeDeletePendingConfigurationDBUS(fqdd, jobID, kSetConfigCancel.service,
                                                              kSetConfigCancel.path, kSetConfigCancel.interface,
                                                              kSetConfigCancel.name);
  if (status != 0)
    trace_printf(2, 8, "[%s]: InvokeDeletePendingConfigurationDBUS failed with status %d", kCleanupOperation, status);
}

void cancelStagedAttributes(uint16_t kind) {
  const char* fqdd = kind == kControllerAttributesJob ? "Kelvo.Embedded.1"
                     : kind == kSystemAttributesJob   ? "System.Embedded.1"
                                                      : "Tamber.Embedded.1";
  const uint16_t status = CfgDACancelRMXAttributes(fqdd);
  if (status != 0) VELMER_TRACE_FOR(kCleanupOperation, 1, "%s.%d.%s: kelvo config cancel passthru return error: %d\n", status);
}

// The backup-and-restore tool may take long; it is started and not waited for.
uint16_t cleanUpBackupRestoreJob(const JobInfoRecord& job) {
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: cleaning up b&r job %s\n", job.jsJobID.c_str());
  const std::optional<std::string> jobIdArgument = formatArgument("-jobid=", job.jsJobID);
  const std::optional<std::string> imageArgument = formatArgument("-imageName=", job.jobStatus);
  if (!jobIdArgument || !imageArgument) return 12;
  const std::string tool = paths::resolve(paths::kBackupRestoreTool);
  if (utl_va_run_background(tool.c_str(), "cleanup", jobIdArgument->c_str(), imageArgument->c_str(), nullptr) != 0)
    VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: cleanup %s failed ...\n", job.jsJobID.c_str());
  return 0;
}

// The system-erase tool is waited for: its request must be gone before the job is.
uint16_t cleanUpSystemEraseJob(const JobInfoRecord& job) {
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: cleaning up system erase job %s\n", job.jsJobID.c_str());
  const std::optional<std::string> jobArgument = formatArgument("job=", job.jsJobID);
  if (!jobArgument) return 12;
  const std::string tool = paths::resolve(paths::kSysEraseTool);
  int toolResult = 0;
  {
    bus::WaitWithoutBusLock waiting;
    toolResult = utl_va_run(tool.c_str(), "delete", jobArgument->c_str(), nullptr);
  }
  if (toolResult != 0)
    VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s:  delete %s failed ...\n", job.jsJobID.c_str());
  return 0;
}

uint16_t cancelBiosTimeChange(const JobInfoRecord& job) {
  VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Cleaning up BIOS Set Time job %s\n", job.jsJobID.c_str());
  const auto result = static_cast<uint16_t>(JS_CancelSetBIOSTimeJob());
  if (result != 0)
    VELMER_TRACE_FOR(kCleanupOperation, 1, "%s.%d.%s: BIOS Set Time config cancel passthru return error: %d\n", result);
  return result;
}

// How JS_CancelSetBIOSTimeJob reports the step that failed, with the error's text.
const char* biosTimeFailureFormat(peer::Step step) {
  switch (step) {
    case peer::Step::Connect:
      return "%s.%d.%s: Failed to connect to system bus: %s\n";
    case peer::Step::CreateCall:
      return "%s.%d.%s: Failed to create method call: %s\n";
    case peer::Step::AppendArguments:
      return "%s.%d.%s: Failed to append arguments: %s\n";
    case peer::Step::Call:
      return "%s.%d.%s: D-Bus call failed: %s\n";
    case peer::Step::ReadReply:
      break;
  }
  return "%s.%d.%s: Failed to parse reply: %s\n";
}

}  // namespace

bool jobNameMatchesFqdd(const std::string& jobName, const std::string& fqdd) {
  if (jobName.empty() || fqdd.empty()) return false;
  const std::string name = lowerCase(jobName);
  const size_t found = name.find(lowerCase(fqdd));
  // Only the first place counts: a name that holds the FQDD earlier does not name it.
  return found != std::string::npos && found > 0 && name[found - 1] == ':' && found + fqdd.size() == name.size();
}

uint16_t JS_CleanupPersistentData(const JobInfoRecord& job) {
  clearControllerFirmwareFlag(job);
  // The type's high bits carry no clean-up meaning.
  const auto kind = static_cast<uint16_t>(job.jobType);
  std::string fqdd;
  uint16_t result = 0;
  switch (kind) {
    case kNicJob:
    case kFibreChannelJob:
    case kInfiniBandJob:
      fqdd = namedAdapterFqdd(kind, job.jobName);
      break;
    case kBiosJob:
      VELMER_TRACE_FOR(kCleanupOperation, 4, "%s.%d.%s: Cleaning up BIOS job\n");
      fqdd = JS_getBIOSFQDDFromDBUS();
      break;
    case kStorageJob:
    case kRealTimeStorageJob:
      cleanUpStorageJob(job);
      break;
    case kControllerAttributesJob:
    case kSystemAttributesJob:
    case kFeatureAttributesJob:
      cancelStagedAttributes(kind);
      break;
    case kBackupJob:
    case kRestoreJob:
      result = cleanUpBackupRestoreJob(job);
      break;
    case kSystemEraseJob:
      result = cleanUpSystemEraseJob(job);
      break;
    case kBiosTimeJob:
      result = cancelBiosTimeChange(job);
      break;
    default:
      break;
  }
  // A device whose FQDD cannot be found is not cancelled; the job stays deletable.
  if (!fqdd.empty()) cancelInConfigurationManager(fqdd, job.jsJobID);
  return result;
}

uint16_t jobServCleanupPersistentData(const std::string& jobName, const std::string& jobID, uint32_t jobType,
                                      const std::string& jobStatus, uint32_t jobState) {
  constexpr const char* kTag = "jobServCleanupPersistentData";
  return methodFrame(kTag, "[%s]: EXCEPTION  in jobServCleanupPersistentData[%s] \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Enter\n", kTag);
    trace_printf(4, 8, "[%s]: Entered jobServCleanupPersistentData\n", kTag);
    JobInfoRecord job;
    job.jobName = jobName;
    job.jsJobID = jobID;
    job.jobType = jobType;
    job.jobStatus = jobStatus;
    job.jobState = jobState;
    const uint16_t result = JS_CleanupPersistentData(job);
    if (result == 0)
      trace_printf(4, 8, "[%s]: Successfully perform cleanup\n", kTag);
    else
      trace_printf(4, 8, "[%s]: Failed to perform cleanup\n", kTag);
    return result;
  });
}

std::string JS_getFQDDFromDBUS(const std::string& jobName, const std::string& interfaceName) {
  return findNamedDeviceFqdd(__func__, jobName, interfaceName, "Key", "[%s]: MATCHED FQDD: %s");
}

std::string JS_getRAIDFQDDFromDBUS(const std::string& jobName, const std::string& interfaceName) {
  return findNamedDeviceFqdd(__func__, jobName, interfaceName, "Fqdd", "[%s]: RAID CONFIG MATCHED FQDD: %s");
}

std::string JS_getBIOSFQDDFromDBUS() {
  constexpr const char* kTag = "JS_getBIOSFQDDFromDBUS";
  trace_printf(4, 8, "[%s]: Enter", kTag);
  trace_printf(4, 8, "[%s]: Calling %s %s %s.%s('%s','%s')", kTag, kBiosInventoryService, kBiosInventoryPath,
               "org.freedesktop.DBus.Properties", "Get", kBiosInventoryInterface, kBiosFqddProperty);
  try {
    const sdbus::Variant value =
        peer::getProperty(kBiosInventoryService, kBiosInventoryPath, kBiosInventoryInterface, kBiosFqddProperty);
    std::string fqdd = value.get<std::string>();  // a value of another type is a bus error
    trace_printf(4, 8, "[%s]: Success. FQDD='%s'", kTag, fqdd.c_str());
    return fqdd;
  } catch (const sdbus::Error& e) {
    trace_printf(4, 8, "[%s]: SdBusError: %s", kTag, e.what());
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Error: %s", kTag, e.what());
  }
  return {};
}

int16_t InvokeDeletePendingConfigurationDBUS(const std::string& fqdd, const std::string& jobID,
                                             const std::string& busName, const std::string& objectPath,
                                             const std::string& interfaceName, const std::string& methodName) {
  constexpr const char* kTag = "InvokeDeletePendingConfigurationDBUS";
  return peer::cancelCall<int16_t, int16_t, std::string>(
      kTag, jobID, {busName, objectPath, interfaceName, methodName},
      [&](int16_t status, const std::string& answeredJobID) {
        trace_printf(4, 8, "[%s]:  received response -> status: %d, jobId: %s", kTag, status, answeredJobID.c_str());
        return status;
      },
      fqdd, jobID);
}

int32_t JS_CancelSetBIOSTimeJob() {
  VELMER_TRACE_HERE(4, "%s.%d.%s: %s: entry\n", __func__);
  VELMER_TRACE_HERE(4, "%s.%d.%s: service   : %s\n", kCancelSetBIOSTime.service.c_str());
  VELMER_TRACE_HERE(4, "%s.%d.%s: object    : %s\n", kCancelSetBIOSTime.path.c_str());
  VELMER_TRACE_HERE(4, "%s.%d.%s: interface : %s\n", kCancelSetBIOSTime.interface.c_str());
  VELMER_TRACE_HERE(4, "%s.%d.%s: method    : cancelSetBIOSTime\n");
  int32_t status = -1;
  peer::Step reached = peer::Step::Connect;
  try {
    // The service cancels whatever BIOS time change is staged; the argument is unused.
    std::tie(status) = peer::call<int32_t>(kCancelSetBIOSTime, reached, std::string());
    if (status == 0)
      VELMER_TRACE_HERE(4, "%s.%d.%s: D-Bus method cancelSetBIOSTime invocation succeeded!\n");
    else
      VELMER_TRACE_HERE(4, "%s.%d.%s: D-Bus method cancelSetBIOSTime invocation failed with status %d\n", status);
  } catch (const std::exception& e) {
    VELMER_TRACE_HERE(4, biosTimeFailureFormat(reached), e.what());
    status = -1;
  } catch (...) {
    VELMER_TRACE_HERE(4, biosTimeFailureFormat(reached), "unknown exception");
    status = -1;
  }
  // Written whichever way the call went, so every entry line has its exit line.
  VELMER_TRACE_HERE(4, "%s.%d.%s: %s: exit\n", __func__);
  return status;
}

}  // namespace velmer
