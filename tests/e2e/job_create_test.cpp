// Job creation as a controller service sees it: the refusals and their codes, the new
// job's properties, IDs, events and counters, the reboot-type rewrite and the wait for
// room in a full store.
#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr const char* kLockdown = "Kelvo.Embedded.1#Lockdown.1#SystemLockdown";
constexpr const char* kJobTimeout = "System.Embedded.1#Job.1#JobTimeout";
constexpr const char* kRebootJobType = "System.Embedded.1#Job.1#RebootJobType";
constexpr uint16_t kSystemEraseType = 200;

bool isRefusal(const Creation& created, uint16_t code) {
  return created.status == 0 && created.jobID.empty() && created.code == code;
}

bool anyObjectAdded(const SignalList& signals) {
  return std::any_of(signals.begin(), signals.end(),
                     [](const RecordedSignal& s) { return s.member == "InterfacesAdded"; });
}

bool isWellFormedId(const std::string& id, const std::string& prefix) {
  return id.size() == 16 && id.starts_with(prefix) &&
         std::all_of(id.begin() + 4, id.end(), [](unsigned char c) { return std::isdigit(c); });
}

class JobCreation : public JobTest {
 protected:
  // Nothing of a refused creation reaches the bus or the store counters.
  void expectNothingCreated() {
    recorder().sync();
    EXPECT_FALSE(anyObjectAdded(recorder().signals()));
    EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 0);
    EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 0);
  }
};

TEST_F(JobCreation, RefusalsAnswerTheirCodesAndCreateNothing) {
  recorder().clear();

  writeAttributes({{kLockdown, 1}});
  EXPECT_TRUE(isRefusal(create("Configure: BIOS", 20), 40));
  EXPECT_TRUE(isRefusal(create("", 209), 40)) << "lockdown is checked before the name";
  EXPECT_TRUE(isRefusal(create("", 1), 4)) << "type 1 is not locked, so the empty name decides";
  EXPECT_TRUE(isRefusal(create("System Erase", kSystemEraseType, "JobServCreateSystemerase"), 40));

  writeAttributes({{kLockdown, 0}});
  EXPECT_TRUE(isRefusal(create("", 20, "JobServCreateWithRetry"), 4));
  EXPECT_TRUE(isRefusal(create("", 20, "JobServCreateWithNoQVLog"), 4));

  // 33 is the state of an active controller firmware update.
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{33}), 0);
  EXPECT_TRUE(isRefusal(create("Configure: RAID", 1), 62));
  std::vector<Event> refusedEvents = events("JCP048");
  ASSERT_EQ(refusedEvents.size(), 1u);
  EXPECT_EQ(refusedEvents[0]["codes"], nlohmann::json::array({4, 0, 0}));
  EXPECT_EQ(refusedEvents[0]["args"], nlohmann::json::array());

  expectNothingCreated();
  EXPECT_TRUE(events("JCP027").empty());
}

TEST_F(JobCreation, RunningSystemEraseBlocksOtherCreationsButNotAnotherErase) {
  std::string erase = createJob("System Erase", kSystemEraseType);
  EXPECT_EQ(jobValue<uint32_t>(erase, "runningTimeoutSeconds"), 0u) << "a system erase never times out";

  for (uint32_t blockingState : {1u, 3u}) {
    ASSERT_EQ(setJob(erase, {{"jobState", blockingState}}), 0);
    EXPECT_TRUE(isRefusal(create("Configure: RAID", 1), 38)) << "state " << blockingState;
    EXPECT_TRUE(isRefusal(create("Configure: RAID", 1, "JobServCreateWithNoQVLog"), 38));
    Creation again = create("System Erase 2", kSystemEraseType, "JobServCreateSystemerase");
    EXPECT_EQ(again.code, 0) << "state " << blockingState;
  }

  for (uint32_t harmlessState : {0u, 2u, 4u}) {
    ASSERT_EQ(setJob(erase, {{"jobState", harmlessState}}), 0);
    EXPECT_EQ(create("Configure: RAID", 1).code, 0) << "state " << harmlessState;
  }

  // Without the normal trace no job is read: the registry's count answers, and follows a
  // restored job and a client's Properties.Set.
  DaemonOptions quiet;
  quiet.traceLevel = 2;
  restartDaemon(quiet);
  ASSERT_TRUE(waitUntil([&] { return client().managedObjects().contains(sdbus::ObjectPath(jobPath(erase))); }, 10s));
  client().setProperty(jobPath(erase), kJobInterface, "jobState", sdbus::Variant(uint32_t{3}));
  EXPECT_TRUE(isRefusal(create("Configure: RAID", 1), 38));
  client().setProperty(jobPath(erase), kJobInterface, "jobState", sdbus::Variant(uint32_t{4}));
  EXPECT_EQ(create("Configure: RAID", 1).code, 0);
}

