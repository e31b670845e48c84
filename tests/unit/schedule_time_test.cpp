#include "queues/schedule_time.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "clock.hpp"
#include "bus/method_handlers.hpp"

using namespace velmer;

namespace {

// Runs the test body in a zone with daylight-saving time (a POSIX rule: no tz database
// needed), then restores the process's zone.
class ScheduleTime : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) savedTz_ = tz;
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
  }
  void TearDown() override {
    if (hadTz_)
      setenv("TZ", savedTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

  static uint16_t convert(const std::string& text, int64_t& seconds) { return ConvertTimeStringToSeconds(text, seconds); }

  // "YYYYMMDDhhmmss" of now + offset seconds, local time.
  static std::string localTimeIn(int64_t offsetSeconds) {
    time_t t = static_cast<time_t>(currentTimeSeconds() + offsetSeconds);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
    return text;
  }

 private:
  bool hadTz_ = false;
  std::string savedTz_;
};

}  // namespace

TEST_F(ScheduleTime, SentinelsHaveFixedValuesAndExactSpelling) {
  int64_t seconds = 123;
  EXPECT_EQ(convert("TIME_NOW", seconds), 0);
  EXPECT_EQ(seconds, 0);
  EXPECT_EQ(convert("TIME_NA", seconds), 0);
  EXPECT_EQ(seconds, 4294967295);
  EXPECT_EQ(convert("Next Reboot", seconds), 0);
  EXPECT_EQ(seconds, -2);
  seconds = 7;
  EXPECT_EQ(convert("time_now", seconds), 8);
  EXPECT_EQ(convert("Next reboot", seconds), 8);
  EXPECT_EQ(convert("", seconds), 8);
  EXPECT_EQ(convert("202501010000001", seconds), 8) << "15 characters";
  EXPECT_EQ(seconds, 7) << "a refused string leaves the value alone";
}

TEST_F(ScheduleTime, DigitsAreLocalTimeAndImpossibleDatesAreRefused) {
  int64_t seconds = 0;
  EXPECT_EQ(convert("20250101000000", seconds), 0);
  EXPECT_EQ(seconds, 1735707600) << "2025-01-01 00:00:00 EST is 05:00 UTC";
  EXPECT_EQ(convert("20250701120000", seconds), 0);
  EXPECT_EQ(seconds, 1751385600) << "summer dates are read as daylight time (16:00 UTC)";
  EXPECT_EQ(convert("20250230120000", seconds), 8) << "30 February";
  EXPECT_EQ(convert("20250309023000", seconds), 8) << "inside the spring gap";
  EXPECT_EQ(convert("20251301000000", seconds), 8) << "month 13";
  EXPECT_EQ(convert("20250100000000", seconds), 8) << "day 0";
  EXPECT_EQ(convert("20250101240000", seconds), 8) << "hour 24";
  EXPECT_EQ(convert("20250001000000", seconds), 8) << "month 00";
  EXPECT_EQ(convert("2025010100000x", seconds), 8) << "non-numeric";
  EXPECT_EQ(convert("2025010100000 ", seconds), 8);
}

TEST_F(ScheduleTime, DisplayFormHasHyphensSpaceAndColons) {
  std::string text = "unchanged";
  EXPECT_EQ(getTimeFormat(text, "20250102030405"), 0);
  EXPECT_EQ(text, "2025-01-02 03:04:05");
  EXPECT_EQ(getTimeFormat(text, "TIME_NOW"), 0);
  EXPECT_EQ(text, "TIME-_N-OW");
  text = "unchanged";
  EXPECT_EQ(getTimeFormat(text, "TIME_NA"), 8);
  EXPECT_EQ(getTimeFormat(text, "TIME_XXX"), 8);
  EXPECT_EQ(getTimeFormat(text, ""), 8);
  EXPECT_EQ(text, "unchanged");
}

TEST_F(ScheduleTime, ValidationWindowIsAtLeastThreeHundredSeconds) {
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", localTimeIn(299)), 7);
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", localTimeIn(302)), 0);
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", "TIME_NA"), 0);
  EXPECT_EQ(validateSchedulingParameters(localTimeIn(600), localTimeIn(840)), 7) << "4 minutes after the start";
  EXPECT_EQ(validateSchedulingParameters(localTimeIn(600), localTimeIn(900)), 0);
  EXPECT_EQ(validateSchedulingParameters(localTimeIn(600), localTimeIn(500)), 7) << "until before start";
  EXPECT_EQ(validateSchedulingParameters(localTimeIn(600), "TIME_NA"), 0);
}

TEST_F(ScheduleTime, ValidationRefusesStartsAndUntilsThatCannotBe) {
  EXPECT_EQ(validateSchedulingParameters("TIME_NA", localTimeIn(3600)), 9);
  EXPECT_EQ(validateSchedulingParameters("Next Reboot", "TIME_NA"), 9);
  EXPECT_EQ(validateSchedulingParameters(localTimeIn(-60), "TIME_NA"), 9) << "start in the past";
  EXPECT_EQ(validateSchedulingParameters("", "TIME_NA"), 9);
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", ""), 9);
  EXPECT_EQ(validateSchedulingParameters("garbage", "TIME_NA"), 9);
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", "garbage"), 10);
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", "TIME_NOW"), 10) << "until now is in the past";
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", "Next Reboot"), 10);
  EXPECT_EQ(validateSchedulingParameters("TIME_NOW", localTimeIn(-60)), 10);
}
