// The platform stand-ins where the daemon's own use does not reach: refused arguments,
// damaged inputs and limits. Their everyday paths are covered end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cfg.h"
#include "events/events.hpp"
#include "evtwrap.h"
#include "jobcache.h"
#include "msgreg.h"
#include "rtse.h"
#include "temp_root.hpp"
#include "utl.h"

namespace {

using HeapText = std::unique_ptr<char, decltype(&std::free)>;
HeapText owned(char* text) { return HeapText(text, &std::free); }

std::vector<char> packArgs(const std::vector<const char*>& args) {
  std::vector<char> buffer(4096);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(args.data(), static_cast<int>(args.size()), buffer.data(), &length), 0);
  buffer.resize(length);
  return buffer;
}

// The registry's text of `messageId` with `args`, in a buffer of `size` bytes.
std::string messageText(const char* messageId, const char* args, size_t size) {
  std::vector<char> text(size);
  EXPECT_EQ(MsgRegGetMessageByMsgID(messageId, "en", args, text.data(), size), 0);
  return text.data();
}

std::string fallbackText(const char* messageId) {
  char* text = nullptr;
  EXPECT_EQ(JCGetMessageFromMsgIDFallbackAlloc(messageId, &text, nullptr), 0);
  return owned(text).get() != nullptr ? std::string(text) : "<null>";
}

TEST(EventsAndMessages, RefusedArgumentsAndLookupsFallBackAsTheirCallersExpect) {
  TempRoot root;
  const std::string long1(600, 'a'), long2(600, 'b');
  EXPECT_EQ(JC_submitQVEvents_withArgs(4, 5, 3, "JCP042", 2, long1.c_str(), long2.c_str()), 37) << "overflow";
  EXPECT_EQ(JC_submitQVEvents_withArgs(4, 5, 3, "JCP042", 3, "first", static_cast<const char*>(nullptr), "x"), 0);
  submitUpdateEventToQVL(nullptr, "JID_1", static_cast<const char*>(nullptr));
  AddEventsToQVL(nullptr);
  EXPECT_EQ(readText(root.dir() / "var/log/velmer/events.jsonl").find("\"args\":[\"first\"]") != std::string::npos, true)
      << "a null argument ends the list, and null message IDs submit nothing";

  char* text = reinterpret_cast<char*>(1);
  EXPECT_EQ(JCGetMessageFromMsgIDAlloc("NOSUCH", &text, nullptr), 12);
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(JCGetMessageFromMsgIDAlloc(nullptr, &text, nullptr), 64);
  EXPECT_EQ(JCGetMessageFromMsgIDFallbackAlloc("JCP037", nullptr, nullptr), 63);
  EXPECT_EQ(fallbackText("NOSUCH"), fallbackText("JCP003"));
  root.write("usr/share/velmer/messages.json",
             R"({"RMX038": "from RMX038", "CUT": "abcdé", "ZZ1": "%2 before %1", "MANY": "[%10|%1|%3%]"})");
  EXPECT_EQ(fallbackText("NOSUCH"), "from RMX038");
  EXPECT_EQ(messageText("ZZ1", packArgs({"one", "two"}).data(), 6), "two b");
  const std::vector<char> ten = packArgs({"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"});
  EXPECT_EQ(messageText("MANY", ten.data(), 32), "[ten|1|3%]");
  EXPECT_EQ(messageText("CUT", nullptr, 6), "abcd") << "a character is never split";
  root.write("usr/share/velmer/messages.json", "not json");
  EXPECT_EQ(fallbackText("NOSUCH"), "Generic job failed.");

  const char* none = nullptr;
  EXPECT_EQ(owned(JCGetMessageTextWithArgs("JCP008", none)).get(), nullptr) << "the registry file is damaged";
}

TEST(EventArguments, MalformedBuffersAreRefused) {
  const auto parseCount = [](const std::vector<char>& buffer) {
    const char* parts[2];
    return EVTWRAPParseMsgArgsBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), parts, 2);
  };
  const std::pair<std::vector<char>, int> cases[] = {
      {{2, 'a', 0, 'b', 0}, 2}, {{3, 'a', 0, 'b', 0, 'c', 0}, 3}, {{2, 'a', 0, 'b'}, -1},
      {{3, 'a', 0, 'b', 0}, -1}, {{1, 'a', 0, 'b', 0}, -1},        {{}, -1}};
  for (const auto& [buffer, count] : cases) EXPECT_EQ(parseCount(buffer), count) << buffer.size();

  const std::string huge(70000, 'a');
  const char* args[] = {"abc", nullptr, huge.c_str()};
  std::vector<char> buffer(huge.size() + 2);
  uint32_t length = 4;
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 1, buffer.data(), &length), 0) << "one byte short";
  length = static_cast<uint32_t>(buffer.size());
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 2, buffer.data(), &length), 0) << "null argument";
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args + 2, 1, buffer.data(), &length), 0) << "larger than a TLV value";
  EXPECT_NE(EVTWRAPBuildMsgArgsBuffer(args, 256, buffer.data(), &length), 0) << "count does not fit a byte";
}

