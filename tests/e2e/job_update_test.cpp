// Job update as a consumer reports it: state transitions and their times, percentage,
// text limits, message look-up, events, firmware recovery staging and refusals.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr int64_t kOldTime = 1;  // a time no update writes

const char* const kStateTimes[] = {"actualRunningStartTime", "actualRunningStopTime", "completionTime"};

class JobUpdate : public JobTest {
 protected:
  // Puts the job in `state` with every state time at kOldTime, so that a report's
  // times stand out.
  void prepare(const std::string& id, uint32_t state) {
    ASSERT_EQ(setJob(id, {{"jobState", state},
                          {"actualRunningStartTime", kOldTime},
                          {"actualRunningStopTime", kOldTime},
                          {"completionTime", kOldTime}}),
              0);
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
  struct Transition {
    uint32_t from;
    uint16_t report;
    uint32_t result;
    std::vector<std::string> times;
  };
  const std::vector<Transition> table = {
      {0, 3, 3, {"actualRunningStartTime"}},
      {3, 2, 2, {}},
      {3, 5, 5, {"actualRunningStopTime"}},
      {3, 6, 6, {"actualRunningStopTime", "completionTime"}},
      {1, 4, 4, {"completionTime"}},
      {4, 3, 4, {"completionTime"}},
      {4, 2, 4, {"completionTime"}},
      {4, 4, 4, {}},
      {4, kSame, 4, {}},
      {4, 0, 0, {}},
      {6, 3, 3, {"actualRunningStartTime"}},
      {7, 2, 2, {}},
      {2, 7, 7, {"completionTime"}},
  };
  std::string id = createJob("Configure: RAID", 1);
  for (const Transition& t : table) {
    prepare(id, t.from);
    const int64_t before = now();
    ASSERT_EQ(update(id, t.report, kSame), 0) << t.from << " -> " << t.report;
    EXPECT_EQ(jobValue<uint32_t>(id, "jobState"), t.result) << t.from << " -> " << t.report;
    EXPECT_EQ(timesSet(id), t.times) << t.from << " -> " << t.report;
    EXPECT_GE(jobValue<int64_t>(id, "latestUpdateTime"), before);
  }
}




TEST_F(JobUpdate, ReportsApplyTheirFieldsAndRefuseEmptyUnknownAndDeletionMarkedJobs) {
  std::string id = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(id, 3, 10), 0);
  // An unknown state is ignored while the rest of the report applies.
  ASSERT_EQ(update(id, 9, 42, "Running", "Step 2 of 3"), 0);
  PropertyMap p = job(id);
  EXPECT_EQ(p["jobState"].get<uint32_t>(), 3u);
  EXPECT_EQ(p["percentComplete"].get<uint16_t>(), 42);
  EXPECT_EQ(p["jobStatus"].get<std::string>(), "Running");
  EXPECT_EQ(p["message"].get<std::string>(), "Step 2 of 3");

  // A report of no change still refreshes the derived values and is backed up.
  id = createJob("Configure: RAID", 1);
  ASSERT_EQ(setJob(id, {{"jobStateForInterface", uint8_t{99}}, {"latestUpdateTime", kOldTime}}), 0);
  const size_t updatesBefore = eventCount("JCP028");
  const size_t logStart = readLog().size();
  ASSERT_EQ(update(id, kSame, kSame), 0);
  p = job(id);
  EXPECT_EQ(p["jobStateForInterface"].get<uint8_t>(), 0) << "recomputed for a new job";
  EXPECT_EQ(p["flags"].get<uint8_t>(), 16) << "the time-out is set";
  EXPECT_GT(p["latestUpdateTime"].get<int64_t>(), kOldTime);
  EXPECT_EQ(p["jobStatus"].get<std::string>(), "New");
  EXPECT_EQ(p["percentComplete"].get<uint16_t>(), 254);
  EXPECT_EQ(eventCount("JCP028"), updatesBefore + 1);
  EXPECT_NE(readLog(logStart).find("[jsWriteToBuffer]: Object ID: " + id + ", Operation: 1"), std::string::npos);

  // Without a time-out the flag goes, and other bits stay.
  ASSERT_EQ(setJob(id, {{"runningTimeoutSeconds", uint32_t{0}}, {"flags", uint8_t{16 | 1}}}), 0);
  ASSERT_EQ(update(id, kSame, kSame), 0);
  EXPECT_EQ(jobValue<uint8_t>(id, "flags"), 1);

