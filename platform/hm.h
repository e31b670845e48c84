/* Support-product library (stand-in).
 *
 * HM_CancelJob tells the support product to stop the job it may be running for the
 * controller. There is no support product on this machine: the stand-in logs the
 * request and answers a result record with status 0. Callable from any thread.
 */
#ifndef VELMER_PLATFORM_HM_H
#define VELMER_PLATFORM_HM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The result of a request: the first byte is its status, 0 for success; the rest is the
 * support product's own. */
typedef struct HM_Result {
  uint8_t status;
  uint8_t detail[7];
} HM_Result;

HM_Result HM_CancelJob(void);

#ifdef __cplusplus
}
#endif

#endif
