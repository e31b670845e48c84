// The recurring-task methods over the bus, against the engine stand-in of the sandbox.
#include <string>
#include <tuple>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

using TextReply = std::tuple<uint16_t, std::string>;
using ListReply = std::tuple<uint16_t, std::vector<std::string>>;
using Ids = std::vector<std::string>;

class RecurringTasks : public DaemonTest {
 protected:
  TextReply text(const std::string& method, const std::string& argument) {
    return client().callMain<uint16_t, std::string>(method, argument);
  }
  TextReply reserve() { return client().callMain<uint16_t, std::string>("JS_RTSE_CreateTaskID"); }
  ListReply list(const std::string& method, const std::string& argument) {
    return client().callMain<uint16_t, std::vector<std::string>>(method, argument);
  }
  ListReply listTasks() { return client().callMain<uint16_t, std::vector<std::string>>("JS_RTSE_ListTasks"); }
  uint16_t status(const std::string& method, const std::string& argument) {
    return client().callMain<uint16_t>(method, argument);
  }
};

TEST_F(RecurringTasks, ClientCreatesFindsListsValidatesAndRemovesTasksAndFailuresReplyOneWithAnEmptyValue) {
  auto [reserveStatus, reserved] = reserve();
  auto [taskStatus, task] = reserve();
  ASSERT_EQ(reserveStatus + taskStatus, 0);
  EXPECT_EQ(text("JS_RTSE_StartSchedulingRecurringTask", "group=nightly;jobs=JID_1,JID_2;task=" + task),
            TextReply(0, task));
  auto [weeklyStatus, weekly] = text("JS_RTSE_StartSchedulingRecurringTask", "group=weekly;jobs=JID_3");
  ASSERT_EQ(weeklyStatus, 0);

  EXPECT_EQ(text("JS_RTSE_GetTaskFromGroupName", "nightly"), TextReply(0, task));
  EXPECT_EQ(text("JS_RTSE_GetTaskFromJobID", "JID_2"), TextReply(0, task));
  EXPECT_EQ(text("JS_RTSE_GetGroupNameFromTask", weekly), TextReply(0, "weekly"));
  EXPECT_EQ(list("JS_RTSE_ListJobs", task), ListReply(0, Ids{"JID_1", "JID_2"}));
  EXPECT_EQ(listTasks(), ListReply(0, Ids{task, weekly}));
  EXPECT_EQ(status("JS_RTSE_ValidateNonBlocking", task), 0);

  // Failures (one of each form of reply), a reserved ID without a schedule among them.
  EXPECT_EQ(text("JS_RTSE_StartSchedulingRecurringTask", "jobs=JID_1"), TextReply(1, ""));
  EXPECT_EQ(text("JS_RTSE_GetGroupNameFromTask", reserved), TextReply(1, ""));
  EXPECT_EQ(list("JS_RTSE_ListJobs", "TID_999999999999"), ListReply(1, Ids{}));
  EXPECT_EQ(list("JS_RTSE_ListJobs", reserved), ListReply(1, Ids{}));
  EXPECT_EQ(status("JS_RTSE_ValidateNonBlocking", reserved), 1);
  EXPECT_EQ(status("JS_RTSE_FreeStringArray", "anything"), 0);

  EXPECT_EQ(status("JS_RTSE_RemoveTask", task), 0);
  EXPECT_EQ(status("JS_RTSE_RemoveTaskByGroupName", "weekly"), 0);
  EXPECT_EQ(listTasks(), ListReply(1, Ids{}));
}

}  // namespace
}  // namespace velmer::e2e