  // The percentage is stored as reported, and is 100 for a final status.
  id = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(id, 3, 150), 0);
  EXPECT_EQ(jobValue<uint16_t>(id, "percentComplete"), 150) << "no range check";
  ASSERT_EQ(update(id, kSame, kSame), 0);
  EXPECT_EQ(jobValue<uint16_t>(id, "percentComplete"), 150);
  ASSERT_EQ(update(id, 3, 40, "Completed"), 0);
  EXPECT_EQ(jobValue<uint16_t>(id, "percentComplete"), 40) << "running is not a final state";
  ASSERT_EQ(update(id, 4, 40, "Done"), 0);
  EXPECT_EQ(jobValue<uint16_t>(id, "percentComplete"), 40) << "not a final status";

  for (const char* status : {"Completed", "Completed with Errors", "Failed"}) {
    std::string other = createJob("Configure: NIC", 1);
    ASSERT_EQ(update(other, 3, 10), 0);
    ASSERT_EQ(update(other, 6, 40, status), 0);
    EXPECT_EQ(jobValue<uint16_t>(other, "percentComplete"), 100) << status;
  }

  // The message is looked up from the message ID when none is given.
  id = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(id, kSame, kSame, "", "", "JCP037", id), 0);
  EXPECT_EQ(jobValue<std::string>(id, "message"), "The job " + id + " has completed successfully.");
  EXPECT_EQ(jobValue<std::string>(id, "messageID"), "JCP037");

  ASSERT_EQ(update(id, kSame, kSame, "", "Own words", "JCP008"), 0);
  EXPECT_EQ(jobValue<std::string>(id, "message"), "Own words") << "a given message wins";

  // An ID the registry lacks falls back to the internal-error text.
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
  EXPECT_EQ(jobValue<uint32_t>(marked, "jobState"), 0u);
  EXPECT_EQ(jobValue<std::string>(marked, "jobStatus"), "New");

  // Only exactly 2 refuses: with another bit set the job takes reports.
  ASSERT_EQ(setJob(marked, {{"flags", uint8_t{2 | 8}}}), 0);
  EXPECT_EQ(update(marked, 3, 10, "Running"), 0);
  EXPECT_EQ(jobValue<uint32_t>(marked, "jobState"), 3u);
}

TEST_F(JobUpdate, TextsAreCutToTheirLimitsInBytesOnACharacterBoundary) {
  std::string id = createJob(std::string(150, 'n'), 1);
  EXPECT_EQ(job(id)["jobName"].get<std::string>(), std::string(99, 'n')) << "cut from creation on";
  ASSERT_EQ(update(id, kSame, kSame, std::string(50, 's'), std::string(300, 'm'), "ABCDEFGHIJKLMNOP",
                   std::string(300, 'a')),
            0);
  PropertyMap p = job(id);
  EXPECT_EQ(p["jobName"].get<std::string>(), std::string(99, 'n'));
  EXPECT_EQ(p["jobStatus"].get<std::string>(), std::string(39, 's'));
  EXPECT_EQ(p["message"].get<std::string>(), std::string(255, 'm'));
  EXPECT_EQ(p["messageID"].get<std::string>(), "ABCDEFGHIJK");
  EXPECT_EQ(p["messageArgs"].get<std::string>(), std::string(255, 'a'));

  // A two-byte character across each limit is left out whole; the job stays updatable
  // and its events are those of the report applied.
  const std::string e = "\xc3\xa9";
  const std::string named = createJob(std::string(98, 'a') + e, 1);
  ASSERT_EQ(update(named, kSame, kSame, std::string(38, 's') + e, std::string(254, 'm') + e, "ABCDEFGHIJ" + e,
                   std::string(254, 'a') + e),
            0);
  p = job(named);
  EXPECT_EQ(p["jobName"].get<std::string>(), std::string(98, 'a'));
  EXPECT_EQ(p["jobStatus"].get<std::string>(), std::string(38, 's'));
  EXPECT_EQ(p["message"].get<std::string>(), std::string(254, 'm'));
  EXPECT_EQ(p["messageID"].get<std::string>(), "ABCDEFGHIJ");
  EXPECT_EQ(p["messageArgs"].get<std::string>(), std::string(254, 'a'));
  ASSERT_EQ(update(named, 4, kSame, "Completed", "", "", ""), 0);
  EXPECT_EQ(job(named)["jobStatus"].get<std::string>(), "Completed");
  EXPECT_EQ(eventCount("JCP037"), 1u);
  EXPECT_EQ(eventCount("MUT0007"), 1u);
}


