#include "queue_object.hpp"

#include "handler_frame.hpp"
#include "trace.h"

namespace velmer {

namespace {
const bus::Field<JobQueueRecord> kQueueFields[] = {
    {"jsQueueID", &JobQueueRecord::jsQueueID},
    {"untilTime", &JobQueueRecord::untilTime},
    {"startTime", &JobQueueRecord::startTime},
    {"flags", &JobQueueRecord::flags},
    {"jsJobsList", &JobQueueRecord::jsJobsList},
    {"trackedJobCount", &JobQueueRecord::trackedJobCount},
    {"queueState", &JobQueueRecord::queueState},
    {"reservedAllign", &JobQueueRecord::reservedAllign},
    {"itemCount", &JobQueueRecord::itemCount},
    {"jobQueueItem", &JobQueueRecord::jobQueueItem},
};
}  // namespace

Jobservicescheduleinfo::Jobservicescheduleinfo(sdbus::IConnection& connection, std::string path, Announce when)
    : Object(connection, std::move(path), "~Jobservicescheduleinfo") {
  trace_printf(4, 8, "[%s]: Entering constructor for JobServicescheduleinfo\n", "Jobservicescheduleinfo");
  if (when == Announce::Now) announce();
}

Jobservicescheduleinfo::~Jobservicescheduleinfo() = default;

uint16_t Jobservicescheduleinfo::setAllProperties(const std::map<std::string, sdbus::Variant>& properties) {
  return setAllPropertiesOf(*this, kQueueFields, properties, "JobServicescheduleinfo");
}

}  // namespace velmer
