#include "commands.hpp"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "reply_codes.hpp"

namespace velmerctl {
namespace {

constexpr const char* kStatusPrefix = "com.zorvex.kelvo.Serviceinfo.Status.";
constexpr const char* kClearAll = "JID_CLEARALL";
constexpr const char* kClearAllForce = "JID_CLEARALL_FORCE";

// Names of the bits of a job's flags.
constexpr std::pair<uint8_t, const char*> kJobFlags[] = {
    {1, "in-queue"}, {2, "marked-for-deletion"}, {8, "no-events"}, {16, "running-timeout"}};

// A refusal on standard error with its meaning; returns the exit status for it.
int refuse(const std::string& command, Method method, uint16_t code, const std::string& subject = "") {
  complain(command, (subject.empty() ? "" : subject + ": ") + meaningOf(method, code) + " (code " +
                        std::to_string(code) + ")");
  return kRefused;
}

// A reply triple: on success `doneText`, or the ID the reply carries when there is none;
// else the refusal.
int reportTriple(const std::string& command, Method method, const std::tuple<uint16_t, std::string, uint16_t>& reply,
                 const std::string& doneText = "") {
  Triple triple{std::get<0>(reply), std::get<1>(reply), std::get<2>(reply)};
  if (uint16_t reason = reasonOf(triple); reason != 0) return refuse(command, method, reason, triple.data);
  std::string text = doneText.empty() ? triple.data : doneText;
  if (!text.empty()) std::printf("%s\n", text.c_str());
  return kSuccess;
}

int reportStatus(const std::string& command, Method method, uint16_t status, const std::string& subject,
                 const std::string& doneText) {
  if (status != 0) return refuse(command, method, status, subject);
  std::printf("%s\n", doneText.c_str());
  return kSuccess;
}

std::string flagWords(uint8_t flags) {
  std::string words;
  for (auto [bit, word] : kJobFlags)
    if (flags & bit) words += (words.empty() ? "" : ", ") + std::string(word);
  return words;
}

// A few properties read better with their meaning beside the raw value.
std::string annotation(const std::string& name, const sdbus::Variant& value) {
  const std::string type = value.peekValueType();
  if (type == "x" && name.ends_with("Time")) return formatTime(value.get<int64_t>());
  if (type == "t" && name.ends_with("Time")) return formatTime(static_cast<int64_t>(value.get<uint64_t>()));
  if (name == "jobState" && type == "u") return stateWord(value.get<uint32_t>());
  if (name == "flags" && type == "y") return flagWords(value.get<uint8_t>());
  if (name == "percentComplete" && type == "q") return formatPercent(value.get<uint16_t>());
  return "";
}

void printProperties(const PropertyMap& properties) {
  size_t nameWidth = 0;
  for (const auto& [name, value] : properties) nameWidth = std::max(nameWidth, name.size());
  for (const auto& [name, value] : properties) {
    std::string text = toText(value);
    if (std::string note = annotation(name, value); !note.empty() && note != "-" && note != text) text += "  (" + note + ")";
    std::string line = "  " + name + std::string(nameWidth - name.size() + 2, ' ') + text;
    std::printf("%s\n", line.substr(0, line.find_last_not_of(' ') + 1).c_str());
  }
}

const std::vector<Column> kJobColumns = {
    {"ID"},         {"NAME", true, 3}, {"TYPE"},     {"STATE"},     {"DONE"},
    {"STATUS", true}, {"MSG ID", false, 2}, {"START", false, 1}, {"COMPLETION"}};

std::vector<Row> jobRows(const std::vector<const BusObject*>& jobs, std::string (*timeText)(int64_t)) {
  std::vector<Row> rows;
  for (const BusObject* job : jobs) {
    const PropertyMap& p = job->properties;
    rows.push_back({job->id, valueOr<std::string>(p, "jobName", ""), std::to_string(valueOr<uint32_t>(p, "jobType", 0)),
                    stateWord(valueOr<uint32_t>(p, "jobState", 0)),
                    formatPercent(valueOr<uint16_t>(p, "percentComplete", 254)),
                    valueOr<std::string>(p, "jobStatus", ""), valueOr<std::string>(p, "messageID", ""),
                    formatStart(valueOr<int64_t>(p, "startTime", 0), timeText), timeText(valueOr<int64_t>(p, "completionTime", 0))});
  }
  return rows;
}

// The jobs as a table fitted to the output: full times when they fit, else short ones.
void printJobTable(const std::vector<const BusObject*>& jobs) {
  size_t width = outputWidth();
  std::vector<Row> rows = jobRows(jobs, formatTime);
  if (!fitsByCutting(kJobColumns, rows, width)) rows = jobRows(jobs, formatTimeCompact);
  std::fputs(renderTable(kJobColumns, rows, width).c_str(), stdout);
}

nlohmann::json withId(const BusObject& object) {
  nlohmann::json json = toJson(object.properties);
  json["id"] = object.id;
  return json;
}

void printQueueTable(const std::vector<BusObject>& queues) {
  const std::vector<Column> columns = {{"ID"}, {"JOBS"}, {"STATE"}, {"START"}, {"UNTIL"}, {"JOB IDS", true}};
  std::vector<Row> rows;
  for (const BusObject& queue : queues) {
    const PropertyMap& p = queue.properties;
    std::vector<std::string> items = valueOr<std::vector<std::string>>(p, "jobQueueItem", {});
    std::string ids;
    for (const std::string& id : items) ids += (ids.empty() ? "" : " ") + id;
    rows.push_back({queue.id, std::to_string(valueOr<uint32_t>(p, "itemCount", 0)),
                    std::to_string(valueOr<uint8_t>(p, "queueState", 0)), formatStart(valueOr<int64_t>(p, "startTime", 0)),
                    formatTime(valueOr<int64_t>(p, "untilTime", 0)), ids});
  }
  std::fputs(renderTable(columns, rows, outputWidth()).c_str(), stdout);
}

void showJob(Service& service, const Store& store, const BusObject& job) {
  std::printf("job %s\n", job.id.c_str());
  printProperties(job.properties);
  std::string queueID = valueOr<std::string>(job.properties, "queueID", "");
  if (const BusObject* queue = queueID.empty() ? nullptr : store.findQueue(queueID)) {
    std::printf("\nqueue %s\n", queue->id.c_str());
    printProperties(queue->properties);
  }
  BlobKeyValue entries = service.main().blobKeyValue();
  if (auto it = entries.find(job.id); it != entries.end()) {
    std::printf("\nkey-value entries (caller: key = value)\n");
    for (const auto& [caller, keys] : it->second)
      for (const auto& [key, value] : keys) std::printf("  %s: %s = %s\n", caller.c_str(), key.c_str(), value.c_str());
  }
}

void showQueue(const Store& store, const BusObject& queue) {
  std::printf("queue %s\n", queue.id.c_str());
  printProperties(queue.properties);
  std::vector<const BusObject*> jobs;
  for (const std::string& id : valueOr<std::vector<std::string>>(queue.properties, "jobQueueItem", {}))
    if (const BusObject* job = store.findJob(id)) jobs.push_back(job);
  if (jobs.empty()) return;
  std::printf("\n");
  printJobTable(jobs);
}

}  // namespace

int showStatus(Service& service) {
  PropertyMap status = service.main().properties(kStatusInterface);
  PropertyMap main = service.main().properties(kMainInterface);
  std::string state = valueOr<std::string>(status, "serviceStatus", "");
  if (state.starts_with(kStatusPrefix)) state.erase(0, std::string_view(kStatusPrefix).size());
  auto q = [&](const char* name) { return std::to_string(valueOr<uint16_t>(main, name, 0)); };

  std::printf("service      %s, %s since %s\n", valueOr<std::string>(status, "serviceName", "").c_str(), state.c_str(),
              formatTime(static_cast<int64_t>(valueOr<uint64_t>(status, "LastupdatedTime", 0))).c_str());
  std::printf("jobs         %s in the store (at most %s), %s published\n", q("numJobsInStore").c_str(),
              q("maxJobsInStore").c_str(), q("jobInfoObjCount").c_str());
  std::printf("queues       %s\n", q("jobQueueObjCount").c_str());
  std::printf("auto-delete  from %s jobs on, finished jobs older than %u s\n", q("autoDeleteCapacity").c_str(),
              valueOr<uint32_t>(main, "autoDeleteTimeout", 0));
  std::printf("kelvo fw job state %s, backup job state %s, restore job state %s\n", q("kelvofwJobState").c_str(),
              q("backupJobState").c_str(), q("restoreJobState").c_str());
  return kSuccess;
}

int listJobs(Service& service, std::optional<uint32_t> state, bool json) {
  Store store = service.store();
  std::vector<const BusObject*> jobs;
  for (const BusObject& job : store.jobs)
    if (!state || valueOr<uint32_t>(job.properties, "jobState", 0) == *state) jobs.push_back(&job);
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const BusObject* job : jobs) array.push_back(withId(*job));
    std::printf("%s\n", array.dump(2).c_str());
  } else {
    printJobTable(jobs);
  }
  return kSuccess;
}

