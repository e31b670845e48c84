// Scheduling as a client sees it: the validation method, the queue that JobServSchedule
// makes and binds, what the queue-execution process receives, the messages and events
// of jobs that start later, and every refusal. Then the life of a queue: the hand-over
// when the queue-execution process is missing, busy or back; removal once its jobs have
// finished, or on a client's request. The hand-over again after a restart is part of the
// restore tests.
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "job_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

constexpr auto kMessageTimeout = 10s;

class ScheduleTest : public JobTest {
 protected:
  // Schedules a new job to start now: its ID.
  std::string scheduleNewJob() {
    const std::string jobID = createJob("Configure NIC");
    queues_[jobID] = scheduleNow({jobID});
    return jobID;
  }

  void expectRolledBack(const std::string& jobID) {
    EXPECT_TRUE(hasFields(job(jobID), {{"startTime", 0}, {"untilTime", 0}, {"flags", 0}, {"queueID", ""}}));
  }

  // The job is bound to its queue and the process received the queue.
  void expectHandedOver(QueueExecutionPeer& peer, const std::string& jobID) {
    EXPECT_TRUE(hasFields(job(jobID), {{"flags", 1}, {"queueID", queues_[jobID]}}));
    EXPECT_EQ(peer.receive(kMessageTimeout).value_or(ReceivedSchedulerMessage{}).payload,
              expectedSchedulerPayload(0, kNoEnd, queues_[jobID]));
  }

  uint16_t deleteQueue(const std::string& id) {
    return client().callMain<uint16_t>("JobServDeleteQueue", id, uint16_t{0});
  }

  std::map<std::string, std::string> queues_;  // job ID -> queue ID
};

using JobScheduleRefusals = ScheduleTest;

TEST_F(JobScheduleRefusals, EachBadRequestHasItsOwnReplyAndLeavesNoQueueBehind) {
  const std::string job = createJob("Configure NIC"), other = createJob("Configure RAID");
  const std::string running = createJob("Configure BIOS"), download = createJob("Firmware Update: BIOS", 20);
  const std::string finishedDownload = createJob("Firmware Update: NIC", 20);
  ASSERT_EQ(update(running, 3, 100, "Running"), 0);
  ASSERT_EQ(update(download, 3, 100, "Downloading"), 0);
  ASSERT_EQ(update(finishedDownload, 4, 100, "Completed"), 0);
  const std::time_t base = std::time(nullptr);
  const std::string ahead = scheduleTimeOf(base + 600);

  struct Case {
    IdList jobs;
    uint16_t numJobs;
    std::string start, until;
    Reply expected;
    const char* what;
  };
  const Case cases[] = {
      {{}, 1, "TIME_NOW", "TIME_NA", {0, "", 1}, "empty job list"},
      {{job}, 0, "TIME_NOW", "TIME_NA", {0, "", 5}, "numJobs 0"},
      {{job}, 1, "", "TIME_NA", {0, "", 8}, "empty start"},
      {{job}, 1, "TIME_NOW", "", {0, "", 8}, "empty until"},
      {{job}, 1, "NOW", "TIME_NA", {8, "", 9}, "start not convertible"},
      {{job}, 1, "TIME_NOW", "20250230120000", {8, "", 9}, "until not convertible"},
      {{job}, 129, "TIME_NOW", "TIME_NA", {37, "", 15}, "129 jobs"},
      {{job}, 1, scheduleTimeOf(base - 60), "TIME_NA", {37, "", 9}, "start in the past"},
      {{job}, 1, "TIME_NA", "TIME_NA", {37, "", 9}, "start TIME_NA"},
      {{job}, 1, "TIME_NOW", scheduleTimeOf(base - 60), {37, "", 10}, "until in the past"},
      {{job}, 1, "TIME_NOW", scheduleTimeOf(base + 200), {37, "", 7}, "window from now too short"},
      {{job}, 1, ahead, scheduleTimeOf(base + 600 + 299), {37, "", 7}, "window of 299 seconds"},
      {{job}, 1, ahead, scheduleTimeOf(base + 500), {37, "", 7}, "until before start"},
      {{job}, 2, "TIME_NOW", "TIME_NA", {1, "", 1}, "numJobs above the list size"},
      {{job, other, job}, 3, "TIME_NOW", "TIME_NA", {11, "", 11}, "duplicate"},
      {{job, "JID_\"1"}, 1, "TIME_NOW", "TIME_NA", {1, "", 1}, "unbalanced quote beyond numJobs"},
      {{job, running}, 2, "TIME_NOW", "TIME_NA", {3, "", 3}, "a running job"},
      {{download}, 1, "TIME_NOW", "TIME_NA", {42, "", 42}, "a type-20 job that is not new"},
      {{finishedDownload}, 1, "TIME_NOW", "TIME_NA", {3, "", 3}, "a finished type-20 job"},
  };
  for (const auto& c : cases) EXPECT_EQ(schedule(c.jobs, c.numJobs, c.start, c.until), c.expected) << c.what;

  // Refusals of the job list come after the queue object was announced: it is gone again,
  // and the five jobs are all the bus holds.
  EXPECT_EQ(client().managedObjects().size(), 5u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 0);
  for (const auto& id : {job, other}) EXPECT_TRUE(hasFields(this->job(id), {{"queueID", ""}, {"flags", 0}})) << id;

  // The validation method answers over the bus; its cases are unit-tested.
  EXPECT_EQ(client().callMain<uint16_t>("ValidateSchedulingParameters", ahead, scheduleTimeOf(base + 500)), 7);

  // A controller firmware update that is due blocks every schedule; one that starts
  // later does not.
  const std::string kelvoUpdate = createJob("Firmware Update: Kelvo", 20);
  EXPECT_EQ(schedule({job}), (Reply{35, "", 35}));
  ASSERT_EQ(setJob(kelvoUpdate, {{"startTime", static_cast<int64_t>(base + 3600)}}), 0);
  EXPECT_EQ(std::get<0>(schedule({job})), 0);

  // Queue IDs are the second and two random digits: twenty queues in a second draw the
  // same digits somewhere almost surely (the generator then draws again). Without the
  // queue-execution process the job is rolled back each time, so it may be scheduled again.
  std::set<std::string> queueIDs;
  for (int i = 0; i < 20; ++i) queueIDs.insert(std::get<1>(schedule({other})));
  EXPECT_EQ(queueIDs.size(), 20u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 21);
}

