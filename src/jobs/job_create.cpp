#include "jobs/job_create.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "persistence/auto_delete.hpp"
#include "persistence/backup_thread.hpp"
#include "bus/bus.hpp"
#include "bus/worker_thread.hpp"
#include "cfg.h"
#include "clock.hpp"
#include "events/events.hpp"
#include "jobs/job_registry.hpp"
#include "jobs/job_state.hpp"
#include "jobs/job_update.hpp"
#include "jobcache.h"
#include "bus/method_handlers.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

constexpr std::array<uint32_t, 16> kLockdownJobTypes = {20, 21, 22, 60, 61, 62, 63, 64,
                                                        65, 66, 67, 69, 160, 165, 200, 209};
constexpr uint32_t kSystemEraseJobType = 200;
constexpr uint32_t kGracefulShutdownJobType = 45;
constexpr uint32_t kDefaultRunningTimeoutSeconds = 21600;

// Type 41 becomes the reboot type 40 named "Reboot1" when the platform asks for it.
void applyRebootJobType(std::string& jobName, uint32_t& jobType) {
  int rebootJobType = 0;
  if (CfgGetAttributeInt("System.Embedded.1#Job.1#RebootJobType", &rebootJobType) == 0)
    trace_printf(4, 8, " CfgGetAttributeInt to get reboot job type PASSED, RebootJobType = [%d]\n", rebootJobType);
  else
    trace_printf(4, 8, " CfgGetAttributeInt to get reboot job type FAILED, RebootJobType = [%d]\n", rebootJobType);
  if (jobType == 41 && rebootJobType == 1) {
    jobName = "Reboot1";
    trace_printf(4, 8, "RebootJobType = [%d], jobType = [%d]\n", rebootJobType, 40);
    jobType = 40;
  }
}

void submitCreationEvents(const char* tag, const std::string& jobID, uint32_t jobType, uint32_t eventFlags) {
  trace_printf(4, 8, "[%s]: Logging QVL Logic Implementation, QVL map set=[%d]\n", tag, eventFlags);
  if ((eventFlags & kSuppressCreatedEvent) == 0) {
    trace_printf(4, 8, "[%s]: Logging QVL Logic Implementation,QVL map not set\n", tag);
    uint16_t status = JC_submitQVEvents_withArgs(4, 5, 3, "JCP027", 1, jobID.c_str());
    if (status == 0)
      trace_printf(4, 8, "[%s] Logged job completion event successfully\n", tag);
    else
      trace_printf(1, 8, "[%s] JC_submitQVEvents_withArgs returned an error: status is %d, not logging event\n", tag,
                   status);
  }
  if (isRebootJobType(jobType)) {
    uint16_t status = JC_submitQVEvents_withArgs(66, 3, 2, "RED029", 1, "A reboot is pending.");
    if (status == 0)
      trace_printf(4, 8, "[%s]: Logged reboot pending event successfully", tag);
    else
      trace_printf(4, 8, "[%s]: QVL suppressed or error in logging, not logging event status=%d", tag, status);
  }
}

// Whether `candidate` is taken: a job of the store carries it as its jsJobID, or a job or
// queue object is registered under it (a client may have changed a job's jsJobID, and
// queue IDs come from the same generator). Runs on every creation: lookups only.
bool jobIdInUse(const std::string& candidate) {
  auto& registry = JobRegistry::instance();
  std::lock_guard lock(registry.mutex);
  return registry.jobs.contains(candidate) || registry.queues.contains(candidate) || jsJobIDInUse(candidate);
}

std::mt19937& idGenerator() {
  static std::mt19937 generator(std::random_device("default")());
  return generator;
}

const char* idPrefix(uint32_t jobType) {
  if (jobType == 0) return "QID_";
  return isRebootJobType(jobType) ? "RID_" : "JID_";
}

// Twelve digits from the clock: the seconds, then two random digits (or one random
// digit and the last digit of the milliseconds).
std::string idDigits() {
  std::string text = std::to_string(currentTimeMicroseconds());
  while (text.size() < 12) text.insert(text.begin(), '0');
  if (text.size() != 12) {
    std::uniform_int_distribution<int> twoDigits(0, 99);
    text.replace(10, 2, std::to_string(twoDigits(idGenerator())));
  }
  return text.substr(0, 12);
}