int listQueues(Service& service, bool json) {
  Store store = service.store();
  if (json) {
    nlohmann::json array = nlohmann::json::array();
    for (const BusObject& queue : store.queues) array.push_back(withId(queue));
    std::printf("%s\n", array.dump(2).c_str());
  } else {
    printQueueTable(store.queues);
  }
  return kSuccess;
}

int showObject(Service& service, const std::string& id) {
  Store store = service.store();
  if (const BusObject* job = store.findJob(id)) {
    showJob(service, store, *job);
    return kSuccess;
  }
  if (const BusObject* queue = store.findQueue(id)) {
    showQueue(store, *queue);
    return kSuccess;
  }
  complain("show", id + ": no such job or queue");
  return kRefused;
}

int createJob(Service& service, const std::string& name, uint16_t type) {
  return reportTriple("create", Method::Create, service.main().JobServCreate(name, type));
}

int updateJob(Service& service, const UpdateRequest& r) {
  uint16_t status = service.main().JobServUpdateJobInfo(r.jobID, r.state, r.percent, r.status, r.message, r.messageID,
                                                        r.messageArgs);
  return reportStatus("update", Method::Update, status, r.jobID, "updated " + r.jobID);
}

int scheduleJobs(Service& service, const std::vector<std::string>& jobIDs, const std::string& start,
                 const std::string& until) {
  auto count = static_cast<uint16_t>(std::min<size_t>(jobIDs.size(), UINT16_MAX));
  return reportTriple("schedule", Method::Schedule, service.main().JobServSchedule(jobIDs, count, start, until));
}

