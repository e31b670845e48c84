// The life of a queue after scheduling: the hand-over when the queue-execution process
// is missing, busy or back; removal once its jobs have finished, or on a client's
// request; and the hand-over again after a restart.
#include <string>
#include <vector>

#include "job_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

constexpr auto kMessageTimeout = 10s;

bool logged(const std::string& log, const std::string& line) { return log.find(line) != std::string::npos; }

// One new job scheduled to start now, its queue, and what the daemon logged meanwhile.
struct ScheduledJob {
  std::string jobID, queueID, log;
};

class QueueHandOver : public JobTest {
 protected:
  ScheduledJob scheduleNewJob() {
    ScheduledJob scheduled{createJob("Configure NIC"), "", ""};
    const size_t mark = readLog().size();
    auto [status, queueID, code] = schedule({scheduled.jobID});
    EXPECT_EQ(code, 0);
    scheduled.queueID = queueID;
    scheduled.log = readLog(mark);
    return scheduled;
  }

  void expectRolledBack(const ScheduledJob& scheduled) {
    auto rolledBack = job(scheduled.jobID);
    EXPECT_EQ(rolledBack["startTime"].get<int64_t>(), 0);
    EXPECT_EQ(rolledBack["untilTime"].get<int64_t>(), 0);
    EXPECT_EQ(rolledBack["flags"].get<uint8_t>() & 1, 0);
    EXPECT_EQ(rolledBack["queueID"].get<std::string>(), "");
  }

  // The job is bound to its queue and the process received the queue.
  void expectHandedOver(QueueExecutionPeer& peer, const ScheduledJob& scheduled) {
    auto bound = job(scheduled.jobID);
    EXPECT_EQ(bound["flags"].get<uint8_t>() & 1, 1);
    EXPECT_EQ(bound["queueID"].get<std::string>(), scheduled.queueID);
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
  EXPECT_TRUE(logged(noKey.log, "ftok: No such file or directory"));
  expectRolledBack(noKey);
  // The queue itself stays, and counts.
  EXPECT_EQ(queue(kNewQueuePathPrefix + noKey.queueID)["itemCount"].get<uint32_t>(), 1u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);

  // A key file but no message queue: the key is obtained, msgget fails, and is tried
  // again by the next call.
  createSchedulerKeyFile(root());
  ScheduledJob noQueue = scheduleNewJob();
  EXPECT_TRUE(logged(noQueue.log, "msgget: No such file or directory"));
  expectRolledBack(noQueue);
  ScheduledJob stillNoQueue = scheduleNewJob();
  EXPECT_TRUE(logged(stillNoQueue.log, "schedq_key already inited to"));
  expectRolledBack(stillNoQueue);

  // The process is there: the cached key finds its queue.
  QueueExecutionPeer peer(root());
  ScheduledJob taken = scheduleNewJob();
  expectHandedOver(peer, taken);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 4);

  // A full message queue refuses the next queue at once and keeps the channel: the
  // daemon must not wait for room.
  peer.limitToOneMessage();
  ScheduledJob unread = scheduleNewJob();
  ScheduledJob refused = scheduleNewJob();
  EXPECT_TRUE(logged(refused.log, "msgsnd: Resource temporarily unavailable"));
  expectRolledBack(refused);
  expectHandedOver(peer, unread);
  ScheduledJob third = scheduleNewJob();
  EXPECT_TRUE(logged(third.log, "schedq_msqid already inited to"));
  expectHandedOver(peer, third);
}

TEST_F(QueueHandOver, ARestartedDaemonHandsEveryQueueOverAgain) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  const std::time_t start = std::time(nullptr) + 3600;
  auto [status, queueID, code] = schedule({createJob("Configure NIC")}, scheduleTimeOf(start), scheduleTimeOf(start + 600));
  ASSERT_EQ(status, 0);
  auto sent = peer.receive(kMessageTimeout);
  ASSERT_TRUE(sent);

  ASSERT_EQ(restartDaemon(), 0);
  auto resent = peer.receive(kMessageTimeout + 10s);
  ASSERT_TRUE(resent);
  EXPECT_EQ(resent->type, 2);
  EXPECT_EQ(resent->payload, sent->payload);
  EXPECT_EQ(resent->payload, expectedSchedulerPayload(start, start + 600, queueID));
  EXPECT_EQ(queuePaths(), IdList{kRestoredQueuePathPrefix + queueID});
}

class QueueRemoval : public JobTest {
 protected:
  std::string scheduleNow(const IdList& jobs) {
    auto [status, queueID, code] = schedule(jobs);
    EXPECT_EQ(code, 0);
    return queueID;
  }
};

TEST_F(QueueRemoval, AQueueLeavesWhenAllItsJobsCompleteButAFailedJobKeepsIt) {
  QueueExecutionPeer scheduler(root());
  const std::string kept1 = createJob("Configure NIC"), kept2 = createJob("Configure RAID");
  const std::string done1 = createJob("Configure BIOS"), done2 = createJob("Configure iDRAC");
  const std::string keptQueue = scheduleNow({kept1, kept2});
  const std::string doneQueue = scheduleNow({done1, done2});
  recorder().clear();

  ASSERT_EQ(update(kept1, 4, 100, "Completed"), 0);
  ASSERT_EQ(update(kept2, 6, 100, "Failed"), 0);
  ASSERT_EQ(update(done1, 4, 100, "Completed"), 0);
  EXPECT_TRUE(onBus(kNewQueuePathPrefix + doneQueue)) << "one of its jobs has not finished";
  ASSERT_EQ(update(done2, 4, 100, "Completed"), 0);

  // The backup thread works in order: once the second queue is gone, a wrong removal
  // of the first would have happened too.
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + doneQueue));
  EXPECT_TRUE(onBus(kNewQueuePathPrefix + keptQueue));
  EXPECT_EQ(client().mainProperty<IdList>("jobQueueObjList"), IdList{keptQueue});
  bool uncached = false;
  for (const auto& line : records("jobcache.jsonl")) uncached |= line["op"] == "remove_queue" && line["id"] == doneQueue;
  EXPECT_TRUE(uncached);
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

  QueueExecutionPeer scheduler(root());
  const std::string job = createJob("Configure NIC"), other = createJob("Configure RAID");
  const std::string queueID = scheduleNow({job});
  const std::string otherQueue = scheduleNow({other});
  recorder().clear();
  EXPECT_EQ(deleteQueue(queueID), 0);
  auto released = this->job(job);
  EXPECT_EQ(released["flags"].get<uint8_t>() & 1, 0);
  EXPECT_EQ(released["queueID"].get<std::string>(), "");
  // A second request before the removal (or after it, 16) takes the queue out once.
  const uint16_t again = deleteQueue(queueID);
  EXPECT_TRUE(again == 0 || again == 16) << again;
  ASSERT_TRUE(waitForRemoval(kNewQueuePathPrefix + queueID));
  EXPECT_EQ(deleteQueue(queueID), 16);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);
  EXPECT_EQ(client().mainProperty<IdList>("jobQueueObjList"), IdList{otherQueue});

  // The released job may be scheduled again.
  const std::string newQueue = scheduleNow({job});
  EXPECT_NE(newQueue, "");
  EXPECT_EQ(jobValue<std::string>(job, "queueID"), newQueue);
}

}  // namespace
}  // namespace velmer::e2e
