#include "updsched.h"

#include <cinttypes>

#include "trace.h"

extern "C" int SendScheduleTimeToUPDSCHED(int64_t startTime) {
  trace_printf(4, 8, "[%s]: start time %" PRId64 " handed to the update scheduler\n", "SendScheduleTimeToUPDSCHED",
               startTime);
  return 0;
}
