#include "queues/scheduler_channel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmer {
namespace {

// The 56-byte payload after the message type: start, until, the queue ID cut to 32
// characters with its NUL, and reserved zeros.
TEST(SchedulerMessage, PayloadIsFiftySixBytesWithTheQueueIdCutToThirtyTwo) {
  const auto payloadOf = [](const SchedulerMessage& message) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&message);
    return std::vector<uint8_t>(bytes + sizeof(int64_t), bytes + sizeof message);
  };
  ASSERT_EQ(kSchedulerPayloadSize, 56u);
  const SchedulerMessage schedule = makeSchedulerMessage(kScheduleMessage, 0, 4294967295, "QID_1");
  EXPECT_EQ(schedule.type, 2);
  std::vector<uint8_t> expected(56, 0);
  for (size_t i = 8; i < 12; ++i) expected[i] = 0xFF;
  for (size_t i = 0; i < 5; ++i) expected[16 + i] = static_cast<uint8_t>("QID_1"[i]);
  EXPECT_EQ(payloadOf(schedule), expected);

  const SchedulerMessage kill = makeSchedulerMessage(kKillMessage, 0, 0, std::string(40, 'Q'));
  EXPECT_EQ(kill.type, 3);
  expected.assign(56, 0);
  for (size_t i = 16; i < 48; ++i) expected[i] = 'Q';
  EXPECT_EQ(payloadOf(kill), expected);
}

}  // namespace
}  // namespace velmer
