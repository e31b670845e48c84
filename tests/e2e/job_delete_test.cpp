// JobServDelete as a client sees it: the refusals and their order, the tools and peers a
// deletion reaches, the delete mark, the removal through the backup thread and the
// background clean-up of the firmware's staged configuration. Then the pending-
// configuration clean-up on its own, through JobServCleanupPersistentData, against fake
// peers on the private bus and fake tool scripts under the sandbox root. Last, automatic
// deletion: a creation at the store's automatic-deletion capacity starts a pass that
// removes the finished jobs completed at least the time-out ago, each with its object,
// list entry, counts, cache entry and key-value entries.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fake_tool.hpp"
#include "job_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

constexpr const char* kJobCancelTool = "/usr/bin/jobcancelctl";
constexpr const char* kClearAll = "JID_CLEARALL";
constexpr const char* kClearAllForce = "JID_CLEARALL_FORCE";

constexpr uint16_t kScheduled = 2, kRunning = 3, kFinished = 4;
constexpr uint8_t kDeleteMark = 2;
constexpr uint64_t kDcsSync = 0xC0000001, kDcsCancel = 0xC0000002;

// Quotes, a semicolon and a command substitution; it fits the 39-character status.
const std::string kHostileImage = R"(img's "x"; $(touch pwned))";
// Quotes, a semicolon, a command substitution and a space: text a shell would act on.
const std::string kHostileText = R"(it's "x"; touch pwned $(touch pwned) `touch pwned`)";

class JobDeletion : public JobTest {
 protected:
  // A report of the service that runs the job; empty texts leave the stored ones.
  void report(const std::string& jobID, uint16_t state, const std::string& status = "",
              const std::string& message = "", const std::string& messageID = "", uint16_t percent = kSame) {
    ASSERT_EQ(update(jobID, state, percent, status, message, messageID), 0);
  }
  // A new job of type 5 that reported `state`.
  std::string jobIn(uint16_t state, const std::string& message = "", const std::string& messageID = "") {
    const std::string id = createJob("Job", 5);
    report(id, state, "", message, messageID);
    return id;
  }

  bool isMarked(const std::string& jobID) { return jobValue<uint8_t>(jobID, "flags") & kDeleteMark; }
  bool noneMarked(const IdList& jobs) {
    return std::none_of(jobs.begin(), jobs.end(), [&](auto& id) { return isMarked(id); });
  }

  // Whether a change signal set the delete mark on the job since the recorder was cleared.
  bool markedInSignals(const std::string& jobID) {
    recorder().sync();
    for (const auto& flags : recorder().changesOf("flags", jobPath(jobID)))
      if (flags.get<uint8_t>() & kDeleteMark) return true;
    return false;
  }

  // The last recorded change of each property of a job.
  PropertyMap lastChanges(const std::string& jobID) {
    PropertyMap changes;
    for (const auto& signal : recorder().signals())
      if (signal.member == "PropertiesChanged" && signal.path == jobPath(jobID))
        for (const auto& [name, value] : signal.changed) changes[name] = value;
    return changes;
  }

  bool waitForQueueCount(uint16_t count) {
    return waitUntil([&] { return client().mainProperty<uint16_t>("jobQueueObjCount") == count; }, kRemovalTimeout);
  }

  // The commands the DCS protocol received, as "sync" and "cancel <job ID>".
  IdList dcsCommands() const {
    IdList result;
    for (const auto& command : records("dcs.jsonl"))
      result.push_back(command["command"] == kDcsSync     ? "sync"
                       : command["command"] == kDcsCancel ? "cancel " + command.value("jobId", std::string())
                                                          : command.dump());
    return result;
  }

  // Whether the shared cache's journal holds the job's removal.
  bool leftTheCache(const std::string& jobID) const {
    const auto changes = records("jobcache.jsonl");
    return std::any_of(changes.begin(), changes.end(),
                       [&](auto& change) { return change["op"] == "remove_job" && change["id"] == jobID; });
  }

  uint16_t cleanUp(const std::string& name, const std::string& jobID, uint32_t type, const std::string& status = "") {
    return client().callMain<uint16_t>("JobServCleanupPersistentData", name, jobID, type, status, uint32_t{2});
  }

