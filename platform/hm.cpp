#include "hm.h"

#include "guarded.hpp"

extern "C" HM_Result HM_CancelJob(void) {
  trace_printf(4, velmer::platform::kTraceMask, "[%s]: no support product here, nothing to cancel", __func__);
  return HM_Result{};
}
