#include "jobs/job_record.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

uint64_t numberAt(const uint8_t* bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
  return value;
}

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
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  ASSERT_EQ(sizeof record, 624u);

  const std::tuple<size_t, size_t, uint64_t> numbers[] = {
      {0, 8, static_cast<uint64_t>(-2)}, {8, 8, 4294967295}, {16, 8, 0x0102030405060708}, {24, 4, 77},
      {28, 4, 21600}, {568, 4, 0x19}, {572, 4, 200}, {576, 4, 4}, {580, 4, 254}, {584, 8, 1764945120},
      {592, 8, 1764945100}, {600, 1, 11}, {601, 1, 5}, {602, 6, 0}, {608, 8, 1764945110}, {616, 8, 1764945119}};
  for (const auto& [offset, width, value] : numbers) EXPECT_EQ(numberAt(bytes, offset, width), value) << offset;

  // offset, width, text: each field is cut to width - 1 characters and the rest is zero.
  const std::tuple<size_t, size_t, std::string> texts[] = {
      {32, 100, std::string(99, 'n')}, {132, 256, std::string(255, 'm')}, {388, 64, "a,b"},
      {452, 32, "QID_176494512012"},   {484, 40, "Completed with Errors"}, {524, 12, "JCP00000000"},
      {536, 32, "JID_176494512012"}};
  for (const auto& [offset, width, text] : texts) {
    std::string field(reinterpret_cast<const char*>(bytes + offset), width);
    EXPECT_EQ(field, text + std::string(width - text.size(), '\0')) << offset;
  }
}

}  // namespace