uint32_t runningTimeoutSeconds(uint32_t jobType) {
  if (jobType == kSystemEraseJobType) return 0;
  int minutes = 0;
  if (CfgGetAttributeInt("System.Embedded.1#Job.1#JobTimeout", &minutes) == 0) {
    trace_printf(4, 8, " CfgGetAttributeInt to get job timeout SUCCESS, JobTimeOut = [%d]\n", minutes);
    // In the property's own unsigned width: an attribute beyond 35791394 minutes must
    // not overflow a signed product.
    return static_cast<uint32_t>(minutes) * 60u;
  }
  trace_printf(4, 8, " CfgGetAttributeInt to get job timeout FAILED, JobTimeOut = [%d]\n", minutes);
  return kDefaultRunningTimeoutSeconds;
}

const char* initialJobStatus(uint32_t jobType) {
  if (isRebootJobType(jobType)) return "Pending Reboot";
  if (jobType == kGracefulShutdownJobType) return "GracefulShutdown Pending";
  return "New";
}

}  // namespace

bool isRebootJobType(uint32_t jobType) { return jobType == 40 || jobType == 41 || jobType == 42 || jobType == 44; }

namespace {

constexpr const char* kInternalTag = "createJobObjectInternal";

// The failure of a step inside createJobObjectInternal: logged, status 0, error code 1.
template <class Step>
auto internalStep(Step&& step) -> decltype(step()) {
  try {
    return step();
  } catch (const std::exception& e) {
    trace_printf(4, 8, "Exception: %s", e.what());
    return ResponseTriple{0, "", 1};
  }
}

// The refusal of the creation's pre-requisites (lockdown, name, system erase, controller
// firmware update), or nothing when they pass.
std::optional<ResponseTriple> preRequisiteRefusal(const CreationRequest& request) {
  trace_printf(4, 8, "[%s]: Checking job creation pre-requisites", kInternalTag);
  if (uint16_t refusal = CheckJobPreRequisites(request.jobName, request.jobType, request.systemErase); refusal != 0) {
    trace_printf(4, 8, "[%s]: Job creation pre-requisites failed", kInternalTag);
    return ResponseTriple{0, "", refusal};
  }
  trace_printf(4, 8, "[%s]: Job creation pre-requisites passed", kInternalTag);
  return std::nullopt;
}

// The first checks of a creation: the pre-requisites and the automatic-deletion capacity.
// The refusal, or nothing when the job may be created.
std::optional<ResponseTriple> admitJob(const CreationRequest& request) {
  if (auto refusal = preRequisiteRefusal(request)) return refusal;
  if (isJobAutoDeleteCapacityReached()) {
    trace_printf(4, 8, "[%s]: Job auto delete capacity reached", kInternalTag);
    initiateAutoDeletePolicy();
  }
  return std::nullopt;
}

// The creation once the store has room: the job object, its registration, events,
// counters, cache entry and backup command.
ResponseTriple buildJob(std::string jobName, uint32_t jobType, uint32_t eventFlags) {
  constexpr const char* kTag = kInternalTag;
  applyRebootJobType(jobName, jobType);

  std::string jobID = getUniqueJobID(jobType);
  trace_printf(4, 8, "[%s]: unique job id: %s", kTag, jobID.c_str());
  std::string path = kJobObjectPathPrefix + jobID;
  trace_printf(4, 8, "[%s]: object path: %s", kTag, path.c_str());
  auto job = std::make_unique<Jobservicejobinfo>(bus::connection(), path);
  trace_printf(4, 8, "[%s]: New job object created", kTag);
  trace_printf(4, 8, "[%s]: Calling jsInitJobInfo", kTag);
  std::map<std::string, sdbus::Variant> properties;
  jsInitJobInfo(properties, jobID, jobName, jobType);
  trace_printf(4, 8, "[%s]: successfully created & initialized job object", kTag);
  job->setAllProperties(properties);
  job->announce();
  addJobserviceinfo(jobID, std::move(job));
  trace_printf(4, 8, "[%s]: successfully added new job object to jobinfo map \n", kTag);

  submitCreationEvents(kTag, jobID, jobType, eventFlags);
  trace_printf(4, 8, "[%s]: job count: %d", kTag, mainObject().jobInfoObjCount());
  appendToJobList(jobID, kTag);
  trace_printf(4, 8, "[%s]: job create successfully with jobID: %s, trigger backup\n", kTag, jobID.c_str());
  addJobToCache(kTag, jobID);
  jsWriteToBuffer(jobID, Create);
  trace_printf(4, 8, "[%s]: Successfully triggered backup write to buffer\n", kTag);
  return {0, jobID, 0};
}

// The creation of a job that waited for room. While it waited, lockdown may have come on,
// a system erase or a controller firmware update may have started: it is checked again.
ResponseTriple createIfStillAdmitted(const CreationRequest& request) {
  if (auto refusal = preRequisiteRefusal(request)) return *refusal;
  return buildJob(request.jobName, request.jobType, request.eventFlags);
}

// Sends the reply; a connection that is gone leaves nobody to answer.
void sendReply(CreationRequest& request, const ResponseTriple& reply) {
  try {
    request.result.returnResults(std::get<0>(reply), std::get<1>(reply), std::get<2>(reply));
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: reply not sent: %s", request.tag, e.what());
  }
}

// The closing steps of every creation, whatever its outcome: createJobObject's line,
// the method frame's line and store count, and the reply.
void finishCreation(CreationRequest& request, const ResponseTriple& outcome) {
  if (request.throughCreateJobObject)
    trace_printf(4, 8, "[%s]: job create successfully with jobID: %s", "createJobObject", std::get<1>(outcome).c_str());
  const char* tag = request.tag;
  sendReply(request, methodFrame(tag, "[%s]: job create failed", [&]() -> ResponseTriple {
              trace_printf(4, 8, "[%s]: job create successfully with jobID: %s", tag, std::get<1>(outcome).c_str());
              if (std::get<2>(outcome) == 0) {
                uint16_t numJobs = mainObject().numJobsInStore();
                trace_printf(4, 8, "[%s]: numJobs: %d", tag, numJobs);
                mainObject().numJobsInStore(static_cast<uint16_t>(numJobs + 1));
              }
              return outcome;
            }));
}

// Creations that found the store full. Each is checked again once a second, four times,
// on this thread: the bus stays free meanwhile, so the automatic deletion that the
// creation started can remove jobs (it needs the bus lock) and other calls are answered.
// Every check, the pre-requisites checked again once there is room, and the creation that
// follows run under one hold of the bus lock, so two waiting creations cannot both take
// the last free place, and none slips past a refusal that came up while it waited.
// Creations that arrive before the start-up restore is over wait here too, unchecked,
// until it is: only then do the counts and IDs of the stored jobs stand, and no new job
// can take the place or the ID of a stored one.
class SpaceWaiter : bus::WorkerThread {
 public:
  static SpaceWaiter& instance() {
    static SpaceWaiter waiter;
    return waiter;
  }