TEST_F(JobUpdate, EventsFollowTheStatusTheNoEventsFlagAndTheJobType) {
  std::string job = createJob("Configure: RAID", 1);
  ASSERT_EQ(update(job, 3, 10), 0);
  std::vector<Event> updated = events("JCP028");
  ASSERT_EQ(updated.size(), 1u);
  EXPECT_EQ(updated[0]["codes"], nlohmann::json::array({66, 5, 3}));
  EXPECT_EQ(updated[0]["args"], nlohmann::json::array({"Job status updated"}));

  ASSERT_EQ(update(job, 4, 100, "Completed"), 0);
  EXPECT_EQ(events("JCP037").at(0)["args"], nlohmann::json::array({job}));
  EXPECT_EQ(events("MUT0007").at(0)["codes"], nlohmann::json::array({70, 1, 1}));
  EXPECT_EQ(events("MUT0007").at(0)["args"], nlohmann::json::array({job + "|Configure: RAID|Completed"}));
  EXPECT_EQ(eventCount("JCP028"), 2u);
  // A finished job announces its final status again on every later report.
  ASSERT_EQ(update(job, kSame, kSame), 0);
  EXPECT_EQ(eventCount("MUT0007"), 2u);
  EXPECT_EQ(eventCount("JCP037"), 1u) << "the status came from the store, not the report";

  std::string failed = createJob("Configure: NIC", 1);
  ASSERT_EQ(update(failed, 4, 0, "Failed", "disk gone"), 0);
  EXPECT_EQ(events("JCP042").at(0)["args"],
            nlohmann::json::array({"Unable to run the job " + failed + " because disk gone", failed, "New"}));
  std::string silent = createJob("Configure: NIC", 1);
  ASSERT_EQ(update(silent, 4, 0, "Failed"), 0);
  EXPECT_EQ(events("JCP042").at(1)["args"],
            nlohmann::json::array({"Unable to run the job " + silent + " because unknown error occured.", silent}));

  // Flag bit 3 silences the job's own events but not the final-status one.
  std::string quiet = createJob("Configure: BIOS", 1);
  ASSERT_EQ(setJob(quiet, {{"flags", uint8_t{8}}}), 0);
  const size_t updatesBefore = eventCount("JCP028"), completionsBefore = eventCount("JCP037");
  const size_t finalsBefore = eventCount("MUT0007");
  ASSERT_EQ(update(quiet, 4, 100, "Completed"), 0);
  EXPECT_EQ(eventCount("JCP028"), updatesBefore);
  EXPECT_EQ(eventCount("JCP037"), completionsBefore);
  EXPECT_EQ(eventCount("MUT0007"), finalsBefore + 1);

  // Types 180 and 182 report progress without update events.
  for (uint16_t type : {180, 182}) {
    std::string typed = createJob("Inventory", type);
    const size_t before = eventCount("JCP028");
    ASSERT_EQ(update(typed, 3, 50, "Running"), 0);
    EXPECT_EQ(eventCount("JCP028"), before) << "type " << type;
    ASSERT_EQ(update(typed, 4, 100, "Completed"), 0);
    EXPECT_EQ(events("JCP037").back()["args"], nlohmann::json::array({typed})) << "type " << type;
  }
}

// ---------------------------------------------------------------------------------------

class RecoveryStaging : public JobUpdate {
 protected:
  std::filesystem::path dir(const char* relative) { return root() / "mmc1" / relative; }
  void put(const std::filesystem::path& file) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << file.filename().string();
  }
  bool has(const std::filesystem::path& file) { return std::filesystem::exists(file); }
  void complete(const std::string& name) {
    std::string id = createJob(name, 1);
    ASSERT_EQ(update(id, 4, 100, "Completed"), 0);
  }
};

TEST_F(RecoveryStaging, CompletedFirmwareJobsCopyTheirPayloadIntoTheRecoveryFolders) {
  const auto cpld = dir("cpld_recovery"), bios = dir("bios_recovery");
  put(cpld / "payload_old.bin");
  put(cpld / "notes.txt");
  put(dir("mas022/27763/current") / "payload_new.bin");
  put(dir("mas022/27763/current/sub") / "image.hex");
  put(bios / "old.cap");
  put(bios / "notes.txt");
  put(dir("mas022/159/current") / "new.cap");

  complete("Firmware Update: BIOS");
  EXPECT_FALSE(has(bios / "old.cap"));
  EXPECT_TRUE(has(bios / "new.cap"));
  EXPECT_TRUE(has(bios / "notes.txt")) << "only names with \"cap\" are removed";
  EXPECT_TRUE(has(cpld / "payload_old.bin")) << "not a programmable-logic job";

  std::string failed = createJob("Firmware Update: FPGA", 1);
  ASSERT_EQ(update(failed, 4, 0, "Failed"), 0);
  EXPECT_TRUE(has(cpld / "payload_old.bin")) << "only a completed job stages";

  put(bios / "again.cap");
  complete("fPgA and bIoS bundle");
  EXPECT_FALSE(has(cpld / "payload_old.bin"));
  EXPECT_TRUE(has(cpld / "notes.txt"));
  EXPECT_TRUE(has(cpld / "payload_new.bin"));
  EXPECT_TRUE(has(cpld / "sub/image.hex"));
  EXPECT_FALSE(has(bios / "again.cap")) << "a name with both words stages both payloads";
  EXPECT_TRUE(has(bios / "new.cap"));
}

// ---------------------------------------------------------------------------------------


}  // namespace
}  // namespace velmer::e2e
