// Scheduling as a client sees it: the validation method, the queue that JobServSchedule
// makes and binds, what the queue-execution process receives, the messages and events
// of jobs that start later, and every refusal.
#include <algorithm>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "queue_execution_peer.hpp"
#include "scheduling_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr auto kMessageTimeout = 10s;

std::time_t now() { return std::time(nullptr); }

// ---------------------------------------------------------------------------------------

class ScheduleValidation : public DaemonTest {
 protected:
  uint16_t validate(const std::string& start, const std::string& until) {
    return client().callMain<uint16_t>("ValidateSchedulingParameters", start, until);
  }
};

TEST_F(ScheduleValidation, AnswersEachCodeAroundTheFiveMinuteWindow) {
  const std::time_t base = now();
  // Measured from now, the daemon's clock may be a second later than ours: the 299
  // seconds can only shrink, the accepted window keeps two seconds of margin.
  EXPECT_EQ(validate("TIME_NOW", scheduleTimeOf(base + 299)), 7);
  EXPECT_EQ(validate("TIME_NOW", scheduleTimeOf(base + 302)), 0);
  EXPECT_EQ(validate("TIME_NOW", "TIME_NA"), 0);
  // Measured from a start ahead the window is exact.
  const std::string start = scheduleTimeOf(base + 600);
  EXPECT_EQ(validate(start, scheduleTimeOf(base + 600 + 299)), 7);
  EXPECT_EQ(validate(start, scheduleTimeOf(base + 600 + 300)), 0);
  EXPECT_EQ(validate(start, scheduleTimeOf(base + 540)), 7) << "until before start";

  EXPECT_EQ(validate("TIME_NA", scheduleTimeOf(base + 3600)), 9);
  EXPECT_EQ(validate("Next Reboot", "TIME_NA"), 9);
  EXPECT_EQ(validate(scheduleTimeOf(base - 60), "TIME_NA"), 9);
  EXPECT_EQ(validate(scheduleTimeOf(base + 366 * 86400).substr(0, 4) + "0230120000", "TIME_NA"), 9)
      << "30 February of next year";
  EXPECT_EQ(validate("", "TIME_NA"), 9);
  EXPECT_EQ(validate("TIME_NOW", scheduleTimeOf(base - 60)), 10);
  EXPECT_EQ(validate("TIME_NOW", "Next Reboot"), 10);
  EXPECT_EQ(validate("TIME_NOW", "time_na"), 10);
}

// ---------------------------------------------------------------------------------------

class JobScheduleRefusals : public SchedulingTest {};

TEST_F(JobScheduleRefusals, EachBadRequestHasItsOwnReplyAndLeavesNoQueueBehind) {
  const std::string job = createJob("Configure NIC");
  const std::string other = createJob("Configure RAID");
  const std::string running = createJob("Configure BIOS");
  ASSERT_EQ(report(running, 3, "Running"), 0);
  const std::string download = createJob("Firmware Update: BIOS", 20);
  ASSERT_EQ(report(download, 3, "Downloading"), 0);
  const std::string finishedDownload = createJob("Firmware Update: NIC", 20);
  ASSERT_EQ(report(finishedDownload, 4, "Completed"), 0);
  const std::time_t base = now();
  const std::string ahead = scheduleTimeOf(base + 600);
  recorder().clear();

  struct Case {
    std::vector<std::string> jobs;
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
      {{job}, 1, "Next Reboot", "TIME_NA", {37, "", 9}, "start at the next reboot"},
      {{job}, 1, "TIME_NOW", scheduleTimeOf(base - 60), {37, "", 10}, "until in the past"},
      {{job}, 1, "TIME_NOW", "TIME_NOW", {37, "", 10}, "until now"},
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

  // Refusals of the job list come after the queue object was announced: it is gone again.
  EXPECT_TRUE(queuePaths().empty());
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 0);
  recorder().sync();
  size_t added = 0, removed = 0;
  for (const auto& signal : recorder().signals()) {
    if (signal.objectPath.starts_with(kNewQueuePathPrefix)) ++(signal.member == "InterfacesAdded" ? added : removed);
  }
  EXPECT_EQ(added, 6u);
  EXPECT_EQ(removed, added);
  for (const auto& id : {job, other}) {
    auto properties = jobProperties(id);
    EXPECT_EQ(properties["queueID"].get<std::string>(), "") << id;
    EXPECT_EQ(properties["flags"].get<uint8_t>() & 1, 0) << id;
  }

  // A controller firmware update that is due blocks every schedule; one that starts
  // later does not.
  const std::string kelvoUpdate = createJob("Firmware Update: Kelvo", 20);
  EXPECT_EQ(schedule({job}, "TIME_NOW", "TIME_NA"), (Reply{35, "", 35}));
  client().setProperty(kJobPathPrefix + kelvoUpdate, kJobInterface, "startTime",
                       sdbus::Variant(static_cast<int64_t>(base + 3600)));
  EXPECT_EQ(std::get<0>(schedule({job}, "TIME_NOW", "TIME_NA")), 0);
}

