#include "hm.h"

#include "trace.h"

extern "C" HMCancelResult HM_CancelJob(void) {
  trace_printf(4, 8, "[%s]: job cancel requested from the support product\n", "HM_CancelJob");
  HMCancelResult result{};
  return result;
}
