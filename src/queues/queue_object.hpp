// One job queue on the bus: interface com.zorvex.kelvo.jobservice.jobservicescheduleinfo
// at .../jobservicequeueinfo/<queue ID> (made by scheduling) or
// .../jobservicescheduleinfo/<queue ID> (re-created at start-up).
#pragma once

#include <span>

#include <com/zorvex/kelvo/jobservice/jobservicescheduleinfo/server.hpp>

#include "bus/bus.hpp"
#include "queues/queue_record.hpp"

namespace velmer {

inline constexpr const char* kQueueObjectPathPrefix = "/xyz/openbmc_project/jobservice/jobservicequeueinfo/";
inline constexpr const char* kRestoredQueueObjectPathPrefix = "/xyz/openbmc_project/jobservice/jobservicescheduleinfo/";

class Jobservicescheduleinfo final
    : public bus::Object<com::zorvex::kelvo::jobservice::jobservicescheduleinfo_adaptor, JobQueueRecord> {
 public:
  enum class Announce { Now, Later };

  // Scheduling announces a new queue at once, with every property at its default;
  // restore announces it after setting the stored properties.
  Jobservicescheduleinfo(sdbus::IConnection& connection, std::string path, Announce when);
  ~Jobservicescheduleinfo();

  uint16_t setAllProperties(const std::map<std::string, sdbus::Variant>& properties) override;

  VELMER_BUS_PROPERTY(JobQueueRecord, std::string, jsQueueID)
  VELMER_BUS_PROPERTY(JobQueueRecord, int64_t, untilTime)
  VELMER_BUS_PROPERTY(JobQueueRecord, int64_t, startTime)
  VELMER_BUS_PROPERTY(JobQueueRecord, uint32_t, flags)
  VELMER_BUS_PROPERTY(JobQueueRecord, std::vector<std::string>, jsJobsList)
  VELMER_BUS_PROPERTY(JobQueueRecord, uint32_t, trackedJobCount)
  VELMER_BUS_PROPERTY(JobQueueRecord, uint8_t, queueState)
  VELMER_BUS_PROPERTY(JobQueueRecord, std::vector<uint8_t>, reservedAllign)
  VELMER_BUS_PROPERTY(JobQueueRecord, uint32_t, itemCount)
  VELMER_BUS_PROPERTY(JobQueueRecord, std::vector<std::string>, jobQueueItem)
};

// Every queue property by its bus name and record field.
std::span<const bus::Field<JobQueueRecord>> queuePropertyFields();

}  // namespace velmer
