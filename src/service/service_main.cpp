#include "service/service_main.hpp"

#include <memory>
#include <span>

#include "bus/waiting_calls.hpp"

#include "jobs/job_state.hpp"
#include "persistence/key_value_store.hpp"
#include "persistence/key_value_writer.hpp"
#include "trace.h"

namespace velmer {

namespace {

std::unique_ptr<Jobservicemain>& mainObjectSlot() {
  static std::unique_ptr<Jobservicemain> slot;
  return slot;
}

const bus::Field<MainRecord> kMainFields[] = {
    {"backupJobState", &MainRecord::backupJobState},
    {"restoreJobState", &MainRecord::restoreJobState},
    {"maxJobsInStore", &MainRecord::maxJobsInStore},
    {"numJobsInStore", &MainRecord::numJobsInStore},
    {"autoDeleteCapacity", &MainRecord::autoDeleteCapacity},
    {"autoDeleteTimeout", &MainRecord::autoDeleteTimeout},
    {"kelvofwJobState", &MainRecord::kelvofwJobState},
    {"jobInfoObjCount", &MainRecord::jobInfoObjCount},
    {"jobInfoObjList", &MainRecord::jobInfoObjList},
    {"jobQueueObjCount", &MainRecord::jobQueueObjCount},
    {"jobQueueObjList", &MainRecord::jobQueueObjList},
    {"taskInfoObjCount", &MainRecord::taskInfoObjCount},
    {"taskInfoObjList", &MainRecord::taskInfoObjList},
    {"blobKeyValue", &MainRecord::blobKeyValue},
};

// A reply sent when the status is known, maybe from another thread; a connection that is
// gone leaves nobody to answer.
StatusReply statusReply(sdbus::Result<uint16_t>&& result) {
  auto reply = std::make_shared<sdbus::Result<uint16_t>>(std::move(result));
  return [reply](uint16_t status) {
    try {
      reply->returnResults(status);
    } catch (const std::exception& e) {
      trace_printf(2, 8, "[%s]: reply not sent: %s\n", "statusReply", e.what());
    }
  };
}

}  // namespace

namespace {
uint16_t appendToList(uint16_t MainRecord::*count, std::string_view countName,
                      std::vector<std::string> MainRecord::*list, std::string_view listName,
                      std::span<const std::string> ids, const char* tag, bool logEntries) {
  Jobservicemain& main = mainObject();
  const uint16_t before = main.get(count);
  main.set(count, static_cast<uint16_t>(before + ids.size()), countName);
  main.update(list, listName, [&](std::vector<std::string>& entries) {
    entries.insert(entries.end(), ids.begin(), ids.end());
    if (logEntries && trace_get_threshold() >= 4)
      for (const auto& entry : entries) trace_printf(4, 8, "[%s]: job list: %s\n", tag, entry.c_str());
  });
  return before;
}
}  // namespace

uint16_t appendToJobList(std::span<const std::string> jobIDs, const char* tag, bool logEntries) {
  return appendToList(&MainRecord::jobInfoObjCount, "jobInfoObjCount", &MainRecord::jobInfoObjList, "jobInfoObjList",
                      jobIDs, tag, logEntries);
}

uint16_t appendToQueueList(std::span<const std::string> queueIDs, const char* tag, bool logEntries) {
  return appendToList(&MainRecord::jobQueueObjCount, "jobQueueObjCount", &MainRecord::jobQueueObjList,
                      "jobQueueObjList", queueIDs, tag, logEntries);
}

Jobservicemain& mainObject() { return *mainObjectSlot(); }
bool mainObjectExists() { return mainObjectSlot() != nullptr; }
void publishMainObject(std::unique_ptr<Jobservicemain> object) { mainObjectSlot() = std::move(object); }
std::unique_ptr<Jobservicemain> releaseMainObject() { return std::move(mainObjectSlot()); }

Jobservicemain::Jobservicemain(sdbus::IConnection& connection, std::string path)
    : Object(connection, std::move(path), "~Jobservicemain") {}

Jobservicemain::~Jobservicemain() = default;

uint16_t Jobservicemain::setAllProperties(const std::map<std::string, sdbus::Variant>& properties) {
  const auto store = properties.find("blobKeyValue");
  if (store != properties.end() && store->second.containsValueOfType<bus::BlobKeyValue>() &&
      !keyValueStoreFitsFile(store->second.get<bus::BlobKeyValue>())) {
    trace_printf(2, 8, "[%s]: blobKeyValue refused: its file would be larger than the reader takes\n",
                 "setAllProperties");
    return 65535;
  }
  const uint16_t status = setAllPropertiesOf(*this, kMainFields, properties, nullptr);
  if (store != properties.end() || properties.contains("autoDeleteTimeout")) bus::guarded(keyValueStoreReplaced);
  return status;
}

void Jobservicemain::autoDeleteTimeout(const uint32_t& value) {
  if (busSet(&MainRecord::autoDeleteTimeout, value, "autoDeleteTimeout")) bus::guarded(keyValueStoreReplaced);
}

void Jobservicemain::blobKeyValue(const bus::BlobKeyValue& value) {
  if (busSet(&MainRecord::blobKeyValue, value, "blobKeyValue")) bus::guarded(keyValueStoreReplaced);
}

void Jobservicemain::JobServCreate(TripleReply&& result, std::string jobName,
                                    uint16_t jobType) {
  jobServCreate(std::move(result), std::move(jobName), jobType);
}
void Jobservicemain::JobServCreateSystemerase(TripleReply&& result, std::string jobName,
                                               uint16_t jobType) {
  jobServCreateSystemerase(std::move(result), std::move(jobName), jobType);
}
void Jobservicemain::JobServCreateWithNoQVLog(TripleReply&& result, std::string jobName,
                                               uint16_t jobType) {
  jobServCreateWithNoQVLog(std::move(result), std::move(jobName), jobType);
}
void Jobservicemain::JobServCreateWithRetry(TripleReply&& result, std::string jobName,
                                             uint16_t jobType) {
  jobServCreateWithRetry(std::move(result), std::move(jobName), jobType);
}
ResponseTriple Jobservicemain::JobServSchedule(const std::vector<std::string>& jobList, const uint16_t& numJobs,
                                               const std::string& startTime, const std::string& untilTime) {
  return jobServSchedule(jobList, numJobs, startTime, untilTime);
}
// Deletion and clean-up may wait on tool programs and peer services: they reply when done
// and leave the loop free meanwhile.
void Jobservicemain::JobServDelete(TripleReply&& result,
                                   std::vector<std::string> jobList, uint16_t numJobs, uint16_t deleteMode) {
  bus::replyWhenDone(std::move(result), [jobList = std::move(jobList), numJobs, deleteMode] {
    return jobServDelete(jobList, numJobs, deleteMode);
  });
}
uint16_t Jobservicemain::JobServUpdateJobInfo(const std::string& jobID, const uint16_t& jobState,
                                              const uint16_t& percentComplete, const std::string& jobStatus,
                                              const std::string& message, const std::string& messageID,
                                              const std::string& messageArgs) {
  return jobServUpdateJobInfo(jobID, jobState, percentComplete, jobStatus, message, messageID, messageArgs);
}
void Jobservicemain::ConfigureJobStoreAutoDeletionPolicy(sdbus::Result<uint16_t>&& result, uint16_t timeout) {
  configureJobStoreAutoDeletionPolicy(timeout, statusReply(std::move(result)));
}
uint16_t Jobservicemain::GetJobServiceStatus() { return getJobServiceStatus(); }
uint16_t Jobservicemain::JobServDeleteQueue(const std::string& queueID, const uint16_t& unused) {
  return jobServDeleteQueue(queueID, unused);
}
uint16_t Jobservicemain::ValidateSchedulingParameters(const std::string& startTime, const std::string& untilTime) {
  return validateSchedulingParameters(startTime, untilTime);
}
uint16_t Jobservicemain::JS_SetkelvofwJobState(const uint16_t& state) { return jsSetkelvofwJobState(state); }
StatusText Jobservicemain::JS_RTSE_CreateTaskID() { return jsrtseCreateTaskID(); }
StatusList Jobservicemain::JS_RTSE_ListTasks() { return jsrtseListTasks(); }
StatusList Jobservicemain::JS_RTSE_ListJobs(const std::string& taskID) { return jsrtseListJobs(taskID); }
StatusText Jobservicemain::JS_RTSE_GetTaskFromJobID(const std::string& jobID) {
  return jsrtseGetTaskFromJobID(jobID);
}
StatusText Jobservicemain::JS_RTSE_GetTaskFromGroupName(const std::string& groupName) {
  return jsrtseGetTaskFromGroupName(groupName);
}
StatusText Jobservicemain::JS_RTSE_GetGroupNameFromTask(const std::string& taskID) {
  return jsrtseGetGroupNameFromTask(taskID);
}
uint16_t Jobservicemain::JS_RTSE_RemoveTask(const std::string& taskID) { return jsrtseRemoveTask(taskID); }
uint16_t Jobservicemain::JS_RTSE_RemoveTaskByGroupName(const std::string& groupName) {
  return jsrtseRemoveTaskByGroupName(groupName);
}
uint16_t Jobservicemain::JS_RTSE_ValidateNonBlocking(const std::string& taskID) {
  return jsrtseValidateNonBlocking(taskID);
}
StatusText Jobservicemain::JS_RTSE_StartSchedulingRecurringTask(const std::string& taskDescription) {
  return jsrtseStartSchedulingRecurringTask(taskDescription);
}
void Jobservicemain::JS_WriteBLOB_Key_Value(sdbus::Result<uint16_t>&& result, std::string jobID, std::string key,
                                            std::string callerName, std::string value) {
  jsWriteBLOBKeyValue(jobID, key, callerName, value, statusReply(std::move(result)));
}
StatusText Jobservicemain::JS_ReadBLOB_Key_Value(const std::string& jobID, const std::string& callerName,
                                                 const std::string& key) {
  return jsReadBLOBKeyValue(jobID, callerName, key);
}
uint16_t Jobservicemain::JS_RTSE_FreeStringArray(const std::string& ignored) { return jsrtseFreeStringArray(ignored); }
StatusByte Jobservicemain::JS_GetkelvofwJobState() { return jsGetkelvofwJobState(); }
StatusByte Jobservicemain::JS_IsKelvoFWUpdateActive() { return jsIsKelvoFWUpdateActive(); }
StatusByte Jobservicemain::JS_IsKelvoFWUpdateActiveNotSCP() { return jsIsKelvoFWUpdateActiveNotSCP(); }
void Jobservicemain::JobServCleanupPersistentData(sdbus::Result<uint16_t>&& result, std::string jobName,
                                                  std::string jobID, uint32_t jobType, std::string jobStatus,
                                                  uint32_t jobState) {
  bus::replyWhenDone(std::move(result), [=] {
    return jobServCleanupPersistentData(jobName, jobID, jobType, jobStatus, jobState);
  });
}

// ---------------------------------------------------------------------------------------
// Handlers whose whole logic is small enough to live with the main object

uint16_t getJobServiceStatus() {
  constexpr const char* kTag = "getJobServiceStatus";
  return methodFrame(kTag, "[%s]: EXCEPTION  in job service ready \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Entering get job service status\n", kTag);
    trace_printf(4, 8, "[%s]: job service is ready to take requests\n", kTag);
    return 0;
  });
}

