// Method calls whose work waits on other processes: the deletions and clean-ups that run
// tool programs (up to their time-out) and call peer services (up to the D-Bus time-out).
// Their handlers return at once; the work runs on one thread of its own, one call at a
// time in arrival order, under the bus lock except while it waits (WaitWithoutBusLock),
// and replies when it is done. The loop answers every other call meanwhile.
//
// One at a time is the guard against overlapping work on the same job: a second deletion
// of a job starts only after the first has marked it, and is refused as pending delete.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>

#include "bus/bus.hpp"

namespace velmer::bus {

struct WaitingCall {
  std::function<void()> run;     // does the work and sends the reply
  std::function<void()> refuse;  // replies to a call that never ran (the daemon stops)
};

// From a method handler (the loop holds the bus lock). When the thread cannot be started,
// the call runs at once, on the loop, as a plain handler would.
void runWaitingCall(WaitingCall call);

// At shutdown, without the bus lock and before the connection closes: the call that runs
// finishes, every call still waiting is refused, and the thread ends.
void finishWaitingCalls();

// The error a call that never ran is answered with.
sdbus::Error stoppingError();

// Runs `work` as a waiting call and replies with what it returns: the reply's single value,
// or all of them as a tuple.
template <class... Results, class Work>
void replyWhenDone(sdbus::Result<Results...>&& result, Work work) {
  auto reply = std::make_shared<sdbus::Result<Results...>>(std::move(result));
  runWaitingCall({.run = [reply, work = std::move(work)]() mutable {
                    auto values = work();
                    if constexpr (sizeof...(Results) == 1)
                      reply->returnResults(values);
                    else
                      std::apply([&](const auto&... value) { reply->returnResults(value...); }, values);
                  },
                  .refuse = [reply] { reply->returnError(stoppingError()); }});
}

}  // namespace velmer::bus
