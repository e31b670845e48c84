#include "rtse.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "guarded.hpp"

namespace {

using velmer::platform::guarded;

constexpr size_t kMaxTasks = 256;

// A reserved task has no group and no jobs until it is scheduled.
struct Task {
  std::string group;
  std::vector<std::string> jobs;

  bool scheduled() const { return !group.empty(); }
};

struct Engine {
  std::mutex mutex;
  std::map<std::string, Task> tasks;  // task IDs sort in creation order
  unsigned long long lastNumber = 0;
};

Engine& engine() {
  static Engine instance;
  return instance;
}

struct Description {
  std::string group;
  std::vector<std::string> jobs;
  std::string task;  // "" for a new task ID
};

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t end = text.find(separator);
    parts.push_back(text.substr(0, end));
    if (end == std::string_view::npos) return parts;
    text.remove_prefix(end + 1);
  }
}

// The job IDs of a `jobs=` value: at least one, none empty, none twice.
std::optional<std::vector<std::string>> parseJobs(std::string_view value) {
  std::vector<std::string> jobs;
  std::set<std::string_view> seen;
  for (std::string_view job : split(value, ',')) {
    if (job.empty() || !seen.insert(job).second) return std::nullopt;
    jobs.emplace_back(job);
  }
  return jobs;
}

// The description of the form in rtse.h, or nullopt when it breaks it.
std::optional<Description> parseDescription(std::string_view text) {
  Description description;
  std::set<std::string_view> keys;
  for (std::string_view field : split(text, ';')) {
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals + 1 == field.size()) return std::nullopt;
    const std::string_view key = field.substr(0, equals);
    const std::string_view value = field.substr(equals + 1);
    if (!keys.insert(key).second) return std::nullopt;
    if (key == "group") {
      description.group = value;
    } else if (key == "task") {
      description.task = value;
    } else if (key == "jobs") {
      auto jobs = parseJobs(value);
      if (!jobs) return std::nullopt;
      description.jobs = std::move(*jobs);
    } else {
      return std::nullopt;
    }
  }
  if (description.group.empty() || description.jobs.empty()) return std::nullopt;
  return description;
}

// The scheduled task holding `job`, or the end of the table.
std::map<std::string, Task>::iterator findByJob(Engine& e, std::string_view job) {
  for (auto it = e.tasks.begin(); it != e.tasks.end(); ++it)
    for (const auto& held : it->second.jobs)
      if (held == job) return it;
  return e.tasks.end();
}

std::map<std::string, Task>::iterator findByGroup(Engine& e, std::string_view group) {
  for (auto it = e.tasks.begin(); it != e.tasks.end(); ++it)
    if (it->second.scheduled() && it->second.group == group) return it;
  return e.tasks.end();
}

// Whether the group or any of the jobs already belongs to a task.
bool clashes(Engine& e, const Description& description) {
  if (findByGroup(e, description.group) != e.tasks.end()) return true;
  for (const auto& job : description.jobs)
    if (findByJob(e, job) != e.tasks.end()) return true;
  return false;
}

std::string newTaskID(Engine& e) {
  char id[32];
  std::snprintf(id, sizeof id, "TID_%012llu", ++e.lastNumber);
  return id;
}

// Hands `text` to the caller as a malloc'd copy.
int giveText(const std::string& text, char** out) {
  *out = strdup(text.c_str());
  return *out != nullptr ? 0 : -ENOMEM;
}

// Hands `texts` to the caller as a NULL-terminated array of malloc'd copies.
int giveArray(const std::vector<std::string>& texts, char*** out) {
  auto** array = static_cast<char**>(std::calloc(texts.size() + 1, sizeof(char*)));
  if (array == nullptr) return -ENOMEM;
  for (size_t i = 0; i < texts.size(); ++i) {
    array[i] = strdup(texts[i].c_str());
    if (array[i] == nullptr) {
      RTSE_FreeStringArray(array);
      return -ENOMEM;
    }
  }
  *out = array;
  return 0;
}

// Runs `body` on the table under its lock; exceptions (out of memory) become -ENOMEM.
template <class Body>
int withEngine(const char* caller, Body&& body) noexcept {
  return guarded(caller, -ENOMEM, [&] {
    Engine& e = engine();
    std::lock_guard lock(e.mutex);
    return body(e);
  });
}

// A look-up by text that answers a text: -EINVAL for null arguments.
template <class Body>
int lookUp(const char* caller, const char* key, char** out, Body&& body) noexcept {
  if (key == nullptr || out == nullptr) return -EINVAL;
  return withEngine(caller, [&](Engine& e) { return body(e, std::string_view(key)); });
}

}  // namespace

