// A job's life as the controller services see it. Creation: the refusals and their codes,
// the new job's properties, IDs, events and counters, the reboot-type rewrite and the
// wait for room in a full store. Update, as a consumer reports it: state transitions and
// their times, percentage, text limits, message look-up, events, firmware recovery
// staging and refusals.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
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
  const std::string jobID = createJob("Configure: NIC", 1);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 256);

  // Whether a system erase runs, the registry's jobs tell at every trace level: the main
  // object's job list, which a client may rewrite, is walked only for the trace.
  ASSERT_EQ(setJob(jobID, {{"jobType", uint32_t{kSystemEraseType}}, {"jobState", uint32_t{3}}}), 0);
  ASSERT_EQ(setMain({{"jobInfoObjCount", uint16_t{0}}}), 0);  // the list reads as empty
  EXPECT_EQ(create("Configure: RAID", 1), refusal(38));
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
  EXPECT_TRUE(hasFields(client().mainProperties(), {{"numJobsInStore", 1}, {"jobInfoObjList", {id}}}));
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
  const std::string erase = createJob("System Erase", kSystemEraseType), spare = createJob("Configure: NIC", 1);
  const std::string finished = createJob("Configure: NIC", 1);
  ASSERT_EQ(setJob(finished, {{"jobState", uint32_t{4}}, {"completionTime", now() - 100}}), 0);
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{1}), 0);
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{256}}}), 0);
  Reply waiting;
  // A creation from a client of its own; `meanwhile` runs once it waits for room.
  auto createWaiting = [&](const std::function<void()>& meanwhile) {
    const size_t logStart = readLog().size();
    std::jthread creator([&] {
      waiting = BusClient().callMain<uint16_t, std::string, uint16_t>("JobServCreate", std::string("Configure: NIC"),
                                                                      uint16_t{1});
    });
    EXPECT_TRUE(waitForLog("Backup space not available", 5s, logStart)) << "the creation waits for room";
    meanwhile();
  };

  const size_t logStart = readLog().size();
  createWaiting([&] { EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0); });
  // Handled, and so answered, while the creation waited: before the creation's reply.
  const std::string log = readLog(logStart);
  EXPECT_LT(log.find("[getJobServiceStatus]: Entering get job service status"),
            log.find("[jobServCreate]: job create successfully with jobID"));
  EXPECT_EQ(std::get<2>(waiting), 0) << "the job removed meanwhile made room";
  EXPECT_TRUE(isWellFormedId(std::get<1>(waiting), "JID_")) << std::get<1>(waiting);
  EXPECT_TRUE(hasFields(client().mainProperties(),
                        {{"jobInfoObjList", {erase, spare, std::get<1>(waiting)}}, {"numJobsInStore", 256}}));

  // The room a deletion makes is taken only if every other check still passes: here a
  // system erase started meanwhile.
  createWaiting([&] {
    EXPECT_EQ(setJob(erase, {{"jobState", uint32_t{3}}}), 0);
    EXPECT_EQ(deleteJobs({spare}), (Reply{0, "", 0}));
  });
  EXPECT_EQ(waiting, refusal(38));

  // A stop during the wait still answers the waiting caller.
  ASSERT_EQ(setMain({{"numJobsInStore", uint16_t{256}}}), 0);
  ASSERT_EQ(setJob(erase, {{"jobState", uint32_t{0}}}), 0);
  createWaiting([&] { stopDaemon(); });
  EXPECT_EQ(waiting, refusal(6));
}

constexpr int64_t kOldTime = 1;  // a time no update writes

const char* const kStateTimes[] = {"actualRunningStartTime", "actualRunningStopTime", "completionTime"};

class JobUpdate : public JobTest {
 protected:
  // Puts the job in `state` with every state time at kOldTime, so that a report's
  // times stand out.
  void prepare(const std::string& id, uint32_t state) {
    PropertyMap values = {{"jobState", state}};
    for (const char* name : kStateTimes) values[name] = kOldTime;
    ASSERT_EQ(setJob(id, values), 0);
  }

