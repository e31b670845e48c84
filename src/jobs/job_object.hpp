// One job on the bus: interface com.zorvex.kelvo.jobservice.jobservicejobinfo at
// /xyz/openbmc_project/jobservice/jobservicejobinfo/<job ID>. The object's properties
// are the job's only state in memory. Created unannounced: whoever creates it sets the
// initial properties first and then calls announce().
#pragma once

#include <span>

#include <com/zorvex/kelvo/jobservice/jobservicejobinfo/server.hpp>

#include "bus/bus.hpp"
#include "jobs/job_record.hpp"

namespace velmer {

class Jobservicejobinfo;
// Keeps the registry's index of jsJobID, jobType and jobState in step (job_registry.cpp).
void reindexJob(const Jobservicejobinfo& job);

// A property that the registry's index follows: every setter also updates the index.
#define VELMER_INDEXED_JOB_PROPERTY(Type, name)                                                      \
  Type name() override { return busGet(&JobInfoRecord::name); }                                     \
  bool name(const Type& value, bool skipSignal) { return setIndexed(&JobInfoRecord::name, value, #name, skipSignal); } \
  void name(const Type& value) override {                                                          \
    bus::guarded([&] { setIndexed(&JobInfoRecord::name, value, #name, false); });                  \
  }

inline constexpr const char* kJobObjectPathPrefix = "/xyz/openbmc_project/jobservice/jobservicejobinfo/";

class Jobservicejobinfo final
    : public bus::Object<com::zorvex::kelvo::jobservice::jobservicejobinfo_adaptor, JobInfoRecord> {
 public:
  Jobservicejobinfo(sdbus::IConnection& connection, std::string path);
  ~Jobservicejobinfo();

  // Applies a property map in name order, each change with its own signal: 0, or 65535
  // when a value has the wrong type (entries before it stay applied).
  uint16_t setAllProperties(const std::map<std::string, sdbus::Variant>& properties) override;

  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, startTime)
  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, untilTime)
  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, completionTime)
  VELMER_BUS_PROPERTY(JobInfoRecord, uint32_t, processID)
  VELMER_BUS_PROPERTY(JobInfoRecord, uint32_t, runningTimeoutSeconds)
  VELMER_BUS_PROPERTY(JobInfoRecord, std::string, jobName)
  VELMER_BUS_PROPERTY(JobInfoRecord, std::string, message)
  VELMER_BUS_PROPERTY(JobInfoRecord, std::string, messageArgs)
  VELMER_BUS_PROPERTY(JobInfoRecord, std::string, queueID)
  VELMER_BUS_PROPERTY(JobInfoRecord, std::string, jobStatus)
  VELMER_BUS_PROPERTY(JobInfoRecord, std::string, messageID)
  VELMER_INDEXED_JOB_PROPERTY(std::string, jsJobID)
  VELMER_BUS_PROPERTY(JobInfoRecord, uint8_t, flags)
  VELMER_INDEXED_JOB_PROPERTY(uint32_t, jobType)
  VELMER_INDEXED_JOB_PROPERTY(uint32_t, jobState)
  VELMER_BUS_PROPERTY(JobInfoRecord, uint16_t, percentComplete)
  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, latestUpdateTime)
  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, creationTime)
  VELMER_BUS_PROPERTY(JobInfoRecord, uint8_t, jobStateForInterface)
  VELMER_BUS_PROPERTY(JobInfoRecord, uint8_t, reserved0)
  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, actualRunningStartTime)
  VELMER_BUS_PROPERTY(JobInfoRecord, int64_t, actualRunningStopTime)

 private:
  template <class T>
  bool setIndexed(T JobInfoRecord::*member, const T& value, std::string_view name, bool skipSignal) {
    const bool changed = set(member, value, name, skipSignal);
    if (changed) reindexJob(*this);
    return changed;
  }
};

// Every job property by its bus name and record field.
std::span<const bus::Field<JobInfoRecord>> jobPropertyFields();

}  // namespace velmer
