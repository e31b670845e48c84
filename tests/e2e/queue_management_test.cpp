// The life of a queue after scheduling: the hand-over when the queue-execution process
// is missing, busy or back; removal once its jobs have finished or are deleted, or on a
// client's request; and the hand-over again after a restart.
#include <algorithm>
#include <string>
#include <vector>

#include "queue_execution_peer.hpp"
#include "scheduling_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr auto kMessageTimeout = 10s;
// The backup thread removes objects; under the sanitizers it takes its time.
constexpr auto kRemovalTimeout = 10s;

bool logged(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }

// One new job scheduled to start now, its queue, and what the daemon logged meanwhile.
struct ScheduledJob {
  std::string jobID, queueID, log;
};

class QueueHandOver : public SchedulingTest {
 protected:
  ScheduledJob scheduleNewJob() {
    ScheduledJob scheduled{createJob("Configure NIC"), "", ""};
    const size_t mark = readLog().size();
    auto [status, queueID, code] = schedule({scheduled.jobID}, "TIME_NOW", "TIME_NA");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(code, 0);
    scheduled.queueID = queueID;
    scheduled.log = readLog(mark);
    return scheduled;
  }

  void expectRolledBack(const ScheduledJob& scheduled) {
    auto job = jobProperties(scheduled.jobID);
    EXPECT_EQ(job["startTime"].get<int64_t>(), 0);
    EXPECT_EQ(job["untilTime"].get<int64_t>(), 0);
    EXPECT_EQ(job["flags"].get<uint8_t>() & 1, 0);
    EXPECT_EQ(job["queueID"].get<std::string>(), "");
  }

  // The job is bound to its queue and the process received the queue.
  void expectHandedOver(QueueExecutionPeer& peer, const ScheduledJob& scheduled) {
    auto job = jobProperties(scheduled.jobID);
    EXPECT_EQ(job["flags"].get<uint8_t>() & 1, 1);
    EXPECT_EQ(job["queueID"].get<std::string>(), scheduled.queueID);
    auto message = peer.receive(kMessageTimeout);
    ASSERT_TRUE(message) << scheduled.queueID;
    EXPECT_EQ(message->queueID(), scheduled.queueID);
  }
};

TEST_F(QueueHandOver, EachCallRetriesWhatFailedAndJobsOfARefusedQueueAreRolledBack) {
  ASSERT_TRUE(waitForStartupSequence());

  // No key file: ftok fails.
  ScheduledJob noKey = scheduleNewJob();
  EXPECT_TRUE(noKey.queueID.starts_with("QID_")) << "the queue ID is still the reply";
  EXPECT_TRUE(logged(noKey.log, "schedq_key init error"));
  EXPECT_TRUE(logged(noKey.log, "ftok: No such file or directory"));
  EXPECT_TRUE(logged(noKey.log, "the queue-execution process did not take queue " + noKey.queueID));
  expectRolledBack(noKey);
  // The queue itself stays, and counts.
  EXPECT_EQ(queueProperties(kNewQueuePathPrefix + noKey.queueID)["itemCount"].get<uint32_t>(), 1u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);

  // A key file but no message queue: the key is obtained, msgget fails, and is tried
  // again by the next call.
  createSchedulerKeyFile(root());
  ScheduledJob noQueue = scheduleNewJob();
  EXPECT_TRUE(logged(noQueue.log, "schedq_key now inited to"));
  EXPECT_TRUE(logged(noQueue.log, "couldn't get valid schedq_msqid"));
  EXPECT_TRUE(logged(noQueue.log, "msgget: No such file or directory"));
  expectRolledBack(noQueue);
  ScheduledJob stillNoQueue = scheduleNewJob();
  EXPECT_TRUE(logged(stillNoQueue.log, "schedq_key already inited to"));
  EXPECT_TRUE(logged(stillNoQueue.log, "couldn't get valid schedq_msqid"));
  expectRolledBack(stillNoQueue);

  // The process is there: the cached key finds its queue.
  QueueExecutionPeer peer(root());
  ScheduledJob taken = scheduleNewJob();
  EXPECT_TRUE(logged(taken.log, "schedq_msqid now inited to"));
  EXPECT_TRUE(logged(taken.log, "message sent successfully"));
  expectHandedOver(peer, taken);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 4);
}