  // The state times that the last report set (those no longer at kOldTime).
  std::vector<std::string> timesSet(const std::string& id) {
    PropertyMap p = job(id);
    std::vector<std::string> set;
    for (const char* name : kStateTimes)
      if (p[name].get<int64_t>() != kOldTime) set.push_back(name);
    return set;
  }

  size_t eventCount(const std::string& messageId) const { return events(messageId).size(); }
};

TEST_F(JobUpdate, StateTransitionsSetTheirTimesAndOnlyAFinishedJobResistsRunningAgain) {
  // From a state, a report, the state that results and the state times it sets.
  const std::vector<std::tuple<uint32_t, uint16_t, uint32_t, std::vector<std::string>>> table = {
      {0, 3, 3, {"actualRunningStartTime"}}, {3, 2, 2, {}}, {3, 5, 5, {"actualRunningStopTime"}},
      {3, 6, 6, {"actualRunningStopTime", "completionTime"}}, {1, 4, 4, {"completionTime"}},
      {4, 3, 4, {"completionTime"}}, {4, 2, 4, {"completionTime"}}, {4, 4, 4, {}}, {4, kSame, 4, {}}, {4, 0, 0, {}},
      {6, 3, 3, {"actualRunningStartTime"}}, {7, 2, 2, {}}, {2, 7, 7, {"completionTime"}},
  };
  std::string id = createJob("Configure: RAID", 1);
  for (const auto& [from, report, result, times] : table) {
    SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(report));
    prepare(id, from);
    ASSERT_EQ(update(id, report, kSame), 0);
    EXPECT_EQ(jobValue<uint32_t>(id, "jobState"), result);
    EXPECT_EQ(timesSet(id), times);
  }
}

TEST_F(JobUpdate, ReportsApplyTheirFieldsAndRefuseEmptyUnknownAndDeletionMarkedJobs) {
  std::string id = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(id, 3, 10), 0);
  // An unknown state is ignored while the rest of the report applies.
  ASSERT_EQ(update(id, 9, 42, "Running", "Step 2 of 3"), 0);
  EXPECT_TRUE(hasFields(
      job(id), {{"jobState", 3}, {"percentComplete", 42}, {"jobStatus", "Running"}, {"message", "Step 2 of 3"}}));

  // A report of no change still refreshes the derived values; the time-out flag is set.
  id = createJob("Configure: RAID", 1);
  ASSERT_EQ(setJob(id, {{"jobStateForInterface", uint8_t{99}}, {"latestUpdateTime", kOldTime}}), 0);
  const size_t updatesBefore = eventCount("JCP028");
  ASSERT_EQ(update(id, kSame, kSame), 0);
  EXPECT_TRUE(hasFields(job(id), {{"jobStateForInterface", 0}, {"flags", 16}, {"jobStatus", "New"},
                                  {"percentComplete", 254}}));
  EXPECT_GT(jobValue<int64_t>(id, "latestUpdateTime"), kOldTime);
  EXPECT_EQ(eventCount("JCP028"), updatesBefore + 1);
  // Without a time-out the flag goes, and other bits stay.
  ASSERT_EQ(setJob(id, {{"runningTimeoutSeconds", uint32_t{0}}, {"flags", uint8_t{16 | 1}}}), 0);
  ASSERT_EQ(update(id, kSame, kSame), 0);
  EXPECT_EQ(jobValue<uint8_t>(id, "flags"), 1);

  // The percentage is stored as reported, without a range check, and is 100 only for a
  // final status of a finished state.
  id = createJob("Configure: RAID", 1);
  const std::tuple<uint16_t, uint16_t, const char*, uint16_t> reports[] = {  // state, percent, status: stored
      {3, 150, "", 150}, {kSame, kSame, "", 150}, {3, 40, "Completed", 40}, {4, 40, "Done", 40},
      {6, 40, "Completed with Errors", 100}};
  for (const auto& [state, percent, status, stored] : reports) {
    ASSERT_EQ(update(id, state, percent, status), 0);
    EXPECT_EQ(jobValue<uint16_t>(id, "percentComplete"), stored) << state << " " << percent << " " << status;
  }

  // The message is looked up from the message ID when none is given; a given message
  // wins; an ID the registry lacks falls back to the internal-error text.
  id = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(id, kSame, kSame, "", "", "JCP037", id), 0);
  EXPECT_TRUE(
      hasFields(job(id), {{"message", "The job " + id + " has completed successfully."}, {"messageID", "JCP037"}}));
  ASSERT_EQ(update(id, kSame, kSame, "", "Own words", "JCP008"), 0);
  EXPECT_EQ(jobValue<std::string>(id, "message"), "Own words");
  ASSERT_EQ(update(id, kSame, kSame, "", "", "XYZ123"), 0);
  EXPECT_EQ(jobValue<std::string>(id, "message"), "The job could not be completed because of an internal error.");

  // Refused: an empty or unknown ID, an object whose own ID differs, a deletion mark.
  EXPECT_EQ(update("", 3, 10), 1);
  EXPECT_EQ(update("JID_000000000000", 3, 10), 37);
  std::string renamed = createJob("Configure: NIC", 1);
  ASSERT_EQ(setJob(renamed, {{"jsJobID", std::string("JID_111111111111")}}), 0);
  EXPECT_EQ(update(renamed, 3, 10), 37);
  std::string marked = createJob("Configure: RAID", 1);
  ASSERT_EQ(setJob(marked, {{"flags", uint8_t{2}}}), 0);
  EXPECT_EQ(update(marked, 3, 10, "Running"), 1);
  EXPECT_TRUE(hasFields(job(marked), {{"jobState", 0}, {"jobStatus", "New"}}));
  // Only exactly 2 refuses: with another bit set the job takes reports.
  ASSERT_EQ(setJob(marked, {{"flags", uint8_t{2 | 8}}}), 0);
  EXPECT_EQ(update(marked, 3, 10, "Running"), 0);
  EXPECT_EQ(jobValue<uint32_t>(marked, "jobState"), 3u);
}

