#include "evtwrap.h"

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "event_log_fixture.hpp"

namespace {

using EvtWrap = EventLogFixture;

std::vector<char> buildArgs(const std::vector<const char*>& args) {
  std::vector<char> buffer(4096);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(args.data(), static_cast<int>(args.size()), buffer.data(), &length), 0);
  buffer.resize(length);
  return buffer;
}

// Submits an event whose argument entry holds `value` as it is.
uint16_t submitWithArgsEntry(const std::vector<char>& value, uint16_t code1 = 4) {
  EVTWRAPTLVList* list = nullptr;
  EXPECT_EQ(EVTWRAPCreateTLVList(&list), 0);
  EXPECT_EQ(EVTWRAPAddTLVToList(EVTWRAP_TLV_MSG_ARGS, static_cast<uint16_t>(value.size()), value.data(), list), 0);
  const uint16_t status = EVTWRAPSubmitEvent(code1, 3, 2, "JCP036", nullptr, "N/A", list);
  EVTWRAPFreeTLVList(list);
  return status;
}

int parseCount(const std::vector<char>& buffer) {
  const char* parts[8];
  return EVTWRAPParseMsgArgsBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), parts, 8);
}

}  // namespace

TEST_F(EvtWrap, ArgumentsSurviveBuildListAndSubmit) {
  const std::vector<const char*> args = {"JID_176494512012", "", "Grüße, 作業 ✓", "a|b|c"};
  std::vector<char> buffer = buildArgs(args);
  EXPECT_EQ(buffer.size(), 1 + 17 + 1 + std::string(args[2]).size() + 1 + 6);

  EVTWRAPTLVList* list = nullptr;
  ASSERT_EQ(EVTWRAPCreateTLVList(&list), 0);
  ASSERT_EQ(EVTWRAPAddTLVToList(EVTWRAP_TLV_MSG_ARGS, static_cast<uint16_t>(buffer.size()), buffer.data(), list), 0);
  std::fill(buffer.begin(), buffer.end(), 'x');  // the list keeps its own copy
  const auto before = std::time(nullptr);
  ASSERT_EQ(EVTWRAPSubmitEvent(66, 3, 2, "JCP036", nullptr, "N/A", list), 0);
  EVTWRAPFreeTLVList(list);

  const nlohmann::json event = onlyEvent();
  EXPECT_EQ(event["messageId"], "JCP036");
  EXPECT_EQ(event["codes"], nlohmann::json({66, 3, 2}));
  EXPECT_EQ(event["args"], nlohmann::json({"JID_176494512012", "", "Grüße, 作業 ✓", "a|b|c"}));
  EXPECT_EQ(event["text"], "N/A");
  EXPECT_GE(event["time"].get<int64_t>(), before);
}

TEST_F(EvtWrap, EventsWithoutArgumentsOrWithInvalidUtf8AreStillWritten) {
  ASSERT_EQ(EVTWRAPSubmitEvent(4, 0, 0, "JCP045", nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(submitWithArgsEntry(buildArgs({"bad \xff byte"})), 0);

  const std::vector<nlohmann::json> all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0]["args"], nlohmann::json::array());
  EXPECT_TRUE(all[0]["text"].is_null());
  EXPECT_EQ(all[1]["args"][0], "bad \xEF\xBF\xBD byte");
}

TEST_F(EvtWrap, BuildRefusesWhatItCannotEncode) {
  const char* args[] = {"abc", nullptr};
  char buffer[8];
  uint32_t length = 5;  // count byte + "abc" + NUL
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(args, 1, buffer, &length), 0);
  EXPECT_EQ(length, 5u);
  length = 4;
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 1, buffer, &length), 0) << "one byte short";
  length = sizeof buffer;
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 2, buffer, &length), 0) << "null argument";
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 256, buffer, &length), 0) << "count does not fit a byte";

  const std::string huge(70000, 'a');
  const char* hugeArgs[] = {huge.c_str()};
  std::vector<char> big(huge.size() + 2);
  length = static_cast<uint32_t>(big.size());
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(hugeArgs, 1, big.data(), &length), 0) << "larger than a TLV value";

  length = 1;
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(nullptr, 0, buffer, &length), 0);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(buffer[0], 0);
}

TEST_F(EvtWrap, MalformedArgumentBuffersAreRefused) {
  // Exactly sized vectors, so that a read past the length is caught under AddressSanitizer.
  EXPECT_EQ(parseCount({2, 'a', 0, 'b', 0}), 2);
  EXPECT_EQ(parseCount({2, 'a', 0, 'b'}), -1) << "last string without terminator";
  EXPECT_EQ(parseCount({3, 'a', 0, 'b', 0}), -1) << "fewer strings than counted";
  EXPECT_EQ(parseCount({1, 'a', 0, 'b', 0}), -1) << "bytes after the last string";
  EXPECT_EQ(EVTWRAPParseMsgArgsBuffer("", 0, nullptr, 0), -1) << "no count byte";

  const std::vector<char> three = {3, 'a', 0, 'b', 0, 'c', 0};
  const char* firstTwo[2] = {};
  EXPECT_EQ(EVTWRAPParseMsgArgsBuffer(three.data(), 7, firstTwo, 2), 3) << "counts all, stores what fits";
  EXPECT_STREQ(firstTwo[1], "b");

  EXPECT_NE(submitWithArgsEntry({2, 'a', 0, 'b'}), 0);
  EXPECT_NE(EVTWRAPSubmitEvent(4, 0, 0, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(events().empty());
}

TEST_F(EvtWrap, ConcurrentSubmissionsWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kEventsEach = 40;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      const std::string payload(3000, static_cast<char>('a' + t));
      const std::vector<char> args = buildArgs({payload.c_str()});
      for (int i = 0; i < kEventsEach; ++i) EXPECT_EQ(submitWithArgsEntry(args, static_cast<uint16_t>(t)), 0);
    });
  }
  for (std::thread& writer : writers) writer.join();

  const std::vector<nlohmann::json> all = events();  // throws on a torn line
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEventsEach));
  for (const nlohmann::json& event : all) {
    const int writer = event["codes"][0];
    EXPECT_EQ(event["args"][0], std::string(3000, static_cast<char>('a' + writer)));
  }
}
