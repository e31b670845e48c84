/* Support-product job-cancel library (stand-in).
 *
 * HM_CancelJob asks the support product to stop the job it may be running for the
 * controller. The stand-in has nothing to stop: it logs the request and answers a
 * result record whose status byte is 0. */
#ifndef VELMER_PLATFORM_HM_H
#define VELMER_PLATFORM_HM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HMCancelResult {
  uint8_t status; /* 0: cancelled (or nothing to cancel) */
  uint8_t reserved[15];
} HMCancelResult;

HMCancelResult HM_CancelJob(void);

#ifdef __cplusplus
}
#endif

#endif