  // Called with the bus lock held (a method handler). Takes the request, or throws and
  // leaves it untouched when the thread cannot be started.
  void add(CreationRequest& request) {
    std::lock_guard lock(mutex_);
    startIfIdle([this] { runGuarded(); });
    waiting_.reserve(waiting_.size() + 1);
    waiting_.push_back({std::move(request), 0, Clock::now() + kRecheckInterval});
    wake_.notify_one();
  }

  // As add, for a creation that arrived before the restore was over: it is admitted as
  // a new one once the restore is.
  void addUntilRestored(CreationRequest& request) {
    std::lock_guard lock(mutex_);
    startIfIdle([this] { runGuarded(); });
    waiting_.reserve(waiting_.size() + 1);
    waiting_.push_back({std::move(request), kUntilRestored, Clock::time_point::max()});
    wake_.notify_one();
  }

  // The restore is over: the creations waiting for it go on.
  void restoreOver() {
    std::lock_guard lock(mutex_);
    wake_.notify_one();
  }

  ~SpaceWaiter() { stop(); }

  // Answers every creation still waiting with the store-full refusal and ends the thread.
  void stop() { stopAndJoin(); }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kRecheckInterval = std::chrono::seconds(1);
  static constexpr int kChecks = 4;
  static constexpr int kUntilRestored = -1;

  struct Waiting {
    CreationRequest request;
    int attempt;
    Clock::time_point due;
  };

