// How long a full store takes to come back and to be written: 256 jobs and 128 queues,
// about 17 MB. The times are reported, not asserted: machines differ too much.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "persistence_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr int kJobs = 256, kQueues = 128;

std::string jobID(int i) {
  char id[17];
  std::snprintf(id, sizeof id, "JID_%012d", i + 1);
  return id;
}

void append(layout::Bytes& file, const layout::Bytes& object) {
  file.insert(file.end(), object.begin(), object.end());
}

// A full store as an earlier run would have written it: every queue holds two jobs.
layout::Bytes fullStore() {
  layout::Bytes file;
  for (int i = 0; i < kJobs; ++i) {
    JobInfoRecord job;
    job.jsJobID = jobID(i);
    job.jobName = "Configure: RAID.Integrated.1-" + std::to_string(i);
    job.jobType = 3;
    job.jobState = 2;
    job.jobStatus = "Scheduled";
    job.message = "The job is scheduled to run after  2025-12-05 12:00:00";
    job.messageID = "JCP051";
    job.queueID = "QID_" + std::to_string(900000000000 + i / 2);
    job.flags = 1;
    job.percentComplete = 254;
    job.creationTime = job.latestUpdateTime = 1764944000 + i;
    append(file, layout::jobObject(job));
  }
  for (int q = 0; q < kQueues; ++q) {
    JobQueueRecord queue;
    queue.jsQueueID = "QID_" + std::to_string(900000000000 + q);
    queue.startTime = 1764936000;
    queue.untilTime = 4294967295;
    queue.queueState = 1;
    queue.itemCount = 2;
    queue.jobQueueItem = {jobID(2 * q), jobID(2 * q + 1)};
    append(file, layout::queueObject(queue));
  }
  return file;
}

// Milliseconds from the first line holding `from` to the first later line holding `to`,
// read from the log's time stamps ("hh:mm:ss.uuuuuu ...").
std::optional<double> millisecondsBetween(const std::string& log, const std::string& from, const std::string& to) {
  auto stamp = [&](size_t lineStart) {
    int h = 0, m = 0;
    double s = 0;
    std::sscanf(log.c_str() + lineStart, "%d:%d:%lf", &h, &m, &s);
    return (h * 60 + m) * 60 + s;
  };
  auto lineStartOf = [&](size_t at) { return log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1; };
  size_t first = log.find(from);
  if (first == std::string::npos) return std::nullopt;
  size_t last = log.find(to, first);
  if (last == std::string::npos) return std::nullopt;
  double seconds = stamp(lineStartOf(last)) - stamp(lineStartOf(first));
  if (seconds < 0) seconds += 24 * 3600;  // across midnight
  return seconds * 1000;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void report(const std::string& what, double milliseconds) {
  std::cout << "[ figure   ] " << what << ": " << milliseconds << " ms" << std::endl;
  ::testing::Test::RecordProperty(what, std::to_string(milliseconds));
}

class RestorePerformance : public PersistenceTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override { return std::nullopt; }
};

TEST_F(RestorePerformance, FullStoreIsRestoredAndRewrittenAndTheTimesAreReported) {
  layout::writeBytes(layout::backupFile(root()), fullStore());
  startAndAwaitRestore();
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), kJobs);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), kQueues);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), kJobs);
  auto restore = millisecondsBetween(readLog(), "[JSRestore]: Entering RestoreJSObjects", kRestoreDone);
  ASSERT_TRUE(restore.has_value());
  report("start-up restore of 256 jobs and 128 queues", *restore);

  // One Create command rewrites the backup file, then the legacy copy.
  std::vector<double> backupFile, wholeCommand;
  for (uint16_t percent = 1; percent <= 3; ++percent) {
    const size_t logStart = readLog().size();
    ASSERT_EQ(update(jobID(0), 255, percent), 0);
    ASSERT_TRUE(waitForLog("Exiting PersistNewDBusObject", kBackupStepTimeout, logStart));
    const std::string log = readLog(logStart);
    auto backup = millisecondsBetween(log, "Entering PersistNewDBusObject", "Creating jqlegacy-compatible backup");
    auto whole = millisecondsBetween(log, "Entering PersistNewDBusObject", "Exiting PersistNewDBusObject");
    ASSERT_TRUE(backup.has_value() && whole.has_value());
    backupFile.push_back(*backup);
    wholeCommand.push_back(*whole);
  }
  report("backup file rewrite, median of 3", median(backupFile));
  report("Create command with the legacy copy, median of 3", median(wholeCommand));
  EXPECT_EQ(std::filesystem::file_size(layout::backupFile(root())), kJobs * 1896u + kQueues * 131648u);
}

}  // namespace
}  // namespace velmer::e2e
