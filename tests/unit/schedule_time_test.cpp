#include "queues/schedule_time.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <tuple>

#include "bus/method_handlers.hpp"
#include "clock.hpp"

namespace velmer {
namespace {

// Runs the test body in a zone with daylight-saving time (a POSIX rule: no tz database
// needed), then goes back to the process's default zone.
class ScheduleTime : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }

  // "YYYYMMDDhhmmss" of now + offset seconds, local time.
  static std::string localTimeIn(int64_t offsetSeconds) {
    time_t t = static_cast<time_t>(currentTimeSeconds() + offsetSeconds);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
    return text;
  }
};

// Refused strings give 8; a misspelt sentinel or a wrong length leaves the value alone.
TEST_F(ScheduleTime, StringsConvertToSecondsOfLocalTimeOrAreRefused) {
  const std::tuple<const char*, uint16_t, std::optional<int64_t>> cases[] = {
      {"TIME_NOW", 0, 0}, {"TIME_NA", 0, 4294967295}, {"Next Reboot", 0, -2},
      {"20250101000000", 0, 1735707600},  // 00:00 EST is 05:00 UTC
      {"20250701120000", 0, 1751385600},  // summer: daylight time, 16:00 UTC
      // Past the 32-bit end of time (2038-01-19 03:14:07 UTC), to the last second of 2099.
      {"20380118221408", 0, 2147483648}, {"20400101000000", 0, 2209006800}, {"20991231235959", 0, 4102462799},
      {"time_now", 8, 7}, {"", 8, 7},
      {"202501010000001", 8, 7},  // 15 characters
      {"20250230120000", 8, {}},  // 30 February
      {"20250309023000", 8, {}},  // inside the spring gap
      {"20251301000000", 8, {}}, {"20250100000000", 8, {}}, {"20250101240000", 8, {}},
      {"20250001000000", 8, {}}, {"2025010100000x", 8, {}},
  };
  for (const auto& [text, status, expected] : cases) {
    int64_t seconds = 7;
    EXPECT_EQ(ConvertTimeStringToSeconds(text, seconds), status) << text;
    if (expected) {
      EXPECT_EQ(seconds, *expected) << text;
    }
  }
}

// 7: the window is shorter than 300 seconds; 9: the start cannot be; 10: the until cannot be.
TEST_F(ScheduleTime, ValidationRefusesImpossiblePairsAndWindowsUnderThreeHundredSeconds) {
  const std::tuple<std::string, std::string, uint16_t> cases[] = {
      {"TIME_NOW", localTimeIn(299), 7},       {"TIME_NOW", localTimeIn(302), 0},
      {"TIME_NOW", "TIME_NA", 0},              {localTimeIn(600), localTimeIn(840), 7},
      {localTimeIn(600), localTimeIn(900), 0}, {"TIME_NA", localTimeIn(3600), 9},
      {"Next Reboot", "TIME_NA", 9},           {"", "TIME_NA", 9},
      {"TIME_NOW", "", 9},                     {"garbage", "TIME_NA", 9},
      {"TIME_NOW", "garbage", 10},             {"TIME_NOW", "Next Reboot", 10},
  };
  for (const auto& [start, until, status] : cases)
    EXPECT_EQ(validateSchedulingParameters(start, until), status) << start << " " << until;
}

}  // namespace
}  // namespace velmer
