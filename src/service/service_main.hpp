// The main service object: interface com.zorvex.kelvo.jobservice.jobservicemain at
// /xyz/openbmc_project/jobservice. A thin bus class: it holds the properties and
// forwards every method to its handler (method_handlers.hpp).
#pragma once

#include <com/zorvex/kelvo/jobservice/jobservicemain/server.hpp>

#include <span>

#include "bus/bus.hpp"
#include "bus/method_handlers.hpp"

namespace velmer {

inline constexpr const char* kServiceBusName = "com.zorvex.kelvo.jobservice";
inline constexpr const char* kServiceObjectPath = "/xyz/openbmc_project/jobservice";

// Property values of the main object, in interface order.
struct MainRecord {
  uint16_t backupJobState = 0;
  uint16_t restoreJobState = 0;
  uint16_t maxJobsInStore = 0;
  uint16_t numJobsInStore = 0;
  uint16_t autoDeleteCapacity = 0;
  uint32_t autoDeleteTimeout = 0;
  uint16_t kelvofwJobState = 0;
  uint16_t jobInfoObjCount = 0;
  std::vector<std::string> jobInfoObjList;
  uint16_t jobQueueObjCount = 0;
  std::vector<std::string> jobQueueObjList;
  uint16_t taskInfoObjCount = 0;
  std::vector<std::string> taskInfoObjList;
  bus::BlobKeyValue blobKeyValue;
};

class Jobservicemain final
    : public bus::Object<com::zorvex::kelvo::jobservice::jobservicemain_adaptor, MainRecord> {
 public:
  Jobservicemain(sdbus::IConnection& connection, std::string path);
  ~Jobservicemain();

  uint16_t setAllProperties(const std::map<std::string, sdbus::Variant>& properties) override;
  void JobServCreate(TripleReply&& result, std::string jobName, uint16_t jobType) override;
  void JobServCreateSystemerase(TripleReply&& result, std::string jobName, uint16_t jobType) override;
  void JobServCreateWithNoQVLog(TripleReply&& result, std::string jobName, uint16_t jobType) override;
  void JobServCreateWithRetry(TripleReply&& result, std::string jobName, uint16_t jobType) override;
  ResponseTriple JobServSchedule(const std::vector<std::string>& jobList, const uint16_t& numJobs,
                                 const std::string& startTime, const std::string& untilTime) override;
  void JobServDelete(TripleReply&& result, std::vector<std::string> jobList,
                     uint16_t numJobs, uint16_t deleteMode) override;
  uint16_t JobServUpdateJobInfo(const std::string& jobID, const uint16_t& jobState, const uint16_t& percentComplete,
                                const std::string& jobStatus, const std::string& message,
                                const std::string& messageID, const std::string& messageArgs) override;
  void ConfigureJobStoreAutoDeletionPolicy(sdbus::Result<uint16_t>&& result, uint16_t timeout) override;
  uint16_t GetJobServiceStatus() override;
  uint16_t JobServDeleteQueue(const std::string& queueID, const uint16_t& unused) override;
  uint16_t ValidateSchedulingParameters(const std::string& startTime, const std::string& untilTime) override;
  uint16_t JS_SetkelvofwJobState(const uint16_t& state) override;
  StatusText JS_RTSE_CreateTaskID() override;
  StatusList JS_RTSE_ListTasks() override;
  StatusList JS_RTSE_ListJobs(const std::string& taskID) override;
  StatusText JS_RTSE_GetTaskFromJobID(const std::string& jobID) override;
  StatusText JS_RTSE_GetTaskFromGroupName(const std::string& groupName) override;
  StatusText JS_RTSE_GetGroupNameFromTask(const std::string& taskID) override;
  uint16_t JS_RTSE_RemoveTask(const std::string& taskID) override;
  uint16_t JS_RTSE_RemoveTaskByGroupName(const std::string& groupName) override;
  uint16_t JS_RTSE_ValidateNonBlocking(const std::string& taskID) override;
  StatusText JS_RTSE_StartSchedulingRecurringTask(const std::string& taskDescription) override;
  void JS_WriteBLOB_Key_Value(sdbus::Result<uint16_t>&& result, std::string jobID, std::string key,
                              std::string callerName, std::string value) override;
  StatusText JS_ReadBLOB_Key_Value(const std::string& jobID, const std::string& callerName,
                                   const std::string& key) override;
  uint16_t JS_RTSE_FreeStringArray(const std::string& ignored) override;
  StatusByte JS_GetkelvofwJobState() override;
  StatusByte JS_IsKelvoFWUpdateActive() override;
  StatusByte JS_IsKelvoFWUpdateActiveNotSCP() override;
  void JobServCleanupPersistentData(sdbus::Result<uint16_t>&& result, std::string jobName, std::string jobID,
                                    uint32_t jobType, std::string jobStatus, uint32_t jobState) override;

  VELMER_BUS_PROPERTY(MainRecord, uint16_t, backupJobState)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, restoreJobState)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, maxJobsInStore)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, numJobsInStore)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, autoDeleteCapacity)
  // Kept in the key-value file: a client's change reaches it too.
  VELMER_BUS_PROPERTY_OWN_CLIENT_SETTER(MainRecord, uint32_t, autoDeleteTimeout)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, kelvofwJobState)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, jobInfoObjCount)
  VELMER_BUS_PROPERTY(MainRecord, std::vector<std::string>, jobInfoObjList)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, jobQueueObjCount)
  VELMER_BUS_PROPERTY(MainRecord, std::vector<std::string>, jobQueueObjList)
  VELMER_BUS_PROPERTY(MainRecord, uint16_t, taskInfoObjCount)
  VELMER_BUS_PROPERTY(MainRecord, std::vector<std::string>, taskInfoObjList)
  VELMER_BUS_PROPERTY_OWN_CLIENT_SETTER(MainRecord, bus::BlobKeyValue, blobKeyValue)
};

// Register objects in the main object's list and count (each change signalled once):
// appends the IDs, raises the count by their number, and returns the count before.
// Creation and scheduling log the whole list after the append; restore (logEntries
// false) does not, and appends every restored object at once.
uint16_t appendToJobList(std::span<const std::string> jobIDs, const char* tag, bool logEntries = true);
uint16_t appendToQueueList(std::span<const std::string> queueIDs, const char* tag, bool logEntries = true);
inline uint16_t appendToJobList(const std::string& jobID, const char* tag, bool logEntries = true) {
  return appendToJobList(std::span(&jobID, 1), tag, logEntries);
}
inline uint16_t appendToQueueList(const std::string& queueID, const char* tag, bool logEntries = true) {
  return appendToQueueList(std::span(&queueID, 1), tag, logEntries);
}

// The single main object, published by start-up before any other thread exists.
Jobservicemain& mainObject();
bool mainObjectExists();
void publishMainObject(std::unique_ptr<Jobservicemain> object);
std::unique_ptr<Jobservicemain> releaseMainObject();

}  // namespace velmer
