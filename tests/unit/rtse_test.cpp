#include "rtse.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// A text handed out by the engine, taken over and released as a client must.
std::string take(char* text) {
  std::string result = text != nullptr ? text : "<null>";
  std::free(text);
  return result;
}

// The engine's table is process-wide: every test removes what it made.
class RecurringTaskEngine : public testing::Test {
 protected:
  void TearDown() override {
    for (const auto& id : made_) RTSE_RemoveTask(id.c_str());
  }

  std::string schedule(const std::string& description) {
    char* id = nullptr;
    EXPECT_EQ(RTSE_StartSchedulingRecurringTask(description.c_str(), &id), 0) << description;
    return made_.emplace_back(take(id));
  }

  std::string reserve() {
    char* id = nullptr;
    EXPECT_EQ(RTSE_CreateTaskID(&id), 0);
    return made_.emplace_back(take(id));
  }

  std::vector<std::string> made_;
};

}  // namespace

TEST_F(RecurringTaskEngine, DescriptionsThatBreakTheFormOrClashAreRefused) {
  for (const char* bad :
       {"", "group=a", "jobs=J", "group=;jobs=J", "group=a;jobs=", "group=a;jobs=J,,K", "group=a;jobs=J,J",
        "group=a;jobs=J;group=b", "group=a;jobs=J;every=5", "group=a;jobs=J;", "group a;jobs=J"}) {
    char* id = nullptr;
    EXPECT_EQ(RTSE_StartSchedulingRecurringTask(bad, &id), -EINVAL) << bad;
    EXPECT_EQ(id, nullptr) << "nothing is handed out on a failure";
  }
  const std::string daily = schedule("group=daily;jobs=JID_7");
  char* id = nullptr;
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask("group=daily;jobs=JID_8", &id), -EEXIST);
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask("group=other;jobs=JID_8,JID_7", &id), -EEXIST);
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask("group=other;jobs=JID_8;task=TID_999999999999", &id), -ENOENT);
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask(("group=other;jobs=JID_8;task=" + daily).c_str(), &id), -ENOENT)
      << "a scheduled task is not a reservation";
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask(nullptr, &id), -EINVAL);
  EXPECT_EQ(RTSE_GetTaskFromGroupName("daily", nullptr), -EINVAL);
  EXPECT_EQ(id, nullptr);
  RTSE_FreeStringArray(nullptr);
}

TEST_F(RecurringTaskEngine, ConcurrentClientsGetDistinctTasksUpToTheTableLimit) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 40;
  std::vector<std::vector<std::string>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ids] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string n = std::to_string(t) + "_" + std::to_string(i);
        char* id = nullptr;
        if (RTSE_StartSchedulingRecurringTask(("group=g" + n + ";jobs=JID_" + n).c_str(), &id) == 0)
          ids[t].push_back(take(id));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& list : ids) {
    EXPECT_EQ(list.size(), static_cast<size_t>(kPerThread));
    distinct.insert(list.begin(), list.end());
    made_.insert(made_.end(), list.begin(), list.end());
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));

  // 160 tasks now; reservations fill the table to 256 and the next one is refused.
  char* id = nullptr;
  for (int i = kThreads * kPerThread; i < 256; ++i) reserve();
  EXPECT_EQ(RTSE_CreateTaskID(&id), -ENOSPC);
  EXPECT_EQ(RTSE_StartSchedulingRecurringTask("group=late;jobs=JID_late", &id), -ENOSPC);
  EXPECT_EQ(id, nullptr);
}