TEST_F(JobScheduleRefusals, TheLimitsThemselvesAreAccepted) {
  // Handed over, not rolled back: a rollback fails on the last ID, which has no job.
  QueueExecutionPeer peer(root());
  const std::string job = createJob("Configure NIC");
  // IDs without a job are listed in the queue and skipped when binding.
  std::vector<std::string> full = {job};
  for (int i = 1; i < 128; ++i) full.push_back("JID_900000000" + std::to_string(1000 + i).substr(1));
  auto [status, queueID, code] = schedule(full, "TIME_NOW", "TIME_NA");
  ASSERT_EQ(status, 0);
  ASSERT_EQ(code, 0);
  auto queue = queueProperties(kNewQueuePathPrefix + queueID);
  EXPECT_EQ(queue["itemCount"].get<uint32_t>(), 128u);
  EXPECT_EQ(queue["jobQueueItem"].get<std::vector<std::string>>(), full);

  const std::time_t base = now();
  const std::string second = createJob("Configure RAID");
  EXPECT_EQ(std::get<0>(schedule({second}, scheduleTimeOf(base + 600), scheduleTimeOf(base + 900))), 0)
      << "a window of exactly 300 seconds";
  // Only the first numJobs entries count as the queue's jobs.
  const std::string third = createJob("Configure iDRAC");
  auto [partStatus, partQueue, partCode] = schedule({third, third}, 1, "TIME_NOW", "TIME_NA");
  EXPECT_EQ(partStatus, 0);
  EXPECT_EQ(queueProperties(kNewQueuePathPrefix + partQueue)["itemCount"].get<uint32_t>(), 1u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 3);
  // A job bound to a queue stays in state 0 but is not new any more.
  EXPECT_EQ(schedule({second}, "TIME_NOW", "TIME_NA"), (Reply{3, "", 3})) << "a job already in a queue";
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 3);
}

// ---------------------------------------------------------------------------------------

class JobSchedule : public SchedulingTest {};

TEST_F(JobSchedule, ANowScheduleBindsTheJobsAndHandsTheQueueOverAtOnce) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  const std::vector<std::string> jobs = {createJob("Configure NIC"), createJob("Configure RAID"),
                                         createJob("Configure BIOS")};
  recorder().clear();

  auto [status, queueID, code] = schedule(jobs, "TIME_NOW", "TIME_NA");
  ASSERT_EQ(status, 0);
  ASSERT_EQ(code, 0);
  ASSERT_TRUE(queueID.starts_with("QID_")) << queueID;
  EXPECT_EQ(queueID.size(), 16u);

  const std::string path = kNewQueuePathPrefix + queueID;
  EXPECT_EQ(queuePaths(), std::vector<std::string>{path});
  recorder().sync();
  EXPECT_TRUE(std::any_of(recorder().signals().begin(), recorder().signals().end(), [&](const RecordedSignal& s) {
    return s.member == "InterfacesAdded" && s.objectPath == path;
  }));
  auto queue = queueProperties(path);
  EXPECT_EQ(queue["jsQueueID"].get<std::string>(), queueID);
  EXPECT_EQ(queue["itemCount"].get<uint32_t>(), 3u);
  EXPECT_EQ(queue["queueState"].get<uint8_t>(), 1);
  EXPECT_EQ(queue["jobQueueItem"].get<std::vector<std::string>>(), jobs);
  EXPECT_EQ(queue["startTime"].get<int64_t>(), 0);
  EXPECT_EQ(queue["untilTime"].get<int64_t>(), kNoEnd);
  for (const auto& id : jobs) {
    auto job = jobProperties(id);
    EXPECT_EQ(job["startTime"].get<int64_t>(), 0) << id;
    EXPECT_EQ(job["untilTime"].get<int64_t>(), kNoEnd) << id;
    EXPECT_EQ(job["flags"].get<uint8_t>() & 1, 1) << id;
    EXPECT_EQ(job["queueID"].get<std::string>(), queueID) << id;
    EXPECT_EQ(job["jobStatus"].get<std::string>(), "New") << "a job that may start now is not 'Scheduled'";
  }
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);
  EXPECT_EQ(client().mainProperty<std::vector<std::string>>("jobQueueObjList"), std::vector<std::string>{queueID});
  for (const char* id : {"JCP049", "JCP050", "JCP051"}) EXPECT_TRUE(eventsWithId(id).empty()) << id;

  auto message = peer.receive(kMessageTimeout);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->type, 2);
  EXPECT_EQ(message->payload, expectedSchedulerPayload(0, kNoEnd, queueID));
  EXPECT_EQ(peer.pending(), 0u);

  // The queue reached the job cache with its items.
  bool cached = false;
  for (const auto& line : jobCacheJournal())
    if (line["op"] == "add_queue" && line["id"] == queueID)
      cached = line["itemCount"] == 3 && line["items"] == nlohmann::json(jobs);
  EXPECT_TRUE(cached);
}

