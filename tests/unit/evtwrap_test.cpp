#include "evtwrap.h"

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "event_log_fixture.hpp"

namespace {

using EvtWrap = EventLogFixture;

// Submits an event whose argument entry holds `value` as it is.
uint16_t submitWithArgsEntry(const std::vector<char>& value, uint16_t code1 = 4) {
  EVTWRAPTLVList* list = nullptr;
  EXPECT_EQ(EVTWRAPCreateTLVList(&list), 0);
  EXPECT_EQ(EVTWRAPAddTLVToList(EVTWRAP_TLV_MSG_ARGS, static_cast<uint16_t>(value.size()), value.data(), list), 0);
  const uint16_t status = EVTWRAPSubmitEvent(code1, 3, 2, "JCP036", nullptr, "N/A", list);
  EVTWRAPFreeTLVList(list);
  return status;
}

// Exactly sized, so that a read past the length is caught under AddressSanitizer.
int parseCount(const std::vector<char>& buffer) {
  const char* parts[2];
  return EVTWRAPParseMsgArgsBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), parts, 2);
}

}  // namespace

TEST_F(EvtWrap, ArgumentsSurviveBuildListAndSubmit) {
  std::vector<char> buffer = packArgs({"JID_176494512012", "", "Grüße, 作業 ✓", "bad \xff byte"});
  EVTWRAPTLVList* list = nullptr;
  ASSERT_EQ(EVTWRAPCreateTLVList(&list), 0);
  ASSERT_EQ(EVTWRAPAddTLVToList(EVTWRAP_TLV_MSG_ARGS, static_cast<uint16_t>(buffer.size()), buffer.data(), list), 0);
  std::fill(buffer.begin(), buffer.end(), 'x');  // the list keeps its own copy
  const auto before = std::time(nullptr);
  ASSERT_EQ(EVTWRAPSubmitEvent(66, 3, 2, "JCP036", nullptr, nullptr, list), 0);
  EVTWRAPFreeTLVList(list);

  const nlohmann::json event = onlyEvent();
  EXPECT_EQ(event["messageId"], "JCP036");
  EXPECT_EQ(event["codes"], nlohmann::json({66, 3, 2}));
  EXPECT_EQ(event["args"], nlohmann::json({"JID_176494512012", "", "Grüße, 作業 ✓", "bad \uFFFD byte"}));
  EXPECT_TRUE(event["text"].is_null());
  EXPECT_GE(event["time"].get<int64_t>(), before);
}

TEST_F(EvtWrap, BuildRefusesWhatItCannotEncode) {
  const std::string huge(70000, 'a');
  const char* args[] = {"abc", nullptr, huge.c_str()};
  std::vector<char> buffer(huge.size() + 2);
  uint32_t length = 5;  // count byte, "abc", NUL
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(args, 1, buffer.data(), &length), 0);
  EXPECT_EQ(length, 5u);
  length = 4;
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 1, buffer.data(), &length), 0) << "one byte short";
  length = static_cast<uint32_t>(buffer.size());
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 2, buffer.data(), &length), 0) << "null argument";
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args + 2, 1, buffer.data(), &length), 0) << "larger than a TLV value";
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 256, buffer.data(), &length), 0) << "count does not fit a byte";
}

TEST_F(EvtWrap, MalformedArgumentBuffersAreRefused) {
  EXPECT_EQ(parseCount({2, 'a', 0, 'b', 0}), 2);
  EXPECT_EQ(parseCount({3, 'a', 0, 'b', 0, 'c', 0}), 3) << "counts all, stores what fits";
  EXPECT_EQ(parseCount({2, 'a', 0, 'b'}), -1) << "last string without terminator";
  EXPECT_EQ(parseCount({3, 'a', 0, 'b', 0}), -1) << "fewer strings than counted";
  EXPECT_EQ(parseCount({1, 'a', 0, 'b', 0}), -1) << "bytes after the last string";
  EXPECT_EQ(parseCount({}), -1) << "no count byte";

  EXPECT_NE(submitWithArgsEntry({2, 'a', 0, 'b'}), 0);
  EXPECT_TRUE(events().empty());
}

TEST_F(EvtWrap, ConcurrentSubmissionsWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kEventsEach = 40;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      const std::string payload(3000, static_cast<char>('a' + t));
      const std::vector<char> args = packArgs({payload.c_str()});
      for (int i = 0; i < kEventsEach; ++i) EXPECT_EQ(submitWithArgsEntry(args, static_cast<uint16_t>(t)), 0);
    });
  }
  for (std::thread& writer : writers) writer.join();

  const std::vector<nlohmann::json> all = events();  // a torn line would not parse
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEventsEach));
  for (const nlohmann::json& event : all) {
    const int writer = event["codes"][0];
    EXPECT_EQ(event["args"][0], std::string(3000, static_cast<char>('a' + writer)));
  }
}
