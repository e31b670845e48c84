#include "jobs/job_object.hpp"

#include "bus/handler_frame.hpp"
#include "jobs/job_registry.hpp"
#include "trace.h"

namespace velmer {

namespace {
const bus::Field<JobInfoRecord> kJobFields[] = {
    {"startTime", &JobInfoRecord::startTime},
    {"untilTime", &JobInfoRecord::untilTime},
    {"completionTime", &JobInfoRecord::completionTime},
    {"processID", &JobInfoRecord::processID},
    {"runningTimeoutSeconds", &JobInfoRecord::runningTimeoutSeconds},
    {"jobName", &JobInfoRecord::jobName},
    {"message", &JobInfoRecord::message},
    {"messageArgs", &JobInfoRecord::messageArgs},
    {"queueID", &JobInfoRecord::queueID},
    {"jobStatus", &JobInfoRecord::jobStatus},
    {"messageID", &JobInfoRecord::messageID},
    {"jsJobID", &JobInfoRecord::jsJobID},
    {"flags", &JobInfoRecord::flags},
    {"jobType", &JobInfoRecord::jobType},
    {"jobState", &JobInfoRecord::jobState},
    {"percentComplete", &JobInfoRecord::percentComplete},
    {"latestUpdateTime", &JobInfoRecord::latestUpdateTime},
    {"creationTime", &JobInfoRecord::creationTime},
    {"jobStateForInterface", &JobInfoRecord::jobStateForInterface},
    {"reserved0", &JobInfoRecord::reserved0},
    {"actualRunningStartTime", &JobInfoRecord::actualRunningStartTime},
    {"actualRunningStopTime", &JobInfoRecord::actualRunningStopTime},
};
}  // namespace

Jobservicejobinfo::Jobservicejobinfo(sdbus::IConnection& connection, std::string path)
    : Object(connection, std::move(path), "~Jobservicejobinfo") {
  trace_printf(4, 8, "[%s]: Entering constructor for JobServicejobinfo\n", "Jobservicejobinfo");
}

Jobservicejobinfo::~Jobservicejobinfo() = default;

uint16_t Jobservicejobinfo::setAllProperties(const std::map<std::string, sdbus::Variant>& properties) {
  // Entries before a failing one stay applied, so the index follows whatever the result.
  uint16_t status = setAllPropertiesOf(*this, kJobFields, properties, "JobServicejobinfo");
  reindexJob(*this);
  return status;
}

std::span<const bus::Field<JobInfoRecord>> jobPropertyFields() { return kJobFields; }

}  // namespace velmer
