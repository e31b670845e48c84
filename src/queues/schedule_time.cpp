#include "queues/schedule_time.hpp"

#include <cctype>
#include <cinttypes>
#include <ctime>

#include "clock.hpp"
#include "bus/method_handlers.hpp"
#include "trace.h"

namespace velmer {

namespace {

int digitsAt(const std::string& text, size_t position, size_t count) {
  return std::stoi(text.substr(position, count));
}

bool allDigits(const std::string& text) {
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool sameCalendarFields(const std::tm& a, const std::tm& b) {
  return a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour && a.tm_min == b.tm_min &&
         a.tm_sec == b.tm_sec;
}

// Seconds of a YYYYMMDDhhmmss local time: 0, or 8 when the text names no such time.
uint16_t convertLocalTime(const char* tag, const std::string& timeString, int64_t& seconds) {
  if (!allDigits(timeString)) {
    trace_printf(1, 8, "[%s] Error: Non-numeric character in time string\n", tag);
    return 8;
  }
  std::tm wanted{};
  wanted.tm_year = digitsAt(timeString, 0, 4) - 1900;
  wanted.tm_mon = digitsAt(timeString, 4, 2) - 1;
  wanted.tm_mday = digitsAt(timeString, 6, 2);
  wanted.tm_hour = digitsAt(timeString, 8, 2);
  wanted.tm_min = digitsAt(timeString, 10, 2);
  wanted.tm_sec = digitsAt(timeString, 12, 2);
  wanted.tm_isdst = 0;
  if (wanted.tm_mon > 11 || wanted.tm_mday < 1 || wanted.tm_mday > 31 || wanted.tm_hour > 23 || wanted.tm_min > 59 ||
      wanted.tm_sec > 59) {
    trace_printf(2, 8, "[%s] Error: (hour/minute/second out of range, time string is incorrect format\n", tag);
    return 8;
  }
  std::tm normalised = wanted;
  time_t result = std::mktime(&normalised);
  seconds = result;
  if (normalised.tm_isdst > 0) {
    // The date falls in daylight-saving time: read the fields as such.
    normalised = wanted;
    normalised.tm_isdst = 1;
    result = std::mktime(&normalised);
    seconds = result;
  }
  if (result == -1 || !sameCalendarFields(normalised, wanted)) {
    trace_printf(1, 8, "[%s] Error: Time conversion mismatch\n", tag);
    return 8;
  }
  trace_printf(4, 8, "[%s] Time string is correct format: %s = %" PRId64 " seconds\n", tag, timeString.c_str(),
               seconds);
  return 0;
}

}  // namespace

uint16_t ConvertTimeStringToSeconds(const std::string& timeString, int64_t& seconds) {
  constexpr const char* kTag = "ConvertTimeStringToSeconds";
  trace_printf(4, 8, "[%s]: Entry ", kTag);
  if (timeString.empty()) {
    trace_printf(1, 8, "[%s] Error: time string is null\n", kTag);
    return 8;
  }
  trace_printf(4, 8, "[%s] timeString: %s\n", kTag, timeString.c_str());
  struct Sentinel {
    const char* text;
    int64_t value;
  };
  static constexpr Sentinel kSentinels[] = {
      {"TIME_NOW", kTimeNow}, {"TIME_NA", kTimeNotApplicable}, {"Next Reboot", kNextReboot}};
  for (const auto& sentinel : kSentinels) {
    if (timeString == sentinel.text) {
      seconds = sentinel.value;
      return 0;
    }
  }
  if (timeString.size() != 14) {
    trace_printf(1, 8, "[%s] Error: Incorrect time string length\n", kTag);
    return 8;
  }
  return convertLocalTime(kTag, timeString, seconds);
}

uint16_t getTimeFormat(std::string& out, const std::string& timeString) {
  constexpr const char* kTag = "getTimeFormat";
  trace_printf(1, 8, "[%s :%d]  Start of Function\n", kTag, __LINE__);
  if (timeString.size() == 8) {
    if (timeString != "TIME_NOW") return 8;
    out = "TIME-_N-OW";
    return 0;
  }
  if (timeString.size() < 14) return 8;
  const std::string& t = timeString;
  out = t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + " " + t.substr(8, 2) + ":" + t.substr(10, 2) +
        ":" + t.substr(12, 2);
  trace_printf(1, 8, "[%s :%d]  Formatted Time String = %s \n", kTag, __LINE__, out.c_str());
  return 0;
}

namespace {

uint16_t validate(const char* tag, const std::string& startTime, const std::string& untilTime) {
  const int64_t now = currentTimeSeconds();
  trace_printf(4, 8, "[%s]: Entering scheduling parameters validation service\n", tag);
  if (startTime.empty() || untilTime.empty()) {
    trace_printf(1, 8, "[%s]: startTime is empty\n", tag);
    return 9;
  }
  trace_printf(5, 8, "[%s]: startTime:   %s \n", tag, startTime.c_str());
  trace_printf(5, 8, "[%s]: untilTime:  %s \n", tag, untilTime.c_str());
  int64_t start = 0;
  if (ConvertTimeStringToSeconds(startTime, start) != 0) {
    trace_printf(1, 8, "[%s]: Job StartTime is invalid !!", tag);
    return 9;
  }
  if (start != kTimeNow && start < now) {
    trace_printf(1, 8, "[%s]: Error: start time (%" PRId64 ") is less than pCurrentTime (%" PRId64 ")\n", tag,
                 start, now);
    return 9;
  }
  if (startTime == "TIME_NA") {
    trace_printf(1, 8, "[%s]: Error: start time cannot be TIME_NA\n", tag);
    return 9;
  }
  int64_t until = 0;
  if (ConvertTimeStringToSeconds(untilTime, until) != 0) {
    trace_printf(1, 8, "[%s]: Job StartTime is invalid !!", tag);
    return 10;
  }
  if (until < now) {
    trace_printf(1, 8, "[%s]:Error: until time (%" PRId64 ") is less than pCurrentTime (%" PRId64 ")\n", tag,
                 until, now);
    return 10;
  }
  trace_printf(5, 8, "[%s]: validating scheduling window\n", tag);
  trace_printf(5, 8, "[%s]: startTime:   %" PRId64 "\n", tag, start);
  trace_printf(5, 8, "[%s]: pCurrentTime: %" PRId64 "\n", tag, now);
  if (until != kTimeNotApplicable) {
    // The window must be at least 300 seconds (the message says 12 minutes).
    if (start <= now) {
      trace_printf(5, 8, "[%s]: untilTime - pCurrentTime: %" PRId64 "\n", tag, until - now);
      if (until - now < 300) {
        trace_printf(1, 8,
                     "[%s] Error: job execution window must be at least 12 minutes (pUntilTime - pCurrentTime)\n", tag);
        return 7;
      }
    } else {
      trace_printf(5, 8, "[%s]: untilTime - startTime: %" PRId64 "\n", tag, until - start);
      if (until - start < 300) {
        trace_printf(1, 8, "[%s] Error: job execution window must be at least 12 minutes (pUntilTime - startTime)\n",
                     tag);
        return 7;
      }
    }
  }
  trace_printf(4, 8, "[%s]: scheduling parameters validation success\n", tag);
  return 0;
}

}  // namespace

uint16_t validateSchedulingParameters(const std::string& startTime, const std::string& untilTime) {
  constexpr const char* kTag = "validateSchedulingParameters";
  try {
    return validate(kTag, startTime, untilTime);
  } catch (...) {
    trace_printf(1, 8, "[%s]: EXCEPTION  in scheduling parameters validation \n", kTag);
    return 37;
  }
}

}  // namespace velmer