  // JobServDelete from a client of its own while `tool` holds its calls: once it runs,
  // `meanwhile` runs and the tool is released. The deletion's reply.
  Reply deleteWhileHeld(const IdList& jobs, FakeTool& tool, const std::function<void()>& meanwhile) {
    Reply reply;
    const size_t calls = tool.calls().size();
    std::jthread deletion([&] {
      reply = BusClient().callMain<uint16_t, std::string, uint16_t>("JobServDelete", jobs,
                                                                    static_cast<uint16_t>(jobs.size()), uint16_t{0});
    });
    const bool toolRuns = tool.waitForCalls(calls + 1, 5s);
    if (toolRuns) meanwhile();
    tool.release();
    deletion.join();
    EXPECT_TRUE(toolRuns);
    return reply;
  }

  // Waits until `count` background clean-ups have ended.
  bool waitForCleanupWorkers(size_t count) {
    const std::string done = "[JS_CleanupInBackgroundWork]: Cleanup thread done";
    return waitUntil([&] { return occurrences(readLog(), done) >= count; }, 10s);
  }
};

TEST_F(JobDeletion, RefusalsComeBeforeAnyMarkAndACancelToolFailureRefusesWithItsCodeOr24) {
  peers().start();
  FakeTool cancelTool(root(), kJobCancelTool);
  // The tool's exit code (minus a signal: the tool dies of it), then the reply code of a
  // named deletion and of a clear-all. A named job passes the tool's own codes on, a
  // clear-all only 25; any other failure, a death by a signal included, is 24.
  const std::tuple<int, uint16_t, uint16_t> outcomes[] = {{25, 25, 25}, {31, 31, 24}, {7, 24, 24}, {-SIGKILL, 24, 24}};
  auto failWith = [&](int exitCode) { exitCode < 0 ? cancelTool.dieOf(-exitCode) : cancelTool.exitWith(exitCode); };

  // A clear-all of an empty store runs the tool as well; nothing selected, no worker runs.
  EXPECT_EQ(deleteJobs({kClearAll}), (Reply{0, "", 0}));
  for (const auto& [exitCode, named, clearAll] : outcomes) {
    failWith(exitCode);
    EXPECT_EQ(deleteJobs({kClearAll}), (Reply{0, "", clearAll})) << exitCode;
  }
  cancelTool.exitWith(0);
  EXPECT_EQ(deleteJobs({kClearAllForce}), (Reply{0, "", 0}));
  EXPECT_EQ(cancelTool.calls().back(), ToolCall{kClearAllForce});
  EXPECT_TRUE(events("JCP046").empty());
  EXPECT_TRUE(dcsCommands().empty());
  peers().forgetCalls();

  const std::string first = createJob("Job", 21), second = createJob("Job", 5);
  size_t cancels = cancelTool.calls().size();
  auto setLockdown = [&](int value) { writeAttributes({{"Kelvo.Embedded.1#Lockdown.1#SystemLockdown", value}}); };
  setLockdown(1);  // before every other check, whatever the request
  EXPECT_EQ(deleteJobs({}, 0), (Reply{40, "", 40}));
  EXPECT_EQ(deleteJobs({kClearAllForce}), (Reply{40, "", 40}));
  setLockdown(0);
  EXPECT_EQ(deleteJobs({}, 1), (Reply{0, "", 1}));
  EXPECT_EQ(deleteJobs({first}, 0), (Reply{0, "", 5}));
  EXPECT_EQ(deleteJobs({kClearAll, first}, 2), (Reply{0, "", 1}));
  EXPECT_EQ(deleteJobs({kClearAll}, 1, 1), (Reply{0, "", 1}));  // a clear-all cannot be a single forced deletion
  EXPECT_EQ(deleteJobs({first, second, first}), (Reply{0, first, 11}));
  EXPECT_EQ(deleteJobs({first}, 2), (Reply{0, "", 1}));  // fewer entries than numJobs
  EXPECT_EQ(cancelTool.calls().size(), cancels);
  EXPECT_TRUE(noneMarked({first, second}));
  EXPECT_TRUE(peers().methodsCalled().empty());
  EXPECT_TRUE(events("JCP036").empty());

  // A named list stops at the first refused job, with its position, and leaves the
  // earlier jobs cancelled but unmarked.
  const std::string running = jobIn(kRunning);
  const std::string inUse = jobIn(kRunning, "tAMBER iN uSE"), lockedResource = jobIn(kRunning, "Busy", "jcp024");
  EXPECT_EQ(deleteJobs({first, running}), (Reply{1, running, 18}));
  EXPECT_EQ(deleteJobs({inUse}), (Reply{0, inUse, 39}));
  EXPECT_EQ(deleteJobs({first, lockedResource}), (Reply{1, lockedResource, 39}));
  EXPECT_EQ(deleteJobs({first, "JID_000000000000"}), (Reply{1, "JID_000000000000", 1}));
  // The clear-all word is an ordinary (unknown) ID anywhere but first.
  EXPECT_EQ(deleteJobs({first, kClearAll}), (Reply{1, kClearAll, 1}));
  const auto calls = cancelTool.calls();
  EXPECT_EQ(std::vector<ToolCall>(calls.begin() + cancels, calls.end()), std::vector<ToolCall>(4, ToolCall{first}));
  EXPECT_TRUE(noneMarked({first, running, inUse, lockedResource}));

  // A failing tool refuses the named job and leaves it unmarked.
  for (const auto& [exitCode, named, clearAll] : outcomes) {
    failWith(exitCode);
    EXPECT_EQ(deleteJobs({first}), (Reply{0, first, named})) << exitCode;
  }
  EXPECT_FALSE(isMarked(first));

  cancelTool.exitWith(0);
  recorder().clear();
  EXPECT_EQ(deleteJobs({first, running}, 1), (Reply{0, "", 0}));  // only the first numJobs entries count
  EXPECT_EQ(cancelTool.calls().back(), ToolCall{first});
  EXPECT_TRUE(markedInSignals(first));
  EXPECT_EQ(deleteJobs({first}), (Reply{0, first, 1}));  // marked or already gone
  EXPECT_FALSE(isMarked(running));
}

