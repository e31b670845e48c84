#include "reply_codes.hpp"

#include <optional>

namespace velmerctl {
namespace {

struct CodeMeaning {
  std::optional<Method> method;  // none: the meaning for every method without a row of its own
  uint16_t code;
  std::string_view meaning;
};

// Every code the job manager answers with. A row for one method comes before the
// general row of the same code.
constexpr CodeMeaning kCodes[] = {
    {{}, 0, "done"},
    {Method::Create, 1, "the job manager failed while creating the job (for example no free job ID this second); see its log"},
    {Method::Schedule, 1, "the job list is empty, shorter than the job count or holds an unbalanced quote, or the job manager failed"},
    {Method::Delete, 1, "no such job, the job is already marked for deletion, the job list is malformed, or the job manager failed"},
    {Method::Update, 1, "the job ID is empty, or the job is marked for deletion"},
    {Method::KeyValueRead, 1, "no entry for this job ID and caller"},
    {{}, 1, "refused, or the job manager failed while handling the request; see its log"},
    {Method::Schedule, 2, "a job of type 0 cannot be scheduled"},
    {Method::Schedule, 3, "a job is no longer new (already scheduled, running or finished)"},
    {{}, 4, "the job name is empty"},
    {{}, 5, "the number of jobs is 0"},
    {{}, 6, "the job store is full"},
    {{}, 7, "the execution window is shorter than 300 seconds, or ends before it starts"},
    {{}, 8, "a time is empty or not one of YYYYMMDDhhmmss, TIME_NOW, TIME_NA, \"Next Reboot\""},
    {{}, 9, "the start time is invalid, in the past or TIME_NA"},
    {{}, 10, "the until time is invalid or in the past"},
    {{}, 11, "the same job ID appears twice"},
    {{}, 12, "the pending-configuration clean-up ran out of memory"},
    {{}, 14, "a forced deletion takes one job only"},
    {{}, 15, "a queue takes at most 128 jobs"},
    {{}, 16, "no such queue"},
    {{}, 18, "the job is scheduling or running"},
    {{}, 24, "the job-cancel tool failed"},
    {{}, 25, "the job is past cancelling"},
    {{}, 31, "the job-cancel tool refused (its exit code 31)"},
    {{}, 35, "a controller firmware update is downloading"},
    {Method::Update, 37, "no such job, or its properties could not be written"},
    {{}, 37, "internal failure of the job manager (a missing object, a failed write); see its log"},
    {{}, 38, "a system-erase job is running"},
    {{}, 39, "the job is running and in use by Tamber"},
    {{}, 40, "system lockdown mode is on"},
    {{}, 42, "a controller firmware-update job (type 20) has already started"},
    {{}, 43, "the job-cancel tool refused (its exit code 43)"},
    {{}, 50, "no such key"},
    {{}, 62, "a controller firmware update is active"},
    {Method::Delete, 65535, "cancelling the job's pending BIOS time change failed"},
};

}  // namespace

std::string meaningOf(Method method, uint16_t code) {
  for (const CodeMeaning& row : kCodes)
    if (row.code == code && (!row.method || *row.method == method)) return std::string(row.meaning);
  return "refused with a code of its own; see the job manager's log";
}

uint16_t reasonOf(const Triple& reply) { return reply.code != 0 ? reply.code : reply.status; }

}  // namespace velmerctl