  void runGuarded() {
    try {
      run();
    } catch (const std::exception& e) {
      trace_printf(1, 8, "[%s]: waiting for room failed: %s", kInternalTag, e.what());
    }
  }

  void run() {
    for (;;) {
      auto [due, stopping] = takeDue();
      if (due.empty()) return;  // stopping, nothing left
      bus::Access busAccess;
      for (auto& waiting : due) stopping ? refuse(waiting) : recheck(waiting);
      due.erase(std::remove_if(due.begin(), due.end(), [](const Waiting& w) { return w.attempt >= kChecks; }),
                due.end());  // answered: their replies go while the bus lock is held
      std::lock_guard lock(mutex_);
      for (auto& waiting : due) waiting_.push_back(std::move(waiting));
    }
  }

  // Waits for the next creations due for a check; when stopping, takes them all.
  std::pair<std::vector<Waiting>, bool> takeDue() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopping_) return {std::exchange(waiting_, {}), true};
      auto now = Clock::now();
      std::vector<Waiting> due;
      Clock::time_point next = Clock::time_point::max();
      const bool restored = storeRestored();
      std::erase_if(waiting_, [&](Waiting& waiting) {
        if (waiting.attempt == kUntilRestored ? !restored : waiting.due > now) {
          next = std::min(next, waiting.due);
          return false;
        }
        due.push_back(std::move(waiting));
        return true;
      });
      if (!due.empty()) return {std::move(due), false};
      if (waiting_.empty())
        wake_.wait(lock);
      else
        wake_.wait_until(lock, next);
    }
  }

  // One check of a waiting creation, under the bus lock; sets attempt to kChecks when
  // the creation was answered.
  void recheck(Waiting& waiting) {
    CreationRequest& request = waiting.request;
    if (waiting.attempt == kUntilRestored) return admitAfterRestore(waiting);
    uint32_t rc = isBackupSpaceAvailable();
    trace_printf(4, 8, "[%s] Job service: ___ retCode = %d, retryCount =%d\n", kInternalTag, rc, waiting.attempt);
    ++waiting.attempt;
    waiting.due += kRecheckInterval;
    if (rc == 0) {
      trace_printf(4, 8, "[%s]: Job service: ___ Enough Space Available to Create Jobs\n", kInternalTag);
      waiting.attempt = kChecks;
      finishCreation(request, internalStep([&] { return createIfStillAdmitted(request); }));
    } else if (waiting.attempt == kChecks) {
      refuse(waiting);
    }
  }

  // A creation that waited for the restore goes the way of one that arrives now.
  static void admitAfterRestore(Waiting& waiting) {
    CreationRequest& request = waiting.request;
    waiting.attempt = kChecks;
    if (auto refusal = internalStep([&] { return admitJob(request); })) return finishCreation(request, *refusal);
    if (isBackupSpaceAvailable() == 0)
      return finishCreation(request, internalStep([&] { return buildJob(request.jobName, request.jobType, request.eventFlags); }));
    waiting.attempt = 0;
    waiting.due = Clock::now() + kRecheckInterval;
  }

  static void refuse(Waiting& waiting) {
    trace_printf(4, 8, "No space available\n");
    waiting.attempt = kChecks;
    finishCreation(waiting.request, {0, "", 6});
  }

  std::vector<Waiting> waiting_;
};

}  // namespace

void createJobObjectInternal(CreationRequest request) {
  if (!storeRestored()) {
    trace_printf(4, 8, "[%s]: the store is being restored: the creation waits for it", kInternalTag);
    try {
      SpaceWaiter::instance().addUntilRestored(request);
    } catch (const std::exception& e) {
      trace_printf(4, 8, "Exception: %s", e.what());
      finishCreation(request, {0, "", 1});
    }
    return;
  }
  std::optional<ResponseTriple> refusal = internalStep([&] { return admitJob(request); });
  if (refusal) {
    finishCreation(request, *refusal);
    return;
  }
  if (isBackupSpaceAvailable() != 0) {
    trace_printf(4, 8, "[%s]: Backup space not available, Allow 3 sleep of 3 seconds each & retry", kInternalTag);
    try {
      SpaceWaiter::instance().add(request);
    } catch (const std::exception& e) {
      trace_printf(4, 8, "Exception: %s", e.what());
      finishCreation(request, {0, "", 1});
    }
    return;
  }
  finishCreation(request, internalStep([&] { return buildJob(request.jobName, request.jobType, request.eventFlags); }));
}