// With the clean-up of type 212 failing (65535), also the queue of its jobs.
TEST_F(JobDeletion, AQueueWithdrawnByAForcedClearAllLeavesAndFreesTheJobsItsCleanupKeeps) {
  peers().start();
  peers().failWith("cancelSetBIOSTime", "com.zorvex.kelvo.provisiond.Error.Busy");  // the clean-up fails: 65535
  FakeTool cancelTool(root(), kJobCancelTool);
  QueueExecutionPeer scheduler(root());
  // A clean-up failure refuses only unfinished jobs.
  const std::string pendingTime = createJob("Job", 212), finishedTime = createJob("Job", 212);
  report(finishedTime, kFinished, "Failed");
  EXPECT_EQ(deleteJobs({finishedTime, pendingTime}), (Reply{1, pendingTime, 65535}));
  EXPECT_FALSE(isMarked(finishedTime));
  EXPECT_EQ(deleteJobs({finishedTime}), (Reply{0, "", 0}));

  // deleteMode 1: every job is checked and cancelled, then two are too many.
  const std::string first = createJob("Job", 21), second = createJob("Job", 21);
  const size_t callsBefore = cancelTool.calls().size();
  EXPECT_EQ(deleteJobs({first, second}, 2, 1), (Reply{0, "", 14}));
  EXPECT_EQ(cancelTool.calls().size(), callsBefore + 2);
  EXPECT_TRUE(noneMarked({first, second}));

  // One job is withdrawn without the mark.
  recorder().clear();
  EXPECT_EQ(deleteJobs({first}, 1, 1), (Reply{0, "", 0}));
  EXPECT_FALSE(markedInSignals(first));
  EXPECT_TRUE(waitUntilGone({first, finishedTime}));
  EXPECT_TRUE(onBus(jobPath(second)) && onBus(jobPath(pendingTime)));

  // A forced clear-all keeps the jobs whose clean-up failed but withdraws their queue.
  EXPECT_EQ(deleteJobs({second}), (Reply{0, "", 0}));  // the reply is that of the last job, of type 212
  const std::string running = createJob("Job", 212), waiting = createJob("Job", 212);
  const std::string queueID = std::get<1>(schedule({running, waiting}));
  report(running, kRunning);
  EXPECT_EQ(deleteJobs({kClearAllForce}), (Reply{0, "", 65535}));
  // The queue-execution process got the queue, then its kill, which carries no times.
  EXPECT_EQ(scheduler.receiveWaiting(), (std::vector<ReceivedSchedulerMessage>{
                                            {2, expectedSchedulerPayload(0, kNoEnd, queueID)},
                                            {3, expectedSchedulerPayload(0, 0, queueID)}}));
  EXPECT_TRUE(waitForQueueCount(0)) << "a withdrawn queue runs nothing: it leaves";
  EXPECT_TRUE(onBus(jobPath(running)) && onBus(jobPath(pendingTime)));
  EXPECT_NE(std::get<1>(schedule({waiting})), "") << "the job that stays is free to be scheduled again";
}