TEST_F(JobUpdate, TextsAreCutToTheirLimitsInBytesOnACharacterBoundary) {
  std::string id = createJob(std::string(150, 'n'), 1);
  EXPECT_EQ(jobValue<std::string>(id, "jobName"), std::string(99, 'n')) << "cut from creation on";
  ASSERT_EQ(update(id, kSame, kSame, std::string(50, 's'), std::string(300, 'm'), "ABCDEFGHIJKLMNOP",
                   std::string(300, 'a')),
            0);
  EXPECT_TRUE(hasFields(job(id), {{"jobName", std::string(99, 'n')}, {"jobStatus", std::string(39, 's')},
                                  {"message", std::string(255, 'm')}, {"messageID", "ABCDEFGHIJK"},
                                  {"messageArgs", std::string(255, 'a')}}));

  // A two-byte character across each limit is left out whole; the job stays updatable
  // and its events are those of the report applied.
  const std::string e = "\xc3\xa9";
  const std::string named = createJob(std::string(98, 'a') + e, 1);
  ASSERT_EQ(update(named, kSame, kSame, std::string(38, 's') + e, std::string(254, 'm') + e, "ABCDEFGHIJ" + e,
                   std::string(254, 'a') + e),
            0);
  EXPECT_TRUE(hasFields(job(named), {{"jobName", std::string(98, 'a')}, {"jobStatus", std::string(38, 's')},
                                     {"message", std::string(254, 'm')}, {"messageID", "ABCDEFGHIJ"},
                                     {"messageArgs", std::string(254, 'a')}}));
  ASSERT_EQ(update(named, 4, kSame, "Completed", "", "", ""), 0);
  EXPECT_EQ(std::make_tuple(jobValue<std::string>(named, "jobStatus"), eventCount("JCP037"), eventCount("MUT0007")),
            std::make_tuple("Completed", 1u, 1u));
}

