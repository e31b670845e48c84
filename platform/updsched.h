/* Update-scheduling service client (stand-in).
 *
 * The update scheduler is told the start time of a queue that holds a controller
 * firmware download job. There is no such service on this machine: the stand-in logs
 * the call and answers 0. */
#ifndef VELMER_PLATFORM_UPDSCHED_H
#define VELMER_PLATFORM_UPDSCHED_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int SendScheduleTimeToUPDSCHED(int64_t startTime);

#ifdef __cplusplus
}
#endif

#endif