TEST_F(JobSchedule, AStartAheadMarksEachJobScheduledWithTheMessageOfItsKind) {
  ASSERT_TRUE(waitForStartupSequence());
  QueueExecutionPeer peer(root());
  const std::time_t start = now() + 3600, until = start + 7200;
  const std::string startText = displayTimeOf(start), untilText = displayTimeOf(until);
  struct Case {
    std::string job;
    std::string until;
    std::string message, messageID;
    std::vector<std::string> eventArguments;  // the display strings only
  };
  const Case cases[] = {
      {createJob("Configure NIC"), "TIME_NA", "The job is scheduled to run after  " + startText, "JCP051", {startText}},
      {createJob("Configure RAID"), scheduleTimeOf(until),
       "The Job is scheduled to run between " + startText + " and " + untilText, "JCP049", {startText, untilText}},
      {createJob("Reboot", 40), "TIME_NA", "The reboot job is scheduled to run on " + startText, "JCP050", {startText}},
  };

  for (const auto& c : cases) {
    auto [status, queueID, code] = schedule({c.job}, scheduleTimeOf(start), c.until);
    ASSERT_EQ(status, 0) << c.messageID;
    EXPECT_EQ(code, 0) << c.messageID;
    auto job = jobProperties(c.job);
    EXPECT_EQ(job["jobStatus"].get<std::string>(), "Scheduled");
    EXPECT_EQ(job["message"].get<std::string>(), c.message);
    EXPECT_EQ(job["messageID"].get<std::string>(), c.messageID);
    EXPECT_EQ(job["startTime"].get<int64_t>(), start);
    EXPECT_EQ(job["queueID"].get<std::string>(), queueID);

    auto events = eventsWithId(c.messageID);
    ASSERT_EQ(events.size(), 1u) << c.messageID;
    EXPECT_EQ(events[0]["args"], nlohmann::json(c.eventArguments));

    auto message = peer.receive(kMessageTimeout);
    ASSERT_TRUE(message) << c.messageID;
    EXPECT_EQ(message->payload, expectedSchedulerPayload(start, c.until == "TIME_NA" ? kNoEnd : until, queueID));
  }
}

TEST_F(JobSchedule, QueuesMadeWithinTheSameSecondKeepTheirOwnIDs) {
  // Queue IDs are the second and two random digits: twenty queues in a second draw the
  // same digits somewhere almost surely (the generator then draws again).
  const std::string job = createJob("Configure NIC");
  std::set<std::string> queueIDs;
  for (int i = 0; i < 20; ++i) queueIDs.insert(std::get<1>(schedule({job}, "TIME_NOW", "TIME_NA")));
  EXPECT_EQ(queueIDs.size(), 20u);
  EXPECT_EQ(queuePaths().size(), 20u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 20);
}

}  // namespace
}  // namespace velmer::e2e