// The backup and key-value files follow a deletion as the persistence tests check. A job
// of type 0 gets a "QID_" ID; a named deletion (and a clear-all, below) still removes it
// as a job.
TEST_F(JobDeletion, NamedDeletionRemovesTheJobFromTheBusAndTheCacheAlsoOfTypeZeroWhoseIdLooksLikeAQueue) {
  peers().start();
  const std::string doomed = createJob("Job", 0), kept = createJob("Job", 5);
  ASSERT_EQ(doomed.substr(0, 4), "QID_");
  EXPECT_EQ(deleteJobs({doomed}), (Reply{0, "", 0}));
  ASSERT_TRUE(waitForRemoval(jobPath(doomed)));
  EXPECT_TRUE(hasFields(client().mainProperties(), {{"jobInfoObjList", {kept}}, {"numJobsInStore", 1}}));
  EXPECT_TRUE(leftTheCache(doomed));
  ASSERT_EQ(events("JCP036").size(), 1u);
  EXPECT_EQ(events("JCP036")[0]["args"], nlohmann::json::array({doomed}));

  // A job that writes no event-log entries is deleted without one, unless it is of the
  // types 180 and 182, which always announce their deletion.
  ASSERT_TRUE(waitForCleanupWorkers(1));  // its DCS commands come first
  const std::string silent = createJob("Job", 5), alwaysAnnounced = createJob("Job", 180);
  for (const auto& id : {silent, alwaysAnnounced}) ASSERT_EQ(setJob(id, {{"flags", uint8_t{8}}}), 0);
  EXPECT_EQ(deleteJobs({silent, alwaysAnnounced}), (Reply{0, "", 0}));
  ASSERT_EQ(events("JCP036").size(), 2u);
  EXPECT_EQ(events("JCP036")[1]["args"], nlohmann::json::array({alwaysAnnounced}));

  // Each named deletion's worker: a sync, its jobs' cancels, a sync; no data-manager restart.
  ASSERT_TRUE(waitForCleanupWorkers(2));
  EXPECT_EQ(dcsCommands(), (IdList{"sync", "cancel " + doomed, "sync", "sync", "cancel " + silent,
                                   "cancel " + alwaysAnnounced, "sync"}));
  EXPECT_TRUE(records("funcbroker.jsonl").empty());
  EXPECT_TRUE(waitUntilGone({silent, alwaysAnnounced}));

  // A queue goes with the last of its jobs.
  QueueExecutionPeer scheduler(root());
  const std::string first = createJob("Job", 5), second = createJob("Job", 5);
  schedule({first, second});
  EXPECT_EQ(deleteJobs({first}), (Reply{0, "", 0}));
  EXPECT_TRUE(waitUntilGone({first}));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);
  EXPECT_EQ(deleteJobs({second}), (Reply{0, "", 0}));
  EXPECT_TRUE(waitForQueueCount(0));

  // The stored status is the backup tool's image name, passed as one argument (the
  // arguments of every tool, hostile texts included, are checked through the clean-up
  // method, which shares these calls).
  FakeTool backupTool(root(), "/bin/bkrestctl");
  const std::string backup = createJob("Backup", 164);
  report(backup, kSame, kHostileImage);
  EXPECT_EQ(deleteJobs({backup}), (Reply{0, "", 0}));
  ASSERT_TRUE(backupTool.waitForCalls(1, 5s));
  EXPECT_EQ(backupTool.calls(),
            (std::vector<ToolCall>{{"cleanup", "-jobid=" + backup, "-imageName=" + kHostileImage}}));
}