using JobSchedule = ScheduleTest;

TEST_F(JobSchedule, ANowScheduleHandsTheQueueOverAtOnceAndAStartAheadMarksEachJobScheduledWithTheMessageOfItsKind) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  const IdList jobs = {createJob("Configure NIC"), createJob("Configure RAID"), createJob("Configure BIOS")};
  const std::string queueID = scheduleNow(jobs);
  ASSERT_TRUE(queueID.starts_with("QID_") && queueID.size() == 16) << queueID;

  EXPECT_TRUE(hasFields(queue(kNewQueuePathPrefix + queueID),
                        {{"jsQueueID", queueID}, {"itemCount", 3}, {"queueState", 1}, {"jobQueueItem", jobs},
                         {"startTime", 0}, {"untilTime", kNoEnd}}));
  // A job that may start now is not "Scheduled".
  for (const auto& id : jobs)
    EXPECT_TRUE(hasFields(job(id), {{"startTime", 0}, {"untilTime", kNoEnd}, {"flags", 1}, {"queueID", queueID},
                                    {"jobStatus", "New"}}));
  EXPECT_EQ(client().mainProperty<IdList>("jobQueueObjList"), IdList{queueID});
  for (const char* id : {"JCP049", "JCP050", "JCP051"}) EXPECT_TRUE(events(id).empty()) << id;

  EXPECT_EQ(peer.receiveWaiting(),
            (std::vector<ReceivedSchedulerMessage>{{2, expectedSchedulerPayload(0, kNoEnd, queueID)}}));

  const std::time_t start = kIn2040, until = kIn2099;  // seconds beyond 32 bits
  const std::string startText = displayTimeOf(start), untilText = displayTimeOf(until);
  // A job, the until argument, the message and message ID it gets and its event's
  // arguments (the display strings only).
  const std::tuple<std::string, std::string, std::string, std::string, IdList> cases[] = {
      {createJob("Configure NIC"), "TIME_NA", "The job is scheduled to run after  " + startText, "JCP051", {startText}},
      {createJob("Configure RAID"), scheduleTimeOf(until),
       "The Job is scheduled to run between " + startText + " and " + untilText, "JCP049", {startText, untilText}},
      {createJob("Reboot", 40), "TIME_NA", "The reboot job is scheduled to run on " + startText, "JCP050", {startText}},
  };

  for (const auto& [jobID, untilArgument, message, messageID, eventArguments] : cases) {
    auto [status, queueID, code] = schedule({jobID}, scheduleTimeOf(start), untilArgument);
    ASSERT_EQ(status + code, 0) << messageID;
    EXPECT_TRUE(hasFields(job(jobID), {{"jobStatus", "Scheduled"}, {"message", message}, {"messageID", messageID},
                                       {"startTime", start}, {"queueID", queueID}}));

    auto logged = events(messageID);
    ASSERT_EQ(logged.size(), 1u) << messageID;
    EXPECT_EQ(logged[0]["args"], nlohmann::json(eventArguments));

    EXPECT_EQ(peer.receive(kMessageTimeout).value_or(ReceivedSchedulerMessage{}).payload,
              expectedSchedulerPayload(start, untilArgument == "TIME_NA" ? kNoEnd : until, queueID));
  }

  // The limits themselves are accepted: 128 IDs (those without a job are listed in the
  // queue and skipped when binding) and a window of exactly 300 seconds.
  IdList full = {createJob("Configure NIC")};
  for (int i = 1; i < 128; ++i) full.push_back("JID_900000000" + std::to_string(1000 + i).substr(1));
  EXPECT_EQ(queue(kNewQueuePathPrefix + scheduleNow(full))["jobQueueItem"].get<IdList>(), full);
  const std::time_t base = std::time(nullptr);
  const std::string windowed = createJob("Configure RAID");
  EXPECT_EQ(std::get<2>(schedule({windowed}, scheduleTimeOf(base + 600), scheduleTimeOf(base + 900))), 0);
  // A job bound to a queue stays in state 0 but is not new any more.
  EXPECT_EQ(schedule({windowed}), (Reply{3, "", 3})) << "a job already in a queue";
}