TEST_F(QueueHandOver, AFullMessageQueueRefusesTheQueueAtOnceAndKeepsTheChannel) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  peer.limitToOneMessage();

  ScheduledJob first = scheduleNewJob();
  // The first message stays unread: the message queue is full and the daemon must not
  // wait for room.
  ScheduledJob refused = scheduleNewJob();
  EXPECT_TRUE(logged(refused.log, "couldn't send the message"));
  EXPECT_TRUE(logged(refused.log, "msgsnd: Resource temporarily unavailable"));
  expectRolledBack(refused);
  expectHandedOver(peer, first);

  ScheduledJob third = scheduleNewJob();
  EXPECT_TRUE(logged(third.log, "schedq_msqid already inited to"));
  EXPECT_FALSE(logged(third.log, "schedq_key not yet inited"));
  expectHandedOver(peer, third);
}

TEST_F(QueueHandOver, AForcedClearAllWithdrawsTheQueueOfARunningJobOnItsOwnChannel) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  ScheduledJob running = scheduleNewJob();
  ASSERT_TRUE(peer.receive(kMessageTimeout));
  ASSERT_EQ(report(running.jobID, 3, "Running"), 0);

  const size_t mark = readLog().size();
  client().callMain<uint16_t, std::string, uint16_t>("JobServDelete", std::vector<std::string>{"JID_CLEARALL_FORCE"},
                                                     uint16_t{1}, uint16_t{0});
  auto message = peer.receive(kMessageTimeout);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->type, 3);
  EXPECT_EQ(message->payload, expectedSchedulerPayload(0, 0, running.queueID));
  // The kill path keeps a key of its own, although the schedule path has one already.
  EXPECT_TRUE(logged(readLog(mark), "[killQueue]killq_key not yet inited"));
  EXPECT_EQ(peer.pending(), 0u) << "one kill message per queue";
}

TEST_F(QueueHandOver, ARestartedDaemonHandsEveryQueueOverAgain) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  const std::time_t start = std::time(nullptr) + 3600;
  const std::string job = createJob("Configure NIC");
  auto [status, queueID, code] = schedule({job}, scheduleTimeOf(start), scheduleTimeOf(start + 600));
  ASSERT_EQ(status, 0);
  auto sent = peer.receive(kMessageTimeout);
  ASSERT_TRUE(sent);

  ASSERT_EQ(restartDaemon(), 0);
  auto resent = peer.receive(kMessageTimeout + 10s);
  ASSERT_TRUE(resent);
  EXPECT_EQ(resent->type, 2);
  EXPECT_EQ(resent->payload, sent->payload);
  EXPECT_EQ(resent->payload, expectedSchedulerPayload(start, start + 600, queueID));
  EXPECT_EQ(queuePaths(), std::vector<std::string>{kRestoredQueuePathPrefix + queueID});
}

// ---------------------------------------------------------------------------------------

class QueueRemoval : public SchedulingTest {
 protected:
  void SetUp() override {
    SchedulingTest::SetUp();
    peer_ = std::make_unique<QueueExecutionPeer>(root());
  }
  void TearDown() override {
    peer_.reset();
    SchedulingTest::TearDown();
  }

  std::string scheduleNow(const std::vector<std::string>& jobs) {
    auto [status, queueID, code] = schedule(jobs, "TIME_NOW", "TIME_NA");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(code, 0);
    return queueID;
  }

  bool onTheBus(const std::string& queueID) {
    auto paths = queuePaths();
    return std::find(paths.begin(), paths.end(), kNewQueuePathPrefix + queueID) != paths.end();
  }

 private:
  std::unique_ptr<QueueExecutionPeer> peer_;
};