TEST_F(JobDeletion, ClearAllDeletesWhatItMayAndAForcedOneFailsRunningJobsAndRestartsTheDataManager) {
  // Each clear-all's pass is counted in the log: the backup thread serves its commands.
  ASSERT_TRUE(waitForStartupSequence());
  peers().start();
  FakeTool cancelTool(root(), kJobCancelTool);
  const std::string running = jobIn(kRunning), finished = createJob("Job", 212), scheduled = jobIn(kScheduled);
  const std::string timeChange = createJob("Job", 212);
  report(finished, kFinished, "Completed");

  // The BIOS time cancel answering 12 ends the clear-all before anything is marked.
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 12);
  EXPECT_EQ(deleteJobs({kClearAll}), (Reply{0, "", 12}));
  EXPECT_TRUE(noneMarked({running, finished, scheduled, timeChange}));

  // Any other clean-up failure keeps an unfinished job only; the running job stays too.
  // The firmware-update service failing changes nothing.
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 9);
  peers().failWith("fwupdcore_delete_job", "com.zorvex.kelvo.fwupdcore.Error.Busy");
  peers().forgetCalls();
  EXPECT_EQ(deleteJobs({kClearAll}), (Reply{0, "", 0}));
  EXPECT_EQ(peers().calls("fwupdcore_delete_job"), (CallList{{scheduled}}));
  EXPECT_TRUE(waitUntilGone({finished, scheduled}));
  EXPECT_TRUE(noneMarked({running, timeChange}));
  EXPECT_TRUE(events("JCP045").empty());
  // Nothing selected: the reply carries the status of the last job kept.
  EXPECT_EQ(deleteJobs({kClearAll}), (Reply{0, "", 9}));

  // Only finished jobs: one event, all gone.
  report(running, kFinished, "Completed");
  report(timeChange, kFinished, "Failed");
  EXPECT_EQ(deleteJobs({kClearAll}), (Reply{0, "", 0}));
  EXPECT_EQ(events("JCP045").size(), 1u);
  EXPECT_TRUE(waitUntilGone({running, timeChange}));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 0);
  EXPECT_EQ(cancelTool.calls(), (std::vector<ToolCall>(4, ToolCall{kClearAll})));

  // Three workers (a clear-all's worker is checked below); no data-manager restart.
  ASSERT_TRUE(waitForCleanupWorkers(3));
  EXPECT_TRUE(records("funcbroker.jsonl").empty());

  // The forced form fails the running jobs, asks no firmware-update service, cancels
  // every job in one worker and restarts the data manager (the withdrawal of a queue is
  // checked above).
  const std::string alone = createJob("Job", 5), queued = createJob("Job", 5), queuedToo = createJob("Job", 5);
  const std::string later = jobIn(kScheduled), done = createJob("Job", 0);  // type 0: an ID like a queue's
  report(alone, kRunning, "", "", "", 40);
  report(queued, kRunning);
  report(queuedToo, kRunning, "", "", "", 150);
  report(done, kFinished, "Completed");
  peers().forgetCalls();
  recorder().clear();
  IdList dcs = dcsCommands();
  EXPECT_EQ(deleteJobs({kClearAllForce}), (Reply{0, "", 0}));
  EXPECT_EQ(cancelTool.calls().back(), ToolCall{kClearAllForce});
  EXPECT_EQ(events("JCP046").size(), 1u);
  EXPECT_EQ(events("JCP045").size(), 1u);
  EXPECT_TRUE(peers().calls("fwupdcore_delete_job").empty());
  recorder().sync();
  for (const auto& id : {alone, queued, queuedToo}) {
    const PropertyMap changes = lastChanges(id);
    EXPECT_TRUE(hasFields(changes, {{"messageID", "JCP008"}, {"message", "Job completed with errors."},
                                    {"jobStatus", "Failed"}, {"jobState", 4}}));
    EXPECT_GT(changes.at("completionTime").get<int64_t>(), 0) << id;
    // A percentage stays "not applicable"; any other becomes 100.
    EXPECT_EQ(changes.contains("percentComplete") ? changes.at("percentComplete").get<uint16_t>() : -1,
              id == queued ? -1 : 100) << id;
  }
  EXPECT_FALSE(lastChanges(later).contains("messageID"));
  EXPECT_TRUE(waitUntilGone({alone, queued, queuedToo, later, done}));
  EXPECT_TRUE(waitUntil([&] { return client().mainProperty<uint16_t>("numJobsInStore") == 0; }, kRemovalTimeout));
  ASSERT_TRUE(waitForCleanupWorkers(4));
  for (const auto& id : {alone, queued, queuedToo, later, done}) dcs.push_back("cancel " + id);
  dcs.insert(dcs.end() - 5, "sync");
  dcs.push_back("sync");
  EXPECT_EQ(dcsCommands(), dcs);
  const auto restarts = records("funcbroker.jsonl");
  ASSERT_EQ(restarts.size(), 1u);
  EXPECT_EQ(restarts[0]["function"], "privhelperd_restart_DM");
}

