// The handlers behind the methods of the main interface, one free function each, named
// after the handler's log tag. The Jobservicemain bus class only forwards to these.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "bus/handler_frame.hpp"

namespace velmer {

using StatusText = std::tuple<uint16_t, std::string>;
using StatusList = std::tuple<uint16_t, std::vector<std::string>>;
using StatusByte = std::tuple<uint16_t, uint8_t>;
// The reply of a method that answers (status, data, code) later: creation and deletion.
using TripleReply = sdbus::Result<uint16_t, std::string, uint16_t>;
// Answers a method whose reply is one status, maybe later and from another thread (with
// the bus lock held): the key-value writes, answered once the file holds them.
using StatusReply = std::function<void(uint16_t status)>;

// Service status and controller-firmware state (service_main.cpp)
uint16_t getJobServiceStatus();
void configureJobStoreAutoDeletionPolicy(uint16_t timeout, const StatusReply& reply);
uint16_t jsSetkelvofwJobState(uint16_t state);
StatusByte jsGetkelvofwJobState();
StatusByte jsIsKelvoFWUpdateActive();
StatusByte jsIsKelvoFWUpdateActiveNotSCP();

// Job creation (job_create.cpp): each replies through `result`, at once or later.
void jobServCreate(TripleReply&& result, std::string jobName, uint16_t jobType);
void jobServCreateSystemerase(TripleReply&& result, std::string jobName, uint16_t jobType);
void jobServCreateWithNoQVLog(TripleReply&& result, std::string jobName, uint16_t jobType);
void jobServCreateWithRetry(TripleReply&& result, std::string jobName, uint16_t jobType);

// Job update
uint16_t jobServUpdateJobInfo(const std::string& jobID, uint16_t jobState, uint16_t percentComplete,
                              const std::string& jobStatus, const std::string& message,
                              const std::string& messageID, const std::string& messageArgs);

// Scheduling and queues
ResponseTriple jobServSchedule(const std::vector<std::string>& jobList, uint16_t numJobs,
                               const std::string& startTime, const std::string& untilTime);
uint16_t validateSchedulingParameters(const std::string& startTime, const std::string& untilTime);
uint16_t jobServDeleteQueue(const std::string& queueID, uint16_t unused);

// Deletion and pending-configuration clean-up
ResponseTriple jobServDelete(const std::vector<std::string>& jobList, uint16_t numJobs, uint16_t deleteMode);
uint16_t jobServCleanupPersistentData(const std::string& jobName, const std::string& jobID, uint32_t jobType,
                                      const std::string& jobStatus, uint32_t jobState);

// Key-value store
void jsWriteBLOBKeyValue(const std::string& jobID, const std::string& key, const std::string& callerName,
                         const std::string& value, const StatusReply& reply);
StatusText jsReadBLOBKeyValue(const std::string& jobID, const std::string& callerName, const std::string& key);

// Recurring tasks
StatusText jsrtseCreateTaskID();
StatusList jsrtseListTasks();
StatusList jsrtseListJobs(const std::string& taskID);
StatusText jsrtseGetTaskFromJobID(const std::string& jobID);
StatusText jsrtseGetTaskFromGroupName(const std::string& groupName);
StatusText jsrtseGetGroupNameFromTask(const std::string& taskID);
uint16_t jsrtseRemoveTask(const std::string& taskID);
uint16_t jsrtseRemoveTaskByGroupName(const std::string& groupName);
uint16_t jsrtseValidateNonBlocking(const std::string& taskID);
StatusText jsrtseStartSchedulingRecurringTask(const std::string& taskDescription);
uint16_t jsrtseFreeStringArray(const std::string& ignored);

}  // namespace velmer