void createJobObject(CreationRequest request) {
  constexpr const char* kTag = "createJobObject";
  trace_printf(4, 8, "[%s]: Entering createJobObject", kTag);
  trace_printf(4, 8, "[%s]: Calling createJobObjectInternal", kTag);
  request.throughCreateJobObject = true;
  createJobObjectInternal(std::move(request));
}

namespace {

// The first lines of the four create methods: the request they start.
CreationRequest enterCreateMethod(const char* tag, const char* entryLine, TripleReply&& result, std::string jobName,
                                  uint16_t jobType) {
  trace_printf(4, 8, entryLine, tag);
  trace_printf(4, 8, "[%s]: job create success", tag);
  return {.tag = tag, .result = std::move(result), .jobName = std::move(jobName), .jobType = jobType};
}

constexpr const char* kEntryLine = "[%s]: Entering job create service";

}  // namespace

void jobServCreate(TripleReply&& result, std::string jobName, uint16_t jobType) {
  createJobObject(enterCreateMethod("jobServCreate", kEntryLine, std::move(result), std::move(jobName), jobType));
}

void jobServCreateWithRetry(TripleReply&& result, std::string jobName, uint16_t jobType) {
  createJobObject(
      enterCreateMethod("jobServCreateWithRetry", kEntryLine, std::move(result), std::move(jobName), jobType));
}

void jobServCreateWithNoQVLog(TripleReply&& result, std::string jobName, uint16_t jobType) {
  CreationRequest request =
      enterCreateMethod("jobServCreateWithNoQVLog", kEntryLine, std::move(result), std::move(jobName), jobType);
  request.eventFlags = kSuppressCreatedEvent;
  createJobObjectInternal(std::move(request));
}

void jobServCreateSystemerase(TripleReply&& result, std::string jobName, uint16_t jobType) {
  CreationRequest request =
      enterCreateMethod("jobServCreateSystemerase", "[%s]: Entering job create service system erase", std::move(result),
                        std::move(jobName), jobType);
  request.systemErase = 1;
  createJobObjectInternal(std::move(request));
}

void finishWaitingCreations() { SpaceWaiter::instance().stop(); }

void resumeCreationsAfterRestore() { SpaceWaiter::instance().restoreOver(); }

uint16_t CheckJobPreRequisites(const std::string& jobName, uint32_t jobType, uint32_t systemErase) {
  constexpr const char* kTag = "CheckJobPreRequisites";
  trace_printf(4, 8, "[%s]: Entry ", kTag);
  if (JSCheckLockdownMode() == 0) {
    trace_printf(4, 8, "[%s]: System configuration lock down mode is turned on.\n", kTag);
    for (uint32_t lockedType : kLockdownJobTypes) {
      trace_printf(4, 8, "[%s]: Checking for jobType=%d", kTag, lockedType);
      if (lockedType == jobType) {
        trace_printf(4, 8,
                     "[%s]: System configuration lock down mode is turned on. Configuration/Updates actions are not "
                     "available in this mode.\n",
                     kTag);
        return 40;
      }
    }
  }
  if (jobName.empty()) {
    trace_printf(4, 8, "[%s]: jobName is NULL", kTag);
    return 4;
  }
  if (systemErase == 0) {
    trace_printf(4, 8, "[%s]: systemerase = %d flow not coming from system erase", kTag, 0);
    if (uint16_t rc = CheckSysEraseJob(); rc != 0) {
      trace_printf(4, 8, "[%s]: Validation of System Erase job failed with status = %d\n", kTag, rc);
      return rc;
    }
  }
  uint8_t updateActive = 0;
  if (uint16_t rc = JS_IsKelvoFWUpdateActiveNotSCP(updateActive); rc != 0) {
    trace_printf(4, 8, "[%s]: Validation of Kelvo FW Update job failed with status = 0x%X\n", kTag, rc);
    return rc;
  }
  if (updateActive != 0) {
    trace_printf(4, 8, "[%s]: Kelvo FW Update job is active. \n", kTag);
    AddEventsToQVL("JCP048");
    return 62;
  }
  trace_printf(4, 8, "[%s]: Exit ", kTag);
  return 0;
}

