#include "queues/scheduler_channel.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace velmer;

namespace {
std::vector<uint8_t> payloadOf(const SchedulerMessage& message) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&message);
  return {bytes + sizeof(int64_t), bytes + sizeof message};
}
}  // namespace

TEST(SchedulerMessage, ScheduleMessagePayloadIsFiftySixBytesToTheByte) {
  SchedulerMessage message = makeSchedulerMessage(kScheduleMessage, 0, 4294967295, "QID_1");
  EXPECT_EQ(message.type, 2);
  std::vector<uint8_t> expected(56, 0);
  const uint8_t until[] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  std::memcpy(expected.data() + 8, until, sizeof until);
  std::memcpy(expected.data() + 16, "QID_1", 5);
  EXPECT_EQ(kSchedulerPayloadSize, 56u);
  EXPECT_EQ(payloadOf(message), expected);
}

TEST(SchedulerMessage, LongQueueIdsAreCutToThirtyTwoCharacters) {
  const std::string id(40, 'Q');
  SchedulerMessage message = makeSchedulerMessage(kKillMessage, 0, 0, id);
  EXPECT_EQ(message.type, 3);
  std::vector<uint8_t> payload = payloadOf(message);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(payload[i], 0) << "kill messages carry no times";
  for (size_t i = 16; i < 48; ++i) EXPECT_EQ(payload[i], 'Q');
  for (size_t i = 48; i < 56; ++i) EXPECT_EQ(payload[i], 0) << "terminator and reserved bytes";
}