void configureJobStoreAutoDeletionPolicy(uint16_t timeout, const StatusReply& reply) {
  constexpr const char* kTag = "configureJobStoreAutoDeletionPolicy";
  constexpr uint16_t kAnsweredLater = 0;
  const uint16_t status = methodFrame(kTag, "[%s]: EXCEPTION  in auto deletion policy update \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Entering configure auto deletion policy setting job service\n", kTag);
    const uint32_t previous = mainObject().autoDeleteTimeout();
    trace_printf(4, 8, "[%s]: auto deletion existting timeoutValue = %d\n", kTag, static_cast<int>(previous));
    mainObject().autoDeleteTimeout(uint32_t{timeout}, false);
    // Answered once the file holds it; a time-out the file cannot take is taken back.
    writeKeyValueFileFor([previous, timeout, reply](bool written) {
      if (!written && mainObject().autoDeleteTimeout() == timeout) mainObject().autoDeleteTimeout(previous, false);
      reply(written ? 0 : 1);
    });
    return kAnsweredLater;
  });
  if (status != kAnsweredLater) reply(status);
}

uint16_t jsSetkelvofwJobState(uint16_t state) {
  constexpr const char* kTag = "jsSetkelvofwJobState";
  return methodFrame(kTag, "[%s]: EXCEPTION  in jsSetkelvofwJobState[%s] \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Entering jsSetkelvofwJobState\n", kTag);
    trace_printf(4, 8, "[%s]: Successfully set the kelvoFwJobState\n", kTag);
    mainObject().kelvofwJobState(state);
    return 0;
  });
}