// A deletion gives the bus up while it waits on a tool: other calls are answered, and the
// jobs it checked may start running meanwhile, which then keeps them as running jobs are
// kept. A tool that hangs is asked to end, then killed with what it started.
TEST_F(JobDeletion, WhileADeletionWaitsOnAToolJobsMayStartAndAHungToolIsEndedWithItsChild) {
  FakeTool cancelTool(root(), kJobCancelTool), eraseTool(root(), "/bin/syserasectl");
  cancelTool.holdUntilReleased();
  eraseTool.holdUntilReleased();
  const std::string download = createJob("Job", 20);
  EXPECT_EQ(deleteWhileHeld({download}, cancelTool, [&] { report(download, kRunning, "", "", "JCP024"); }),
            (Reply{0, download, 39}));

  // In a clear-all, the job starts while the clean-up of a later job waits on its tool.
  report(download, kFinished, "Completed");
  const std::string started = createJob("Job", 5), erase = createJob("Erase", 200);
  EXPECT_EQ(deleteWhileHeld({kClearAll}, eraseTool, [&] { report(started, kRunning); }), (Reply{0, "", 0}))
      << "the reply is that of the jobs marked";
  EXPECT_TRUE(waitUntilGone({download, erase}));
  EXPECT_TRUE(onBus(jobPath(started)) && !isMarked(started));

  cancelTool.hang();
  const std::string hung = createJob("Job", 20);
  client().connection().setMethodCallTimeout(std::chrono::microseconds(30s).count());  // a tool's 12 s and more
  EXPECT_EQ(deleteJobs({hung}), (Reply{0, hung, 24}));
  EXPECT_TRUE(cancelTool.termRequested()) << "SIGTERM comes first";
  const std::string straggler = readFile(cancelTool.straggler());
  const std::string statPath = "/proc/" + straggler.substr(0, straggler.find('\n')) + "/stat";
  EXPECT_TRUE(waitUntil([&] {  // killed with the tool: gone, or a zombie of whoever adopted it
    const std::string stat = readFile(statPath);
    return stat.empty() || stat.find(") Z ") != std::string::npos;
  }, 5s)) << "the tool's child, deaf to SIGTERM, is gone too: " << readFile(statPath);
}

using PendingConfigCleanup = JobDeletion;

