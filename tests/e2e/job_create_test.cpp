// Job creation as a controller service sees it: the refusals and their codes, the new
// job's properties, IDs, events and counters, the reboot-type rewrite and the wait for
// room in a full store.
#include <algorithm>
#include <cctype>
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

Reply refusal(uint16_t code) { return {0, "", code}; }

bool isWellFormedId(const std::string& id, const std::string& prefix) {
  return id.size() == 16 && id.starts_with(prefix) &&
         std::all_of(id.begin() + 4, id.end(), [](unsigned char c) { return std::isdigit(c); });
}

using JobCreation = JobTest;

TEST_F(JobCreation, RefusalsAnswerTheirCodesAndCreateNothing) {
  recorder().clear();
  writeAttributes({{kLockdown, 1}});
  EXPECT_EQ(create("Configure: BIOS", 20), refusal(40));
  EXPECT_EQ(create("", 209), refusal(40)) << "lockdown is checked before the name";
  EXPECT_EQ(create("", 1), refusal(4)) << "type 1 is not locked, so the empty name decides";
  EXPECT_EQ(create("System Erase", kSystemEraseType, "JobServCreateSystemerase"), refusal(40));
  writeAttributes({{kLockdown, 0}});
  EXPECT_EQ(create("", 20, "JobServCreateWithRetry"), refusal(4));

  // 33 is the state of an active controller firmware update.
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{33}), 0);
  EXPECT_EQ(create("Configure: RAID", 1), refusal(62));
  EXPECT_EQ(events("JCP048").size(), 1u);
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{0}), 0);

  // Nothing of a refused creation reaches the bus or the store counters.
  recorder().sync();
  EXPECT_TRUE(std::none_of(recorder().signals().begin(), recorder().signals().end(),
                           [](const RecordedSignal& s) { return s.member == "InterfacesAdded"; }));
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 0);

  // A full store refuses; 255 jobs still leave room for one more, whatever
  // maxJobsInStore says.
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{256}}}), 0);
  EXPECT_EQ(create("Configure: NIC", 1), refusal(6));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 0);
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{255}}, {"maxJobsInStore", uint16_t{10}}}), 0);
  EXPECT_EQ(std::get<2>(create("Configure: NIC", 1)), 0);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 256);
}

TEST_F(JobCreation, RunningSystemEraseBlocksOtherCreationsButNotAnotherErase) {
  std::string erase = createJob("System Erase", kSystemEraseType);
  EXPECT_EQ(jobValue<uint32_t>(erase, "runningTimeoutSeconds"), 0u) << "a system erase never times out";
  for (uint32_t state : {0u, 1u, 2u, 3u, 4u}) {
    ASSERT_EQ(setJob(erase, {{"jobState", state}}), 0);
    const uint16_t expected = state == 1 || state == 3 ? 38 : 0;
    EXPECT_EQ(std::get<2>(create("Configure: RAID", 1)), expected) << "state " << state;
    EXPECT_EQ(std::get<2>(create("System Erase 2", kSystemEraseType, "JobServCreateSystemerase")), 0) << state;
  }

  // Without the normal trace no job is read: the registry's count answers, and follows a
  // restored job and a client's Properties.Set.
  DaemonOptions quiet;
  quiet.traceLevel = 2;
  restartDaemon(quiet);
  ASSERT_TRUE(waitUntil([&] { return onBus(jobPath(erase)); }, 10s));
  client().setProperty(jobPath(erase), kJobInterface, "jobState", sdbus::Variant(uint32_t{3}));
  EXPECT_EQ(create("Configure: RAID", 1), refusal(38));
  client().setProperty(jobPath(erase), kJobInterface, "jobState", sdbus::Variant(uint32_t{4}));
  EXPECT_EQ(std::get<2>(create("Configure: RAID", 1)), 0);
}

