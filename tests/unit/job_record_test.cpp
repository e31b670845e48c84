#include "jobs/job_record.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "temp_root.hpp"

namespace {

// The job cache's record: numbers little-endian, texts cut to their field with a NUL, and
// every reserved byte cleared.
TEST(JobInfoObjLayout, FieldsSitAtTheirOffsetsLittleEndianAndTextsAreCut) {
  const velmer::JobInfoRecord job = {
      .startTime = -2, .untilTime = 4294967295, .completionTime = 0x0102030405060708, .processID = 77,
      .runningTimeoutSeconds = 21600, .jobName = std::string(150, 'n'), .message = std::string(300, 'm'),
      .messageArgs = "a,b", .queueID = "QID_176494512012", .jobStatus = "Completed with Errors",
      .messageID = "JCP0000000000000", .jsJobID = "JID_176494512012", .flags = 0x19, .jobType = 200, .jobState = 4,
      .percentComplete = 254, .latestUpdateTime = 1764945120, .creationTime = 1764945100,
      .jobStateForInterface = 11, .reserved0 = 5, .actualRunningStartTime = 1764945110,
      .actualRunningStopTime = 1764945119};
  JobInfoObj record;
  std::memset(&record, 0xAA, sizeof record);
  velmer::convertToJobInfoObject(job, record);

  ByteTable expected(624);
  expected.num(0, static_cast<uint64_t>(-2), 8).num(8, 4294967295, 8).num(16, 0x0102030405060708, 8);
  expected.num(24, 77, 4).num(28, 21600, 4).num(568, 0x19, 4).num(572, 200, 4).num(576, 4, 4).num(580, 254, 4);
  expected.num(584, 1764945120, 8).num(592, 1764945100, 8).num(600, 11, 1).num(601, 5, 1);
  expected.num(608, 1764945110, 8).num(616, 1764945119, 8);
  // Each text is cut to its field's width less one.
  expected.text(32, std::string(99, 'n')).text(132, std::string(255, 'm')).text(388, "a,b");
  expected.text(452, "QID_176494512012").text(484, "Completed with Errors").text(524, "JCP00000000");
  expected.text(536, "JID_176494512012");
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof record), expected.b);
}

}  // namespace