using QueueHandOver = ScheduleTest;

TEST_F(QueueHandOver, EachCallRetriesWhatFailedAndJobsOfARefusedQueueAreRolledBack) {
  ASSERT_TRUE(waitForStartupSequence());
  // No key file: ftok fails. The queue ID is still the reply, and the queue stays and counts.
  const std::string noKey = scheduleNewJob();
  expectRolledBack(noKey);
  EXPECT_TRUE(queues_[noKey].starts_with("QID_"));

  // A key file but no message queue: the key is obtained (and kept), msgget fails, and
  // is tried again by the next call.
  createSchedulerKeyFile(root());
  expectRolledBack(scheduleNewJob());
  expectRolledBack(scheduleNewJob());

  // The process is there: the kept key finds its queue.
  QueueExecutionPeer peer(root());
  expectHandedOver(peer, scheduleNewJob());
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 4);

  // A full message queue refuses the next queue at once and keeps the channel: the
  // daemon must not wait for room.
  peer.limitToOneMessage();
  const std::string unread = scheduleNewJob();
  expectRolledBack(scheduleNewJob());
  expectHandedOver(peer, unread);
  expectHandedOver(peer, scheduleNewJob());
}

using QueueRemoval = ScheduleTest;

// Removal on a client's request, then once the jobs of a queue have finished.
TEST_F(QueueRemoval, DeleteQueueWithdrawsAnExistingQueueAndReleasesItsNewJobsOnly) {
  EXPECT_EQ(deleteQueue("QID_000000000000"), 16);

  QueueExecutionPeer scheduler(root());
  const std::string job = createJob("Configure NIC"), kept1 = createJob("Configure RAID");
  const std::string kept2 = createJob("Configure BIOS"), done1 = createJob("Configure iDRAC");
  const std::string done2 = createJob("Configure FC");
  const std::string handedOut = createJob("Configure NIC"), queueID = scheduleNow({job, handedOut});
  const std::string keptQueue = scheduleNow({kept1, kept2}), doneQueue = scheduleNow({done1, done2});
  ASSERT_EQ(update(handedOut, 2, kSame), 0);  // scheduled by its consumer
  scheduler.receiveWaiting();
  // The queue goes as what the daemon registered it as, whatever a client wrote into it.
  client().setProperty(kNewQueuePathPrefix + queueID, kQueueInterface, "jsQueueID",
                       sdbus::Variant(std::string("QID_renamed")));
  EXPECT_EQ(deleteQueue(queueID), 0);
  EXPECT_EQ(scheduler.receiveWaiting(),
            (std::vector<ReceivedSchedulerMessage>{{3, expectedSchedulerPayload(0, 0, queueID)}}));
  EXPECT_TRUE(hasFields(this->job(job), {{"flags", 0}, {"queueID", ""}}));
  // A job past new cannot be scheduled again: it stays bound (1, beside 16 for its time-out)
  // where its consumer knows it.
  EXPECT_TRUE(hasFields(this->job(handedOut), {{"flags", 17}, {"queueID", queueID}}));
  // A second request before the removal (or after it, 16) takes the queue out once.
  const uint16_t again = deleteQueue(queueID);
  EXPECT_TRUE(again == 0 || again == 16) << again;
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + queueID));
  EXPECT_EQ(deleteQueue(queueID), 16);
  // The released job may be scheduled again.
  const std::string newQueue = scheduleNow({job});
  EXPECT_EQ(jobValue<std::string>(job, "queueID"), newQueue);

  // A queue leaves once all its jobs have completed; a failed job keeps it.
  ASSERT_EQ(update(kept1, 4, 100, "Completed"), 0);
  ASSERT_EQ(update(kept2, 6, 100, "Failed"), 0);
  ASSERT_EQ(update(done1, 4, 100, "Completed"), 0);
  EXPECT_TRUE(onBus(kNewQueuePathPrefix + doneQueue)) << "one of its jobs has not finished";
  ASSERT_EQ(update(done2, 4, 100, "Completed"), 0);
  // The backup thread works in order: once the second queue is gone, a wrong removal
  // of the first would have happened too.
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + doneQueue));
  EXPECT_TRUE(onBus(kNewQueuePathPrefix + keptQueue));
  EXPECT_EQ(client().mainProperty<IdList>("jobQueueObjList"), (IdList{keptQueue, newQueue}));
}

}  // namespace
}  // namespace velmer::e2e
