// The life of a queue after scheduling: the hand-over when the queue-execution process
// is missing, busy or back; removal once its jobs have finished, or on a client's
// request. The hand-over again after a restart is part of the restore tests.
#include <map>
#include <string>
#include <vector>

#include "job_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

constexpr auto kMessageTimeout = 10s;

class QueueHandOver : public JobTest {
 protected:
  // A schedule of `jobs` from now on, without end: its queue ID, the reply also when the
  // hand-over fails.
  std::string scheduleNow(const IdList& jobs) {
    auto [status, queueID, code] = schedule(jobs);
    EXPECT_EQ(code, 0);
    return queueID;
  }
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
    EXPECT_EQ(peer.receive(kMessageTimeout).value_or(ReceivedSchedulerMessage{}).queueID(), queues_[jobID]);
  }

  uint16_t deleteQueue(const std::string& id) {
    return client().callMain<uint16_t>("JobServDeleteQueue", id, uint16_t{0});
  }

  std::map<std::string, std::string> queues_;  // job ID -> queue ID
};

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

using QueueRemoval = QueueHandOver;

// Removal on a client's request, then once the jobs of a queue have finished.
TEST_F(QueueRemoval, DeleteQueueAnswersSixteenForAMissingQueueAndReleasesTheJobsOfAnExistingOne) {
  EXPECT_EQ(deleteQueue("QID_000000000000"), 16);

  QueueExecutionPeer scheduler(root());
  const std::string job = createJob("Configure NIC"), kept1 = createJob("Configure RAID");
  const std::string kept2 = createJob("Configure BIOS"), done1 = createJob("Configure iDRAC");
  const std::string done2 = createJob("Configure FC");
  const std::string queueID = scheduleNow({job});
  const std::string keptQueue = scheduleNow({kept1, kept2}), doneQueue = scheduleNow({done1, done2});
  EXPECT_EQ(deleteQueue(queueID), 0);
  EXPECT_TRUE(hasFields(this->job(job), {{"flags", 0}, {"queueID", ""}}));
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