int deleteJobs(Service& service, const std::vector<std::string>& jobIDs, bool force) {
  auto count = static_cast<uint16_t>(std::min<size_t>(jobIDs.size(), UINT16_MAX));
  return reportTriple("delete", Method::Delete, service.main().JobServDelete(jobIDs, count, force ? 1 : 0),
                      "deleted " + std::to_string(jobIDs.size()) + " job(s); the job manager removes them shortly");
}

int clearAll(Service& service, bool force) {
  return reportTriple("clear-all", Method::Delete, service.main().JobServDelete({force ? kClearAllForce : kClearAll}, 1, 0),
                      "every job that could be deleted is marked for deletion");
}

int readKeyValue(Service& service, const std::string& jobID, const std::string& caller, const std::string& key) {
  auto [status, value] = service.main().JS_ReadBLOB_Key_Value(jobID, caller, key);
  if (status != 0) return refuse("kv get", Method::KeyValueRead, status, jobID + " " + caller + " " + key);
  std::printf("%s\n", value.c_str());
  return kSuccess;
}

int writeKeyValue(Service& service, const std::string& jobID, const std::string& caller, const std::string& key,
                  const std::string& value) {
  uint16_t status = service.main().JS_WriteBLOB_Key_Value(jobID, key, caller, value);
  return reportStatus("kv set", Method::KeyValueWrite, status, jobID, "set " + caller + ": " + key + " for " + jobID);
}

}  // namespace velmerctl