int JSCheckLockdownMode() {
  constexpr const char* kTag = "JSCheckLockdownMode";
  int lockdown = 0;
  int status = CfgGetAttributeInt("Kelvo.Embedded.1#Lockdown.1#SystemLockdown", &lockdown);
  if (status != 0) {
    trace_printf(4, 8, "[%s]: Failed to get lockdown mode, status=%d\n", kTag, status);
    return 1;
  }
  if (lockdown != 0) {
    trace_printf(4, 8, "[%s]: lockdown_mode of the kelvo=%d\n", kTag, lockdown);
    return 0;
  }
  trace_printf(4, 8, "[%s]: lockdown_mode is disabled\n", kTag);
  return 1;
}

namespace {

// CheckSysEraseJob's pass over the job list, which names every job it reads in the
// normal trace. It only logs: the answer is the registry's.
void logSystemEraseScan(const char* tag) {
  bool listed = forEachJob([&](const std::string& id, const JobInfoRecord* job) {
    if (job == nullptr) {
      trace_printf(4, 8, "[%s]: Error fetching job info properties for job ID: %s", tag, id.c_str());
      trace_printf(4, 8, "[%s]: Exit ", tag);
      return true;
    }
    logJobIdentity(tag, *job);
    if (job->jobType == kSystemEraseJobType && (job->jobState == 1 || job->jobState == 3)) {
      trace_printf(4, 8, "INFO: Not what we are looking for: jobState=%d, jobType=%d, status=%s\n",
                   static_cast<int>(job->jobState), 200, job->jobStatus.c_str());
      return false;
    }
    return true;
  });
  if (!listed) trace_printf(4, 8, "[%s]: Error fetching job info objects", tag);
}

}  // namespace

uint16_t CheckSysEraseJob() {
  constexpr const char* kTag = "CheckSysEraseJob";
  trace_printf(4, 8, "[%s]: Entry ", kTag);
  // The registry counts the running system-erase jobs of every registered job, whoever
  // changed them; the main object's job list, which a client may rewrite, is walked only
  // to name each job in the normal trace.
  if (trace_get_threshold() >= 4) logSystemEraseScan(kTag);
  if (systemEraseJobRunning()) return 38;
  trace_printf(4, 8, "[%s]: Exit ", kTag);
  return 0;
}

std::string getUniqueJobID(uint32_t jobType) {
  constexpr const char* kTag = "getUniqueJobID";
  trace_printf(4, 8, "[%s]: Entry ", kTag);
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string candidate = idPrefix(jobType) + idDigits();
    if (!jobIdInUse(candidate)) return candidate;
  }
  trace_printf(1, 8, "[%s]: Failed to generate unique job ID\n", kTag);
  return "";
}

void jsInitJobInfo(std::map<std::string, sdbus::Variant>& properties, const std::string& jobID,
                   const std::string& jobName, uint32_t jobType) {
  constexpr const char* kTag = "jsInitJobInfo";
  trace_printf(4, 8, "[%s]: Entering jsInitJobInfo", kTag);
  properties["jsJobID"] = sdbus::Variant(jobID);
  // Stored as every later update stores it: a name is not a way to grow the store.
  properties["jobName"] = sdbus::Variant(bus::validUtf8Prefix(jobName, kMaxJobNameBytes));
  properties["message"] = sdbus::Variant(std::string("New"));
  properties["messageID"] = sdbus::Variant(std::string("JCP000"));
  properties["latestUpdateTime"] = sdbus::Variant(currentTimeSeconds());
  properties["creationTime"] = sdbus::Variant(currentTimeSeconds());
  properties["startTime"] = sdbus::Variant(currentTimeSeconds());
  properties["jobType"] = sdbus::Variant(jobType);
  properties["jobState"] = sdbus::Variant(uint32_t{0});
  properties["percentComplete"] = sdbus::Variant(uint16_t{254});
  properties["runningTimeoutSeconds"] = sdbus::Variant(runningTimeoutSeconds(jobType));
  trace_printf(4, 8, "[%s]: Entering jsInitJobInfo: jobType = %d", kTag, static_cast<int>(jobType));
  properties["jobStatus"] = sdbus::Variant(std::string(initialJobStatus(jobType)));
  trace_printf(4, 8, "[%s]: Exiting jsInitJobInfo", kTag);
}

}  // namespace velmer
