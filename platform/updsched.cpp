#include "updsched.h"

#include "trace.h"

extern "C" int SendScheduleTimeToUPDSCHED(int64_t startTime) {
  trace_printf(4, 8, "[%s]: start time %ld handed to the update scheduler\n", "SendScheduleTimeToUPDSCHED",
               static_cast<long>(startTime));
  return 0;
}