TEST_F(PendingConfigCleanup, EachKindOfJobReachesItsOwnPeerAndNoAnswerOfThePeersFailsTheCleanup) {
  // The mapper lists paths in order; the match comes last, after a device no object
  // answers for, a key that is no text and another slot.
  const std::string controller = "RAID.Integrated.1-1";
  const std::string drive = "Disk.Bay.0:Enclosure.Internal.0-1:RAID.Integrated.1-1";
  peers().addDevice({"/inventory/nic/a", kNicSlotInterface, "Key", "NIC.Slot.1-1-1", false});
  peers().addDevice({"/inventory/nic/b", kNicSlotInterface, "Key", int32_t{7}});
  peers().addDevice({"/inventory/nic/c", kNicSlotInterface, "Key", "NIC.Slot.2-1-1"});
  peers().addDevice({"/inventory/nic/d", kNicSlotInterface, "Key", "NIC.Slot.1-1-1"});
  peers().addDevice({"/inventory/fc", kFcSlotInterface, "Key", "FC.Slot.2-1"});
  peers().addDevice({"/inventory/ib", kIbSlotInterface, "Key", "InfiniBand.Slot.3-1"});
  peers().addDevice({"/inventory/storage/controller", kControllerInterface, "Fqdd", controller});
  peers().addDevice({"/inventory/storage/drive", kDriveInterface, "Fqdd", drive});
  peers().start();

  // Each type asks the mapper for the devices of its own interface and cancels only
  // those; the type's high bits do not change the kind of job.
  for (auto [type, interface, ownFqdd, otherFqdd] :
       {std::tuple{62u, kNicSlotInterface, "NIC.Slot.1-1-1", "FC.Slot.2-1"},
        std::tuple{63u, kFcSlotInterface, "FC.Slot.2-1", "InfiniBand.Slot.3-1"},
        std::tuple{64u, kIbSlotInterface, "InfiniBand.Slot.3-1", "NIC.Slot.1-1-1"},
        std::tuple{0x1003Eu, kNicSlotInterface, "NIC.Slot.1-1-1", ""}}) {
    peers().forgetCalls();
    EXPECT_EQ(cleanUp(std::string("Job:") + otherFqdd, "JID_1", type), 0);
    EXPECT_EQ(cleanUp(std::string("Job:") + ownFqdd, "JID_000000000101", type), 0);
    EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{ownFqdd, "JID_000000000101"}})) << type;
    EXPECT_EQ(peers().calls("GetSubTree"), CallList(2, {"/", "0", interface})) << type;
  }

  // A name that does not end in a colon and the FQDD cancels nothing (the matching rule
  // is unit-tested); an adapter that is not in the inventory at all is no failure either.
  peers().forgetCalls();
  for (const std::string name : {"Configure NIC.Slot.1-1-1", "", "Configure:NIC.Slot.9-9-9"})
    EXPECT_EQ(cleanUp(name, "JID_1", 62), 0) << name;
  EXPECT_TRUE(peers().calls("SetConfigCancel").empty());

  // Storage jobs send the drive or the controller.
  peers().forgetCalls();
  EXPECT_EQ(cleanUp("Create volume:" + drive, "JID_1", 60), 0);
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_2", 75), 0);
  EXPECT_EQ(cleanUp("Reset:RAID.Slot.4-1", "JID_3", 60), 0);
  EXPECT_EQ(peers().calls("ConfigCancel"), (CallList{{"JID_1", drive}, {"JID_2", controller}}));
  EXPECT_EQ(peers().calls("GetSubTree").size(), 6u);  // both interfaces asked for every job

  // The mapping of the answer is unit-tested; here: a refusal or an error fails nothing.
  peers().answer(&PeerAnswers::configCancelP, 0x8000000000000007ULL);
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_1", 60), 0);
  peers().failWith("ConfigCancel", "com.zorvex.kelvo.storage.Error.Busy");
  EXPECT_EQ(cleanUp("Reset:" + controller, "JID_1", 60), 0);

  // BIOS jobs reach the configuration manager; whatever it answers, the job stays deletable.
  peers().forgetCalls();
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_1", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{"BIOS.Setup.1-1", "JID_1"}}));
  peers().failWith("SetConfigCancel", "com.zorvex.kelvo.system.Error.Busy");
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_2", 61), 0);
  // No BIOS FQDD: nothing to cancel.
  peers().answer(&PeerAnswers::biosFqdd, "");
  EXPECT_EQ(cleanUp("Configure BIOS", "JID_3", 61), 0);
  EXPECT_EQ(peers().calls("SetConfigCancel").size(), 2u);

  // The BIOS time job passes the provisioning status on in sixteen bits.
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 0);
  EXPECT_EQ(peers().calls("cancelSetBIOSTime"), (CallList{{""}}));
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 9);
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 9);
  peers().answer(&PeerAnswers::cancelSetBIOSTime, 0x10003);
  EXPECT_EQ(cleanUp("Set BIOS time", "JID_1", 212), 3);

  // The controller firmware marker clears an active update flag (the state before and
  // after), whatever the type, and asks no peer.
  peers().forgetCalls();
  for (auto [name, before, after] : {std::tuple{"Update kelvo WITH tamber firmware", 33, 30},
                                     std::tuple{"Update Kelvo firmware", 33, 33}, std::tuple{"Kelvo with Tamber", 0, 0}}) {
    ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t(before)), 0);
    EXPECT_EQ(cleanUp(name, "JID_1", 5), 0);
    EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), after) << name;
  }
  EXPECT_TRUE(peers().methodsCalled().empty());
}

TEST_F(PendingConfigCleanup, ToolsGetTheirArgumentsVerbatimAndAttributeJobsCancelTheirOwnSet) {
  // The system erase tool is waited for: the record is complete when the reply arrives.
  FakeTool erase(root(), "/bin/syserasectl");
  const std::string jobID = "JID_1" + kHostileText;
  EXPECT_EQ(cleanUp("Erase", jobID, 200), 0);
  EXPECT_EQ(erase.calls(), (std::vector<ToolCall>{{"delete", "job=" + jobID}}));
  erase.exitWith(3);
  EXPECT_EQ(cleanUp("Erase", "JID_2", 200), 0);
  std::filesystem::remove(erase.path());
  EXPECT_EQ(cleanUp("Erase", "JID_3", 200), 0);

  // The backup and restore tool starts in the background.
  FakeTool backup(root(), "/bin/bkrestctl");
  const std::string image = "image " + kHostileText;
  EXPECT_EQ(cleanUp("Backup", jobID, 165, image), 0);
  ASSERT_TRUE(backup.waitForCalls(1, 5s));
  EXPECT_EQ(backup.calls().back(), (ToolCall{"cleanup", "-jobid=" + jobID, "-imageName=" + image}));
  EXPECT_FALSE(std::filesystem::exists(root() / "pwned"));
  EXPECT_FALSE(std::filesystem::exists(erase.path().parent_path() / "pwned"));

  // The staged attributes of each kind are cancelled by the platform, which only logs it.
  for (auto [type, fqdd] : {std::pair{65u, "Kelvo.Embedded.1"}, std::pair{66u, "System.Embedded.1"},
                            std::pair{160u, "Tamber.Embedded.1"}}) {
    const size_t mark = readLog().size();
    EXPECT_EQ(cleanUp("Attributes", "JID_1", type), 0);
    EXPECT_NE(readLog(mark).find(std::string("cancel staged attributes of ") + fqdd), std::string::npos) << type;
  }
}

