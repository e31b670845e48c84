// Schedule time strings: "TIME_NOW", "TIME_NA", "Next Reboot" or YYYYMMDDhhmmss in the
// controller's local time; their seconds values, their display form, and the check of
// a start/until pair.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

inline constexpr int64_t kTimeNow = 0;                // "TIME_NOW": as soon as possible
inline constexpr int64_t kTimeNotApplicable = 4294967295;  // "TIME_NA": no time, no end
inline constexpr int64_t kNextReboot = -2;            // "Next Reboot"

// 0 with `seconds` set, or 8 when the string is not a schedule time (or names a local
// time that does not exist, such as 30 February or a time in the daylight-saving gap).
uint16_t ConvertTimeStringToSeconds(const std::string& timeString, int64_t& seconds);

// The display form "YYYY-MM-DD hh:mm:ss" ("TIME-_N-OW" for "TIME_NOW"): 0 with `out`
// replaced, or 8 for an empty string or a form that has no display.
uint16_t getTimeFormat(std::string& out, const std::string& timeString);

}  // namespace velmer