TEST_F(JobCreation, NewJobHasItsInitialPropertiesEventCountersCacheEntryBackupCommandAndTimeOut) {
  writeAttributes({{kJobTimeout, 30}});
  recorder().clear();
  const int64_t before = now();
  std::string id = createJob("Configure: RAID.Integrated.1-1", 14);
  const int64_t after = now();

  EXPECT_TRUE(isWellFormedId(id, "JID_")) << id;
  PropertyMap p = job(id);
  EXPECT_EQ(p["jsJobID"].get<std::string>(), id);
  EXPECT_EQ(p["jobName"].get<std::string>(), "Configure: RAID.Integrated.1-1");
  EXPECT_EQ(p["jobType"].get<uint32_t>(), 14u);
  EXPECT_EQ(p["jobState"].get<uint32_t>(), 0u);
  EXPECT_EQ(p["jobStatus"].get<std::string>(), "New");
  EXPECT_EQ(p["message"].get<std::string>(), "New");
  EXPECT_EQ(p["messageID"].get<std::string>(), "JCP000");
  EXPECT_EQ(p["percentComplete"].get<uint16_t>(), 254);
  EXPECT_EQ(p["runningTimeoutSeconds"].get<uint32_t>(), 1800u) << "30 minutes";
  for (const char* time : {"creationTime", "startTime", "latestUpdateTime"}) {
    EXPECT_GE(p[time].get<int64_t>(), before) << time;
    EXPECT_LE(p[time].get<int64_t>(), after) << time;
  }

  recorder().sync();
  ASSERT_FALSE(recorder().signals().empty());
  EXPECT_EQ(recorder().signals().front().member, "InterfacesAdded");
  EXPECT_EQ(recorder().signals().front().objectPath, jobPath(id));
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 1);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 1);
  EXPECT_EQ(client().mainProperty<std::vector<std::string>>("jobInfoObjList"), std::vector<std::string>{id});

  std::vector<Event> created = events("JCP027");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0]["codes"], nlohmann::json::array({4, 5, 3}));
  EXPECT_EQ(created[0]["args"], nlohmann::json::array({id}));
  EXPECT_TRUE(events("RED029").empty()) << "not a reboot job";
  EXPECT_NE(readFile(root() / "var/log/velmer/jobcache.jsonl").find(id), std::string::npos);
  EXPECT_TRUE(waitForLog("[backupJCObjects]: Create operation: " + id));

  // The running time-out comes from the job time-out attribute, in minutes.
  struct Case {
    nlohmann::json attributes;
    uint32_t expected;
  };
  const Case cases[] = {
      {nlohmann::json::object(), 21600u},                  // unset: six hours
      {{{kJobTimeout, "30"}}, 21600u},                      // unreadable as an integer
      {{{kJobTimeout, 0}}, 0u},                             // read, and zero
      {{{kJobTimeout, 40000000}}, 2400000000u},             // beyond a signed 32-bit product
  };
  for (const Case& c : cases) {
    writeAttributes(c.attributes);
    EXPECT_EQ(jobValue<uint32_t>(createJob("Configure: NIC", 1), "runningTimeoutSeconds"), c.expected)
        << c.attributes.dump();
  }
  EXPECT_EQ(jobValue<std::string>(createJob("Shutdown", 45), "jobStatus"), "GracefulShutdown Pending");
}