TEST_F(JobUpdate, EventsFollowTheStatusTheNoEventsFlagAndTheJobType) {
  std::string job = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(job, 3, 10), 0);
  ASSERT_EQ(eventCount("JCP028"), 1u);
  EXPECT_EQ(events("JCP028")[0]["args"], nlohmann::json::array({"Job status updated"}));
  ASSERT_EQ(update(job, 4, 100, "Completed"), 0);
  EXPECT_EQ(events("JCP037").at(0)["args"], nlohmann::json::array({job}));
  EXPECT_EQ(events("MUT0007").at(0)["args"], nlohmann::json::array({job + "|Configure: RAID|Completed"}));
  EXPECT_EQ(eventCount("JCP028"), 2u);
  // A finished job announces its final status again on every later report.
  ASSERT_EQ(update(job, kSame, kSame), 0);
  EXPECT_EQ(eventCount("MUT0007"), 2u);
  EXPECT_EQ(eventCount("JCP037"), 1u) << "the status came from the store, not the report";

  std::string failed = createJob("Configure: NIC", 1), silent = createJob("Configure: NIC", 1);
  ASSERT_EQ(update(failed, 4, 0, "Failed", "disk gone"), 0);
  ASSERT_EQ(update(silent, 4, 0, "Failed"), 0);
  EXPECT_EQ(events("JCP042").at(0)["args"],
            nlohmann::json::array({"Unable to run the job " + failed + " because disk gone", failed, "New"}));
  EXPECT_EQ(events("JCP042").at(1)["args"],
            nlohmann::json::array({"Unable to run the job " + silent + " because unknown error occured.", silent}));

  // Flag bit 3 silences the job's own events but not the final-status one.
  std::string quiet = createJob("Configure: BIOS", 1);
  ASSERT_EQ(setJob(quiet, {{"flags", uint8_t{8}}}), 0);
  auto counts = [&] { return std::vector{eventCount("JCP028"), eventCount("JCP037"), eventCount("MUT0007")}; };
  std::vector<size_t> expected = counts();
  ASSERT_EQ(update(quiet, 4, 100, "Completed"), 0);
  ++expected[2];
  EXPECT_EQ(counts(), expected);

  // Types 180 and 182 report progress without update events.
  for (uint16_t type : {180, 182}) {
    const size_t before = eventCount("JCP028");
    ASSERT_EQ(update(createJob("Inventory", type), 3, 50, "Running"), 0);
    EXPECT_EQ(eventCount("JCP028"), before) << "type " << type;
  }
}

TEST_F(JobUpdate, CompletedFirmwareJobsCopyTheirPayloadIntoTheRecoveryFolders) {
  const auto mmc = root() / "mmc1", cpld = mmc / "cpld_recovery", bios = mmc / "bios_recovery";
  for (const auto& file : {cpld / "payload_old.bin", cpld / "notes.txt", mmc / "mas022/27763/current/payload_new.bin",
                           mmc / "mas022/27763/current/sub/image.hex", bios / "old.cap", bios / "notes.txt",
                           mmc / "mas022/159/current/new.cap"}) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << file.filename().string();
  }
  // The files below a folder, by their relative paths.
  auto files = [](const std::filesystem::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
      if (entry.is_regular_file()) names.insert(entry.path().lexically_relative(folder).string());
    return names;
  };
  using Names = std::set<std::string>;
  auto finish = [&](const std::string& name, const char* status) {
    ASSERT_EQ(update(createJob(name, 1), 4, 100, status), 0);
  };

  // Only a completed job stages; a name with both words, in any case, stages both
  // payloads, and from the BIOS folder only names with "cap" are removed.
  finish("Firmware Update: FPGA", "Failed");
  EXPECT_EQ(files(cpld), (Names{"notes.txt", "payload_old.bin"}));
  finish("fPgA and bIoS bundle", "Completed");
  EXPECT_EQ(files(cpld), (Names{"notes.txt", "payload_new.bin", "sub/image.hex"}));
  EXPECT_EQ(files(bios), (Names{"new.cap", "notes.txt"}));
}

}  // namespace
}  // namespace velmer::e2e
