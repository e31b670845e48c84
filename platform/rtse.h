/* Recurring-task scheduling engine (stand-in).
 *
 * A recurring task groups recurring jobs under a task ID and a group name. The real
 * engine runs them on their schedule; the stand-in keeps only the table, in memory and
 * under one lock, so that every call can succeed and fail for real. The table is empty
 * at process start.
 *
 * Task IDs are "TID_" and twelve decimal digits, numbered from 1 in creation order.
 * RTSE_CreateTaskID reserves one; a task exists once RTSE_StartSchedulingRecurringTask
 * has scheduled it, with a description of this form:
 *
 *     group=<name>;jobs=<job ID>[,<job ID>...][;task=<reserved task ID>]
 *
 * Fields are separated by ';', in any order, each once; no spaces are trimmed. `group`
 * and `jobs` are required; `task` uses an ID from RTSE_CreateTaskID instead of a new
 * one. A group name belongs to one task, and a job ID to one task, so every look-up has
 * one answer. Example: "group=nightly-inventory;jobs=JID_000000000101,JID_000000000102".
 *
 * Every function answers 0 on success or a negative error number:
 *   -EINVAL  a null argument or a description that breaks the form above
 *   -ENOENT  no such task, group name or job ID (for `task=`: no such reservation)
 *   -EEXIST  the group name or a job ID is held by another task already
 *   -ENODATA the task ID is reserved but not scheduled yet (no group, not valid)
 *   -ENOSPC  the table holds 256 tasks and reservations already
 *   -ENOMEM  out of memory
 * Texts come back allocated with malloc (release with free); lists come back as
 * NULL-terminated arrays (release with RTSE_FreeStringArray). Nothing is returned on a
 * failure.
 */
#ifndef VELMER_PLATFORM_RTSE_H
#define VELMER_PLATFORM_RTSE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reserves a new task ID. */
int RTSE_CreateTaskID(char** taskID);

/* Schedules the task that `description` describes; *taskID is its ID. */
int RTSE_StartSchedulingRecurringTask(const char* description, char** taskID);

/* The task that holds the job ID, and the task of a group name. */
int RTSE_GetTaskFromJobID(const char* jobID, char** taskID);
int RTSE_GetTaskFromGroupName(const char* groupName, char** taskID);

/* The group name of a scheduled task. */
int RTSE_GetGroupNameFromTask(const char* taskID, char** groupName);

/* Every scheduled task ID in creation order, and the job IDs of one task in the order
 * of its description (empty for a reserved task). Either array may be empty. */
int RTSE_ListTasks(char*** taskIDs);
int RTSE_ListJobs(const char* taskID, char*** jobIDs);

/* Removes a scheduled task or a reservation; by group name, a scheduled task. */
int RTSE_RemoveTask(const char* taskID);
int RTSE_RemoveTaskByGroupName(const char* groupName);

/* 0 when the task is scheduled and complete (a group and at least one job); does not
 * wait for anything. */
int RTSE_ValidateNonBlocking(const char* taskID);

/* Releases an array of RTSE_ListTasks or RTSE_ListJobs, its texts included. NULL is a no-op. */
void RTSE_FreeStringArray(char** array);

#ifdef __cplusplus
}
#endif

#endif