TEST_F(JobCreation, RebootTypeFortyOneBecomesRebootOneWhenThePlatformAsksAndIdsStayDistinct) {
  writeAttributes({{kRebootJobType, 1}});
  std::string reboot = createJob("Power Cycle", 41);
  EXPECT_TRUE(isWellFormedId(reboot, "RID_")) << reboot;
  EXPECT_EQ(jobValue<std::string>(reboot, "jobName"), "Reboot1");
  EXPECT_EQ(jobValue<uint32_t>(reboot, "jobType"), 40u);
  EXPECT_EQ(jobValue<std::string>(reboot, "jobStatus"), "Pending Reboot");
  std::vector<Event> pending = events("RED029");
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0]["codes"], nlohmann::json::array({66, 3, 2}));
  EXPECT_EQ(pending[0]["args"], nlohmann::json::array({"A reboot is pending."}));
  EXPECT_EQ(events("JCP027").size(), 1u);

  // Other reboot types keep theirs; the quiet create method still announces the reboot.
  Creation quiet = create("Warm Reset", 42, "JobServCreateWithNoQVLog");
  ASSERT_EQ(quiet.code, 0);
  EXPECT_TRUE(isWellFormedId(quiet.jobID, "RID_"));
  EXPECT_EQ(jobValue<std::string>(quiet.jobID, "jobName"), "Warm Reset");
  EXPECT_EQ(jobValue<uint32_t>(quiet.jobID, "jobType"), 42u);
  EXPECT_EQ(events("RED029").size(), 2u);
  EXPECT_EQ(events("JCP027").size(), 1u) << "JobServCreateWithNoQVLog writes no creation event";

  writeAttributes({{kRebootJobType, 0}});
  std::string kept = createJob("Power Cycle", 41);
  EXPECT_EQ(jobValue<std::string>(kept, "jobName"), "Power Cycle");
  EXPECT_EQ(jobValue<uint32_t>(kept, "jobType"), 41u);
  EXPECT_TRUE(isWellFormedId(createJob("Queue", 0), "QID_"));

  // Creations until two fall into one second (the first ten digits are the seconds).
  std::set<std::string> ids;
  std::map<std::string, int> perSecond;
  bool twoInOneSecond = false;
  for (int i = 0; i < 50 && !twoInOneSecond; ++i) {
    std::string id = createJob("Configure: NIC", 1);
    ASSERT_TRUE(isWellFormedId(id, "JID_")) << id;
    EXPECT_TRUE(ids.insert(id).second) << "duplicate " << id;
    twoInOneSecond = ++perSecond[id.substr(4, 10)] == 2;
  }
  EXPECT_TRUE(twoInOneSecond);
  const int64_t second = std::stoll(ids.begin()->substr(4, 10));
  EXPECT_LE(std::abs(second - now()), 5) << "the digits start with the creation time";
}

TEST_F(JobCreation, FullStoreRefusesAfterFourChecksAndTwoHundredFiftyFiveJobsLeaveRoom) {
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{256}}}), 0);
  const size_t logStart = readLog().size();
  EXPECT_TRUE(isRefusal(create("Configure: NIC", 1), 6));
  EXPECT_EQ(occurrences(readLog(logStart), "Job service: ___ retCode = 37, retryCount ="), 4u);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 0);
  // 255 jobs still leave room for one more, whatever maxJobsInStore says.
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{255}}, {"maxJobsInStore", uint16_t{10}}}), 0);
  EXPECT_EQ(create("Configure: NIC", 1).code, 0);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 256);
}

TEST_F(JobCreation, WaitForRoomKeepsTheBusAnsweringAndTakesTheRoomAutomaticDeletionMakes) {
  ASSERT_TRUE(waitForLog("Post restoration all job info", 10s));  // the backup thread serves its commands
  const std::string finished = createJob("Configure: NIC", 1);
  ASSERT_EQ(setJob(finished, {{"jobState", uint32_t{4}}, {"completionTime", now() - 100}}), 0);
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{1}), 0);
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{256}}}), 0);
  const size_t logStart = readLog().size();

  Creation waiting;
  std::thread creator([&] {
    BusClient otherClient;
    auto [status, jobID, code] =
        otherClient.callMain<uint16_t, std::string, uint16_t>("JobServCreate", std::string("Configure: NIC"), uint16_t{1});
    waiting = {status, jobID, code};
  });
  const bool waits = waitForLog("Backup space not available", 5s, logStart);
  const uint16_t status = client().callMain<uint16_t>("GetJobServiceStatus");
  creator.join();
  ASSERT_TRUE(waits);
  EXPECT_EQ(status, 0);
  // Handled, and so answered, while the creation waited: before the creation's reply.
  const std::string log = readLog(logStart);
  EXPECT_LT(log.find("[getJobServiceStatus]: Entering get job service status"),
            log.find("[jobServCreate]: job create successfully with jobID"));
  EXPECT_EQ(waiting.code, 0) << "the job removed meanwhile made room";
  EXPECT_TRUE(isWellFormedId(waiting.jobID, "JID_")) << waiting.jobID;
  EXPECT_EQ(client().mainProperty<std::vector<std::string>>("jobInfoObjList"),
            std::vector<std::string>{waiting.jobID});
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 256);

  // A stop during the wait still answers the waiting caller.
  const size_t beforeStop = readLog().size();
  std::thread stopped([&] {
    BusClient otherClient;
    auto [status, jobID, code] =
        otherClient.callMain<uint16_t, std::string, uint16_t>("JobServCreate", std::string("Configure: NIC"), uint16_t{1});
    waiting = {status, jobID, code};
  });
  const bool waitsAgain = waitForLog("Backup space not available", 5s, beforeStop);
  stopDaemon();
  stopped.join();
  ASSERT_TRUE(waitsAgain);
  EXPECT_TRUE(isRefusal(waiting, 6));
}

}  // namespace
}  // namespace velmer::e2e