TEST_F(QueueRemoval, AQueueLeavesWhenAllItsJobsCompleteButAFailedJobKeepsIt) {
  const std::string kept1 = createJob("Configure NIC"), kept2 = createJob("Configure RAID");
  const std::string done1 = createJob("Configure BIOS"), done2 = createJob("Configure iDRAC");
  const std::string keptQueue = scheduleNow({kept1, kept2});
  const std::string doneQueue = scheduleNow({done1, done2});
  recorder().clear();

  ASSERT_EQ(report(kept1, 4, "Completed"), 0);
  ASSERT_EQ(report(kept2, 6, "Failed"), 0);
  ASSERT_EQ(report(done1, 4, "Completed"), 0);
  EXPECT_TRUE(onTheBus(doneQueue)) << "one of its jobs has not finished";
  ASSERT_EQ(report(done2, 4, "Completed"), 0);

  // The backup thread works in order: once the second queue is gone, a wrong removal
  // of the first would have happened too.
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + doneQueue, kRemovalTimeout));
  EXPECT_TRUE(onTheBus(keptQueue));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);
  EXPECT_EQ(client().mainProperty<std::vector<std::string>>("jobQueueObjList"), std::vector<std::string>{keptQueue});
  bool uncached = false;
  for (const auto& line : jobCacheJournal()) uncached |= line["op"] == "remove_queue" && line["id"] == doneQueue;
  EXPECT_TRUE(uncached);
}

TEST_F(QueueRemoval, AQueueLeavesOnceEachOfItsJobsIsDeleted) {
  const std::string first = createJob("Configure NIC"), second = createJob("Configure RAID");
  const std::string queueID = scheduleNow({first, second});
  recorder().clear();
  auto deleteJob = [&](const std::string& id) {
    return client().callMain<uint16_t, std::string, uint16_t>("JobServDelete", std::vector<std::string>{id},
                                                              uint16_t{1}, uint16_t{0});
  };

  ASSERT_EQ(std::get<2>(deleteJob(first)), 0);
  // The queue's check is posted before the job's own removal.
  ASSERT_TRUE(waitForRemoval(kJobPathPrefix + first, kRemovalTimeout));
  EXPECT_TRUE(onTheBus(queueID)) << "one of its jobs is still there";

  ASSERT_EQ(std::get<2>(deleteJob(second)), 0);
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + queueID, kRemovalTimeout));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 0);
}

TEST_F(QueueRemoval, DeleteQueueAnswersSixteenForAMissingQueueAndReleasesTheJobsOfAnExistingOne) {
  auto deleteQueue = [&](const std::string& id) {
    return client().callMain<uint16_t>("JobServDeleteQueue", id, uint16_t{0});
  };
  size_t mark = readLog().size();
  EXPECT_EQ(deleteQueue("QID_000000000000"), 16);
  // The success line comes first, before the queue is looked for.
  std::string log = readLog(mark);
  size_t success = log.find("queue delete success"), missing = log.find("job queue object does not exist");
  EXPECT_NE(success, std::string::npos);
  EXPECT_LT(success, missing);

  const std::string job = createJob("Configure NIC"), other = createJob("Configure RAID");
  const std::string queueID = scheduleNow({job});
  const std::string otherQueue = scheduleNow({other});
  recorder().clear();
  EXPECT_EQ(deleteQueue(queueID), 0);
  auto released = jobProperties(job);
  EXPECT_EQ(released["flags"].get<uint8_t>() & 1, 0);
  EXPECT_EQ(released["queueID"].get<std::string>(), "");
  // A second request before the removal (or after it, 16) takes the queue out once.
  const uint16_t again = deleteQueue(queueID);
  EXPECT_TRUE(again == 0 || again == 16) << again;
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + queueID, kRemovalTimeout));
  EXPECT_EQ(deleteQueue(queueID), 16);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);
  EXPECT_EQ(client().mainProperty<std::vector<std::string>>("jobQueueObjList"), std::vector<std::string>{otherQueue});

  // The released job may be scheduled again.
  const std::string newQueue = scheduleNow({job});
  EXPECT_NE(newQueue, "");
  EXPECT_EQ(jobProperties(job)["queueID"].get<std::string>(), newQueue);
}

}  // namespace
}  // namespace velmer::e2e