// Under systemd, stderr is a stream to journald, named by JOURNAL_STREAM ("device:inode").
TEST(Trace, LinesToTheJournalCarryTheirPriority) {
  const std::string out = traceOf([] {
    struct stat captured {};
    ASSERT_EQ(fstat(STDERR_FILENO, &captured), 0);
    const std::string stream = std::to_string(captured.st_dev) + ":" + std::to_string(captured.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    for (int level = 1; level <= 6; ++level) trace_printf(level, 8, "level %d", level);
    // Level 1 of normal operation and of refused requests is not an error; a failure is.
    trace_printf(1, 8, "[%s]:EVTWRAPSubmitEvent return stattus = %d", "submit", 0);
    trace_printf(1, 8, "[%s]: number of Jobs count in jobInfoObjList is 0", "fetch");
    trace_printf(1, 8, "[%s]: Job StartTime is invalid !!", "schedule");
    trace_printf(1, 8, "RTSE_GetTaskFromJobID failed, status=%d\n", -2);
    trace_printf(1, 8, "RTSE_GetTaskFromJobID failed, status=%d\n", -12);
    trace_printf(1, 8, "[%s]:EVTWRAPSubmitEvent return stattus = %d", "submit", 10);
    setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);  // inherited, but stderr went elsewhere
    trace_printf(1, 8, "not the journal");
    unsetenv("JOURNAL_STREAM");
  });
  std::istringstream lines(out);
  std::vector<std::string> priorities;
  for (std::string line; std::getline(lines, line);) priorities.push_back(line[0] == '<' ? line.substr(0, 3) : "none");
  EXPECT_EQ(priorities, (std::vector<std::string>{"<3>", "<4>", "<5>", "<6>", "<7>", "<7>", "<6>", "<6>", "<4>", "<4>",
                                                  "<3>", "<3>", "none"}))
      << out;
}

TEST(Platform, RefusedArgumentsChangeNothingAndTablesStopAtTheirLimits) {
  TempRoot root;  // the cache journal's directory does not exist yet
  EXPECT_NE(add_job_to_cache_new(nullptr), 0);
  EXPECT_NE(add_queue_to_cache_new(nullptr), 0);
  EXPECT_NE(remove_queue_from_cache(nullptr), 0);
  auto queue = std::make_unique<JobQueueInfoObj>();
  queue->itemCount = 1000;  // more than the array holds
  EXPECT_EQ(add_queue_to_cache_new(queue.get()), 0);
  EXPECT_NE(readText(root.dir() / "var/log/velmer/jobcache.jsonl").find("\"itemCount\":1000"), std::string::npos);

  int value = 777;
  root.write("etc/velmer/attributes.json", R"({"A": 30, "Text": "30", "Real": 1.5, "Flag": true, "Big": 4294967296})");
  for (const char* rejected : {"Missing", "Text", "Real", "Flag", "Big"}) EXPECT_NE(CfgGetAttributeInt(rejected, &value), 0);
  root.write("etc/velmer/attributes.json", R"([{"A": 3}])");
  EXPECT_NE(CfgGetAttributeInt("A", &value), 0);
  EXPECT_EQ(value, 777);

  EXPECT_EQ(utl_va_run("/nonexistent/tool", nullptr), 127 << 8);
  EXPECT_EQ(utl_va_run(nullptr), -1);
  EXPECT_NE(utl_va_run_background("/nonexistent/tool", nullptr), 0);

  char* id = nullptr;
  for (const char* bad : {"", "group=a", "group=;jobs=J", "group=a;jobs=J,,K", "group=a;jobs=J,J",
                          "group=a;jobs=J;group=b", "group=a;jobs=J;every=5", "group=a;jobs=J;", "group a;jobs=J"})
    EXPECT_EQ(RTSE_StartSchedulingRecurringTask(bad, &id), -EINVAL) << bad;
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask("group=b;jobs=J;task=TID_999999999999", &id), -ENOENT);
  EXPECT_EQ(RTSE_GetTaskFromGroupName("b", nullptr), -EINVAL);
  RTSE_FreeStringArray(nullptr);
  std::vector<std::string> made;
  for (int status = 0; status == 0 && made.size() <= 256;) {
    status = RTSE_CreateTaskID(&id);
    if (status == 0) made.push_back(owned(id).get());
    else EXPECT_EQ(status, -ENOSPC);
  }
  id = nullptr;
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask("group=late;jobs=JID_late", &id), -ENOSPC);
  EXPECT_EQ(id, nullptr) << "nothing is handed out on a failure";
  for (const auto& task : made) RTSE_RemoveTask(task.c_str());
}

}  // namespace