extern "C" int RTSE_CreateTaskID(char** taskID) {
  if (taskID == nullptr) return -EINVAL;
  return withEngine("RTSE_CreateTaskID", [&](Engine& e) {
    if (e.tasks.size() >= kMaxTasks) return -ENOSPC;
    const std::string id = newTaskID(e);
    int rc = giveText(id, taskID);
    if (rc == 0) e.tasks[id];
    return rc;
  });
}

extern "C" int RTSE_StartSchedulingRecurringTask(const char* description, char** taskID) {
  return lookUp("RTSE_StartSchedulingRecurringTask", description, taskID, [&](Engine& e, std::string_view text) {
    auto parsed = parseDescription(text);
    if (!parsed) return -EINVAL;
    if (!parsed->task.empty()) {
      auto reserved = e.tasks.find(parsed->task);
      if (reserved == e.tasks.end() || reserved->second.scheduled()) return -ENOENT;
    } else if (e.tasks.size() >= kMaxTasks) {
      return -ENOSPC;
    }
    if (clashes(e, *parsed)) return -EEXIST;
    const std::string id = parsed->task.empty() ? newTaskID(e) : parsed->task;
    int rc = giveText(id, taskID);
    if (rc == 0) e.tasks[id] = Task{std::move(parsed->group), std::move(parsed->jobs)};
    return rc;
  });
}

extern "C" int RTSE_GetTaskFromJobID(const char* jobID, char** taskID) {
  return lookUp("RTSE_GetTaskFromJobID", jobID, taskID, [&](Engine& e, std::string_view job) {
    auto it = findByJob(e, job);
    return it == e.tasks.end() ? -ENOENT : giveText(it->first, taskID);
  });
}

extern "C" int RTSE_GetTaskFromGroupName(const char* groupName, char** taskID) {
  return lookUp("RTSE_GetTaskFromGroupName", groupName, taskID, [&](Engine& e, std::string_view group) {
    auto it = findByGroup(e, group);
    return it == e.tasks.end() ? -ENOENT : giveText(it->first, taskID);
  });
}

extern "C" int RTSE_GetGroupNameFromTask(const char* taskID, char** groupName) {
  return lookUp("RTSE_GetGroupNameFromTask", taskID, groupName, [&](Engine& e, std::string_view id) {
    auto it = e.tasks.find(std::string(id));
    if (it == e.tasks.end()) return -ENOENT;
    return it->second.scheduled() ? giveText(it->second.group, groupName) : -ENODATA;
  });
}

extern "C" int RTSE_ListTasks(char*** taskIDs) {
  if (taskIDs == nullptr) return -EINVAL;
  return withEngine("RTSE_ListTasks", [&](Engine& e) {
    std::vector<std::string> ids;
    for (const auto& [id, task] : e.tasks)
      if (task.scheduled()) ids.push_back(id);
    return giveArray(ids, taskIDs);
  });
}

extern "C" int RTSE_ListJobs(const char* taskID, char*** jobIDs) {
  if (taskID == nullptr || jobIDs == nullptr) return -EINVAL;
  return withEngine("RTSE_ListJobs", [&](Engine& e) {
    auto it = e.tasks.find(taskID);
    return it == e.tasks.end() ? -ENOENT : giveArray(it->second.jobs, jobIDs);
  });
}

extern "C" int RTSE_RemoveTask(const char* taskID) {
  if (taskID == nullptr) return -EINVAL;
  return withEngine("RTSE_RemoveTask", [&](Engine& e) { return e.tasks.erase(taskID) == 1 ? 0 : -ENOENT; });
}

extern "C" int RTSE_RemoveTaskByGroupName(const char* groupName) {
  if (groupName == nullptr) return -EINVAL;
  return withEngine("RTSE_RemoveTaskByGroupName", [&](Engine& e) {
    auto it = findByGroup(e, groupName);
    if (it == e.tasks.end()) return -ENOENT;
    e.tasks.erase(it);
    return 0;
  });
}

extern "C" int RTSE_ValidateNonBlocking(const char* taskID) {
  if (taskID == nullptr) return -EINVAL;
  return withEngine("RTSE_ValidateNonBlocking", [&](Engine& e) {
    auto it = e.tasks.find(taskID);
    if (it == e.tasks.end()) return -ENOENT;
    return it->second.scheduled() && !it->second.jobs.empty() ? 0 : -ENODATA;
  });
}

extern "C" void RTSE_FreeStringArray(char** array) {
  if (array == nullptr) return;
  for (char** entry = array; *entry != nullptr; ++entry) std::free(*entry);
  std::free(array);
}