constexpr int64_t kDefaultTimeout = 172800;  // 48 hours
constexpr const char* kPassDone = "[JSProcessDeletionCommands]: Exiting JSProcessDeletionCommands";

class AutoDeletion : public JobDeletion {
 protected:
  std::string jobIn(uint32_t state, int64_t completedSecondsAgo, uint16_t type = 1) {
    std::string id = createJob("Configure: RAID", type);
    EXPECT_EQ(setJob(id, {{"jobState", state}, {"completionTime", now() - completedSecondsAgo}}), 0);
    return id;
  }

  // The creation that finds the store at its capacity starts a pass, which removes what
  // it selects before it ends; returns the new job's ID once the pass is over.
  std::string creationWithPass(uint16_t numJobsInStore) {
    const size_t logStart = readLog().size();
    EXPECT_EQ(setMain({{"autoDeleteCapacity", numJobsInStore}, {"numJobsInStore", numJobsInStore}}), 0);
    const std::string trigger = createJob("Trigger", 1);
    EXPECT_TRUE(waitForLog(kPassDone, 10s, logStart));
    return trigger;
  }
};

TEST_F(AutoDeletion, PassRemovesExactlyTheFinishedJobsAtOrPastTheTimeoutAndTheCountNeverWraps) {
  ASSERT_TRUE(waitForStartupSequence());  // its own pass ends in the same line
  std::string due = jobIn(4, kDefaultTimeout);
  std::string longDue = jobIn(4, 10 * kDefaultTimeout, 0);  // type 0: an ID like a queue's
  std::string recent = jobIn(4, kDefaultTimeout - 60);
  std::string running = jobIn(3, 10 * kDefaultTimeout);
  std::string rebootPending = jobIn(6, 10 * kDefaultTimeout);
  for (const std::string& id : {due, longDue, recent})
    ASSERT_EQ(client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", id, std::string("key"), std::string("caller"),
                                          std::string("value")),
              0);

  const size_t logStart = readLog().size();
  const std::string trigger = creationWithPass(5);
  EXPECT_EQ(client().mainProperty<IdList>("jobInfoObjList"), (IdList{recent, running, rebootPending, trigger}));
  EXPECT_FALSE(onBus(jobPath(due)) || onBus(jobPath(longDue)));
  // 6 after the creation, less the two removed.
  EXPECT_TRUE(hasFields(client().mainProperties(), {{"jobInfoObjCount", 4}, {"numJobsInStore", 4}}));

  // The key-value file follows the property as it does for a named deletion, written
  // once for the pass.
  const auto blob = client().mainProperty<BlobKeyValue>("blobKeyValue");
  EXPECT_EQ(std::make_tuple(blob.contains(due), blob.contains(longDue), blob.contains(recent), leftTheCache(due),
                            leftTheCache(recent)),
            std::make_tuple(false, false, true, true, false));
  EXPECT_TRUE(waitForLog("[persistBlobKeyValue]: Successfully persisted", 5s, logStart));
  EXPECT_EQ(occurrences(readLog(logStart), "[persistBlobKeyValue]: Persisting"), 1u);

  // A count below the jobs removed: the creation raises it to 1, two removals leave 0
  // (not 65535).
  ASSERT_EQ(setMain({{"autoDeleteCapacity", uint16_t{128}}}), 0);  // no pass while the jobs are made
  jobIn(4, kDefaultTimeout);
  jobIn(4, kDefaultTimeout);
  creationWithPass(0);
  EXPECT_TRUE(hasFields(client().mainProperties(), {{"jobInfoObjCount", 5}, {"numJobsInStore", 0}}));
}

}  // namespace
}  // namespace velmer::e2e