TEST_F(JobCreation, NewJobsHaveTheirInitialPropertiesEventsTimeOutsAndDistinctIds) {
  writeAttributes({{kJobTimeout, 30}});
  recorder().clear();
  const int64_t before = now();
  std::string id = createJob("Configure: RAID.Integrated.1-1", 14);
  const int64_t after = now();

  EXPECT_TRUE(isWellFormedId(id, "JID_")) << id;
  // The first ten digits are the creation time (distinct IDs within one second are
  // checked with queue IDs, which the same generator draws).
  EXPECT_LE(std::abs(std::stoll(id.substr(4, 10)) - now()), 5);
  PropertyMap p = job(id);
  EXPECT_TRUE(hasFields(p, {{"jsJobID", id}, {"jobName", "Configure: RAID.Integrated.1-1"}, {"jobType", 14},
                            {"jobState", 0}, {"jobStatus", "New"}, {"message", "New"}, {"messageID", "JCP000"},
                            {"percentComplete", 254}, {"runningTimeoutSeconds", 1800}}));  // 30 minutes
  for (const char* time : {"creationTime", "startTime", "latestUpdateTime"})
    EXPECT_EQ(std::clamp(p[time].get<int64_t>(), before, after), p[time].get<int64_t>()) << time << " within the call";
  recorder().sync();
  ASSERT_FALSE(recorder().signals().empty());
  EXPECT_EQ(recorder().signals().front().member + " " + recorder().signals().front().objectPath,
            "InterfacesAdded " + jobPath(id));
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 1);
  EXPECT_EQ(client().mainProperty<IdList>("jobInfoObjList"), IdList{id});
  ASSERT_EQ(events("JCP027").size(), 1u);
  EXPECT_EQ(events("JCP027")[0]["args"], nlohmann::json::array({id}));
  EXPECT_TRUE(events("RED029").empty()) << "not a reboot job";

  // The running time-out comes from the job time-out attribute, in minutes.
  const std::pair<nlohmann::json, uint32_t> timeOuts[] = {
      {nlohmann::json::object(), 21600u},       // unset: six hours
      {{{kJobTimeout, "30"}}, 21600u},          // unreadable as an integer
      {{{kJobTimeout, 0}}, 0u},                 // read, and zero
      {{{kJobTimeout, 40000000}}, 2400000000u}  // beyond a signed 32-bit product
  };
  for (const auto& [attributes, expected] : timeOuts) {
    writeAttributes(attributes);
    EXPECT_EQ(jobValue<uint32_t>(createJob("Configure: NIC", 1), "runningTimeoutSeconds"), expected)
        << attributes.dump();
  }
  EXPECT_EQ(jobValue<std::string>(createJob("Shutdown", 45), "jobStatus"), "GracefulShutdown Pending");

  // Type 41 becomes "Reboot1" of type 40 when the platform asks; other reboot types keep
  // theirs, and the quiet create method still announces the reboot.
  writeAttributes({{kRebootJobType, 1}});
  std::string reboot = createJob("Power Cycle", 41);
  EXPECT_TRUE(isWellFormedId(reboot, "RID_")) << reboot;
  EXPECT_TRUE(hasFields(job(reboot), {{"jobName", "Reboot1"}, {"jobType", 40}, {"jobStatus", "Pending Reboot"}}));
  EXPECT_EQ(events("RED029").size(), 1u);
  const size_t creationEvents = events("JCP027").size();
  const std::string quiet = std::get<1>(create("Warm Reset", 42, "JobServCreateWithNoQVLog"));
  EXPECT_TRUE(hasFields(job(quiet), {{"jobName", "Warm Reset"}, {"jobType", 42}}));
  EXPECT_EQ(events("RED029").size(), 2u);
  EXPECT_EQ(events("JCP027").size(), creationEvents) << "JobServCreateWithNoQVLog writes no creation event";
  writeAttributes({{kRebootJobType, 0}});
  EXPECT_TRUE(hasFields(job(createJob("Power Cycle", 41)), {{"jobName", "Power Cycle"}, {"jobType", 41}}));
}

TEST_F(JobCreation, WaitForRoomKeepsTheBusAnsweringAndTakesTheRoomAutomaticDeletionMakes) {
  ASSERT_TRUE(waitForStartupSequence());  // the backup thread serves its commands
  const std::string finished = createJob("Configure: NIC", 1);
  ASSERT_EQ(setJob(finished, {{"jobState", uint32_t{4}}, {"completionTime", now() - 100}}), 0);
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{1}), 0);
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{256}}}), 0);
  size_t logStart = readLog().size();
  Reply waiting;
  auto createAside = [&] {
    BusClient otherClient;
    waiting = otherClient.callMain<uint16_t, std::string, uint16_t>("JobServCreate", std::string("Configure: NIC"),
                                                                    uint16_t{1});
  };

  std::thread creator(createAside);
  const bool waits = waitForLog("Backup space not available", 5s, logStart);
  const uint16_t status = client().callMain<uint16_t>("GetJobServiceStatus");
  creator.join();
  ASSERT_TRUE(waits);
  EXPECT_EQ(status, 0);
  // Handled, and so answered, while the creation waited: before the creation's reply.
  const std::string log = readLog(logStart);
  EXPECT_LT(log.find("[getJobServiceStatus]: Entering get job service status"),
            log.find("[jobServCreate]: job create successfully with jobID"));
  EXPECT_EQ(std::get<2>(waiting), 0) << "the job removed meanwhile made room";
  EXPECT_TRUE(isWellFormedId(std::get<1>(waiting), "JID_")) << std::get<1>(waiting);
  EXPECT_EQ(client().mainProperty<IdList>("jobInfoObjList"), IdList{std::get<1>(waiting)});
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 256);

  // A stop during the wait still answers the waiting caller.
  logStart = readLog().size();
  std::thread stopped(createAside);
  const bool waitsAgain = waitForLog("Backup space not available", 5s, logStart);
  stopDaemon();
  stopped.join();
  ASSERT_TRUE(waitsAgain);
  EXPECT_EQ(waiting, refusal(6));
}

}  // namespace
}  // namespace velmer::e2e
