#include "events/events.hpp"

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "event_log_fixture.hpp"

namespace {

using Events = EventLogFixture;

using HeapText = std::unique_ptr<char, decltype(&std::free)>;
HeapText owned(char* text) { return HeapText(text, &std::free); }

// Calls JC_submitQVEvents_withArgs with every string of `args` as a variadic argument.
template <size_t N>
uint16_t submitAll(const char* messageId, const std::array<const char*, N>& args) {
  return std::apply([&](auto... arg) { return JC_submitQVEvents_withArgs(4, 5, 3, messageId, N, arg...); }, args);
}

std::string textOf(const char* messageId, const char* arg = nullptr) {
  char* text = nullptr;
  const std::vector<char> buffer = packArgs(arg ? std::vector<const char*>{arg} : std::vector<const char*>{});
  EXPECT_EQ(JCGetMessageFromMsgIDFallbackAlloc(messageId, &text, buffer.data()), 0);
  return owned(text).get() ? std::string(text) : "<null>";
}

}  // namespace

TEST_F(Events, SubmitWithArgsStopsAtTheFirstNullArgument) {
  uint16_t status = 1;
  const std::string trace = traceOf([&] {
    status = JC_submitQVEvents_withArgs(4, 5, 3, "JCP042", 3, "first", static_cast<const char*>(nullptr), "third");
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(hasTraceLine(trace, "L1/M8 [JC_submitQVEvents_withArgs]:Breaking for arg index = 1"));
  EXPECT_TRUE(hasTraceLine(trace, "L1/M8 [JC_submitQVEvents_withArgs]:EVTWRAPSubmitEvent return stattus = 0"));
  EXPECT_EQ(onlyEvent()["args"], nlohmann::json({"first"}));
}

TEST_F(Events, SubmitWithArgsPassesCodesAndArgumentsThrough) {
  EXPECT_EQ(JC_submitQVEvents_withArgs(66, 3, 2, "JCP036", 2, "JID_000000000001", "Prüfung 完了"), 0);
  EXPECT_EQ(JC_submitQVEvents_withArgs(4, 0, 0, "JCP045", 0), 0);
  std::array<const char*, 51> many;
  many.fill("m");
  EXPECT_EQ(submitAll("JCP028", many), 0);

  const std::vector<nlohmann::json> all = events();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["codes"], nlohmann::json({66, 3, 2}));
  EXPECT_EQ(all[0]["args"], nlohmann::json({"JID_000000000001", "Prüfung 完了"}));
  EXPECT_TRUE(all[0]["text"].is_null());
  EXPECT_EQ(all[1]["args"], nlohmann::json::array());
  EXPECT_EQ(all[2]["args"].size(), 50u) << "the argument table holds 50";
}

TEST_F(Events, SubmitWithArgsFailsWhenArgumentsOverflowTheBuffer) {
  const std::string long1(600, 'a'), long2(600, 'b');
  EXPECT_EQ(JC_submitQVEvents_withArgs(4, 5, 3, "JCP042", 2, long1.c_str(), long2.c_str()), 37);
  EXPECT_NE(JC_submitQVEvents_withArgs(4, 5, 3, nullptr, 1, "JID_1"), 0) << "the event library refuses it";
  EXPECT_TRUE(events().empty());
}

TEST_F(Events, UpdateAndPlainEventsCarryFixedCodesAndNoText) {
  submitUpdateEventToQVL("JCP049", "JID_000000000007", "2026-01-01 10:00:00", "", static_cast<const char*>(nullptr));
  submitUpdateEventToQVL("JCP051", static_cast<const char*>(nullptr));
  AddEventsToQVL("JCP045");

  const std::vector<nlohmann::json> all = events();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["args"], nlohmann::json({"JID_000000000007", "2026-01-01 10:00:00", ""}));
  EXPECT_EQ(all[1]["args"], nlohmann::json::array());
  EXPECT_EQ(all[2]["messageId"], "JCP045");
  for (const nlohmann::json& event : all) {
    EXPECT_EQ(event["codes"], nlohmann::json({4, 0, 0}));
    EXPECT_EQ(event["text"], "N/A");
  }
}

TEST_F(Events, NullMessageIdsSubmitNothing) {
  const std::string trace = traceOf([] {
    submitUpdateEventToQVL(nullptr, "JID_1", static_cast<const char*>(nullptr));
    AddEventsToQVL(nullptr);
  });
  EXPECT_TRUE(hasTraceLine(trace, "L2/M8 msgID is NULL"));
  EXPECT_TRUE(hasTraceLine(trace, "L4/M8 [AddEventsToQVL]: Entering function with msgID = (null)"));
  EXPECT_TRUE(events().empty());
}

TEST_F(Events, LookupReturnsTheTextWithItsArgumentsOrAStatus) {
  EXPECT_EQ(textOf("JCP037", "JID_000000000003"), "The job JID_000000000003 has completed successfully.");

  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(JCGetMessageFromMsgIDAlloc("NOSUCH", &text, nullptr), 12);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(JCGetMessageFromMsgIDAlloc(nullptr, &text, nullptr), 64);
  EXPECT_EQ(JCGetMessageFromMsgIDAlloc("JCP037", nullptr, nullptr), 63);
  EXPECT_EQ(JCGetMessageFromMsgIDFallbackAlloc(nullptr, &text, nullptr), 64);
  EXPECT_EQ(JCGetMessageFromMsgIDFallbackAlloc("JCP037", nullptr, nullptr), 63);
}

TEST_F(Events, FallbackEndsWithGenericText) {
  EXPECT_EQ(textOf("NOSUCH", "ignored"), textOf("JCP003"));

  writeRegistry(R"({"PR21": "from PR21", "RMX038": "from RMX038"})");
  EXPECT_EQ(textOf("NOSUCH"), "from PR21");
  writeRegistry(R"({"RMX038": "from RMX038"})");
  EXPECT_EQ(textOf("NOSUCH"), "from RMX038");
  writeRegistry(R"({"OTHER": "other"})");
  EXPECT_EQ(textOf("NOSUCH"), "Generic job failed.");
}

TEST_F(Events, TextWithArgsIsFormattedOrNull) {
  const char* none = nullptr;
  EXPECT_STREQ(owned(JCGetMessageTextWithArgs("JCP050", "2026-03-04 05:06:07", none)).get(),
               "The reboot job is scheduled to run on 2026-03-04 05:06:07");
  EXPECT_STREQ(owned(JCGetMessageTextWithArgs("JCP008", none)).get(), "Job completed with errors.");
  EXPECT_EQ(owned(JCGetMessageTextWithArgs("NOSUCH", "x", none)).get(), nullptr);

  const std::string longArg(2000, 'z');
  const HeapText cut = owned(JCGetMessageTextWithArgs("JCP050", longArg.c_str(), none));
  ASSERT_NE(cut.get(), nullptr);
  EXPECT_EQ(std::string(cut.get()).size(), 1023u) << "the text buffer holds 1024 bytes";
}
