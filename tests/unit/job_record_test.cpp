#include "jobs/job_record.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

template <class T>
T readLittleEndian(const uint8_t* bytes) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<uint64_t>(bytes[i]) << (8 * i));
  return value;
}

std::string textAt(const uint8_t* bytes, size_t offset, size_t width) {
  const char* start = reinterpret_cast<const char*>(bytes + offset);
  return std::string(start, strnlen(start, width));
}

velmer::JobInfoRecord sampleJob() {
  velmer::JobInfoRecord job;
  job.startTime = -2;
  job.untilTime = 4294967295;
  job.completionTime = 0x0102030405060708;
  job.processID = 77;
  job.runningTimeoutSeconds = 21600;
  job.jobName = std::string(150, 'n');
  job.message = std::string(300, 'm');
  job.messageArgs = "a,b";
  job.queueID = "QID_176494512012";
  job.jobStatus = "Completed with Errors";
  job.messageID = "JCP0000000000000";  // 16 characters: cut to 11
  job.jsJobID = "JID_176494512012";
  job.flags = 0x19;
  job.jobType = 200;
  job.jobState = 4;
  job.percentComplete = 254;
  job.latestUpdateTime = 1764945120;
  job.creationTime = 1764945100;
  job.jobStateForInterface = 11;
  job.reserved0 = 5;
  job.actualRunningStartTime = 1764945110;
  job.actualRunningStopTime = 1764945119;
  return job;
}

}  // namespace

TEST(JobInfoObjLayout, FieldsSitAtTheirOffsetsLittleEndianAndTextsAreCut) {
  JobInfoObj cacheRecord;
  std::memset(&cacheRecord, 0xAA, sizeof cacheRecord);  // reserved bytes must be cleared
  velmer::convertToJobInfoObject(sampleJob(), cacheRecord);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&cacheRecord);

  ASSERT_EQ(sizeof cacheRecord, 624u);
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 0), -2);
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 8), 4294967295);
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 16), 0x0102030405060708);
  EXPECT_EQ(bytes[16], 0x08) << "little-endian";
  EXPECT_EQ(readLittleEndian<uint32_t>(bytes + 24), 77u);
  EXPECT_EQ(readLittleEndian<uint32_t>(bytes + 28), 21600u);
  EXPECT_EQ(textAt(bytes, 32, 100), std::string(99, 'n'));
  EXPECT_EQ(bytes[32 + 99], 0);
  EXPECT_EQ(textAt(bytes, 132, 256), std::string(255, 'm'));
  EXPECT_EQ(bytes[132 + 255], 0);
  EXPECT_EQ(textAt(bytes, 388, 64), "a,b");
  EXPECT_EQ(bytes[388 + 63], 0) << "the rest of a text field is zero";
  EXPECT_EQ(textAt(bytes, 452, 32), "QID_176494512012");
  EXPECT_EQ(textAt(bytes, 484, 40), "Completed with Errors");
  EXPECT_EQ(textAt(bytes, 524, 12), "JCP00000000");
  EXPECT_EQ(textAt(bytes, 536, 32), "JID_176494512012");
  EXPECT_EQ(bytes[568], 0x19);
  EXPECT_EQ(bytes[569] | bytes[570] | bytes[571], 0);
  EXPECT_EQ(readLittleEndian<uint32_t>(bytes + 572), 200u);
  EXPECT_EQ(readLittleEndian<uint32_t>(bytes + 576), 4u);
  EXPECT_EQ(readLittleEndian<uint16_t>(bytes + 580), 254u);
  EXPECT_EQ(bytes[582] | bytes[583], 0);
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 584), 1764945120);
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 592), 1764945100);
  EXPECT_EQ(bytes[600], 11);
  EXPECT_EQ(bytes[601], 5);
  for (size_t i = 602; i < 608; ++i) EXPECT_EQ(bytes[i], 0) << "reserved byte " << i;
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 608), 1764945110);
  EXPECT_EQ(readLittleEndian<int64_t>(bytes + 616), 1764945119);
}
