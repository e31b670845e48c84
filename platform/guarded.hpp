// What the platform stand-ins share: their functions are called through C declarations,
// so no exception may leave them, and their own lines carry one trace mask.
#pragma once

#include "trace.h"

#include <cstring>
#include <exception>

namespace velmer::platform {

// The trace mask of the stand-ins' own lines (the daemon's mask).
inline constexpr unsigned kTraceMask = 8;

// Runs `body` and answers its result. An exception is logged as an error and answers
// `failure` instead, so it never reaches a C caller.
template <typename Result, typename Body>
Result guarded(const char* caller, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& error) {
    trace_printf(1, kTraceMask, "[%s]: %s", caller, error.what());
  } catch (...) {
    trace_printf(1, kTraceMask, "[%s]: unknown exception", caller);
  }
  return failure;
}

// The text of an errno value; unlike strerror() it is safe from any thread.
inline const char* describeError(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "unknown error";
}

}  // namespace velmer::platform
