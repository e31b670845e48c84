// The reply codes of the job manager and what each means to the person who asked, in
// one table, and how a reply becomes velmerctl's exit status.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmerctl {

// velmerctl's exit statuses.
enum ExitStatus : int {
  kSuccess = 0,
  kRefused = 1,          // the daemon refused or failed the request
  kUsageError = 2,       // the command line was wrong
  kServiceAbsent = 3,    // the job manager (or the bus) cannot be reached
};

// The method that answered: a few codes mean different things to different methods.
enum class Method { Create, Schedule, Delete, Update, KeyValueRead, KeyValueWrite };

// What `code` in a reply of `method` means.
std::string meaningOf(Method method, uint16_t code);

// A reply of the create, schedule and delete methods: (status, data, error code).
struct Triple {
  uint16_t status = 0;
  std::string data;
  uint16_t code = 0;
};

// The code that says why a triple is not a success: the error code, or the status when
// the error code is 0 (a job update that failed while a schedule marked its jobs);
// 0 for a success.
uint16_t reasonOf(const Triple& reply);

}  // namespace velmerctl