StatusByte jsGetkelvofwJobState() {
  constexpr const char* kTag = "jsGetkelvofwJobState";
  return methodFrame(kTag, "[%s]: EXCEPTION  in jsSetkelvofwJobState[%s] \n", [&]() -> StatusByte {
    // The getter logs the setter's lines: clients grep for them.
    trace_printf(4, 8, "[%s]: Entering jsSetkelvofwJobState\n", kTag);
    trace_printf(4, 8, "[%s]: Successfully set the kelvoFwJobState\n", kTag);
    return {0, static_cast<uint8_t>(mainObject().kelvofwJobState() & 0xFF)};
  });
}

namespace {
// Both firmware-update queries answer (0, flag), or (0, 0) when the predicate failed.
StatusByte firmwareUpdateQuery(const char* tag, uint16_t (*predicate)(uint8_t&)) {
  return methodFrame(tag, "[%s]: EXCEPTION  in RTSE_CreateTask \n", [&]() -> StatusByte {
    trace_printf(4, 8, "[%s]: Entering RTSE_CreateTask service\n", tag);
    trace_printf(4, 8, "[%s]: RTSE_CreateTask success\n", tag);
    uint8_t active = 0;
    if (predicate(active) != 0) return {0, 0};
    return {0, active};
  });
}
}  // namespace

StatusByte jsIsKelvoFWUpdateActive() { return firmwareUpdateQuery("jsIsKelvoFWUpdateActive", JS_IsKelvoFWUpdateActive); }

StatusByte jsIsKelvoFWUpdateActiveNotSCP() {
  return firmwareUpdateQuery("jsIsKelvoFWUpdateActiveNotSCP", JS_IsKelvoFWUpdateActiveNotSCP);
}

}  // namespace velmer
