#include "trace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::atomic<int> threshold{2};

// One write(2) per line keeps lines from different threads whole.
void writeLine(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(STDERR_FILENO, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connects stderr to. A
// child that inherited the variable with stderr redirected elsewhere must not prefix, so
// the numbers are compared with stderr's own.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat status {};
  return ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

// Level 1 is what the daemon's design always writes, not only its errors: it also reports
// normal operation and the refusal of a client's request at level 1. An operator's
// `journalctl -p err` should show only what needs attention, so the level-1 lines known to
// be one of those two are recognised by their text and written lower; any other level-1
// line, a new one included, stays an error, so that a failure is never hidden. An entry
// ending in a line break matches only at the end of the line.
constexpr std::string_view kRoutineTexts[] = {
    "EVTWRAPSubmitEvent return stattus = 0\n",  // after every event
    "count in jobInfoObjList is 0",             // an empty store, of jobs or of queues
    "getJobInfoObjList count is empty",
    "Start of Function",
    "Formatted Time String",
    "Until time String is TIME_NA\n",  // a schedule without an end
    "Handling the Reboot Job",
    "0 task ids.. no recurring jobs present",
    "0 job ids\n",
};
// The client is answered with the reason: worth a look when a client misbehaves, no more.
constexpr std::string_view kRefusalTexts[] = {
    "invalid jobState=",
    "jobID is empty",
    "JobID is null",
    "No info found for unique",
    "Duplicate job detected",
    "unterminated jobID",
    "job index out of bounds",
    "job list is empty",
    "numOf job is zero",
    "Cannot add job to queue",
    "Not able to validate jobTyep",
    "Invalid JobType",
    "Job queue is FULL",
    "Failed to generate unique job ID",  // more new IDs in a second than the ID format has
    "CheckDownloadingJobs() returned non-zero",
    "retCode having non zero value",  // follows the line that says why
    "Job StartTime is invalid",
    "StartTime is emtpy",
    "Untiltime is emtpy",
    "startTime is empty",
    "Start time String is",
    "Until time String is",
    "time string is null",
    "Incorrect time string length",
    "Non-numeric character in time string",
    "Time conversion mismatch",
    "is less than pCurrentTime",
    "start time cannot be TIME_NA",
    "startTime > untilTime",
    "execution window must be at least",
    // The recurring-task engine's answers about the request: invalid, unknown, taken, not
    // scheduled, table full. Only -ENOMEM stays an error.
    "status=-22\n",
    "status=-2\n",
    "status=-17\n",
    "status=-61\n",
    "status=-28\n",
};

template <size_t N>
bool mentionsAny(std::string_view line, const std::string_view (&texts)[N]) {
  return std::any_of(std::begin(texts), std::end(texts), [&](std::string_view text) { return line.find(text) != line.npos; });
}

// The kernel-style priority prefix journald reads for `line` (with its line break):
// err, warning, notice, info, debug.
char journalPriority(int level, std::string_view line) {
  if (level <= 1) return mentionsAny(line, kRoutineTexts) ? '6' : mentionsAny(line, kRefusalTexts) ? '4' : '3';
  if (level >= 5) return '7';
  return static_cast<char>('2' + level);
}
}  // namespace

extern "C" void trace_set_threshold(int level) { threshold.store(level, std::memory_order_relaxed); }

extern "C" int trace_get_threshold(void) { return threshold.load(std::memory_order_relaxed); }

extern "C" void trace_printf(int level, unsigned int mask, const char* format, ...) {
  if (level > threshold.load(std::memory_order_relaxed) || format == nullptr) return;

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  char prefix[64];
  const int prefixLength = std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d.%06ld L%d/M%u ", parts.tm_hour,
                                         parts.tm_min, parts.tm_sec, now.tv_nsec / 1000, level, mask);

  char stackBuffer[1024];
  va_list args;
  va_start(args, format);
  va_list argsCopy;
  va_copy(argsCopy, args);
  int textLength = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
  va_end(args);
  std::string line(prefix, static_cast<size_t>(prefixLength));
  if (textLength >= static_cast<int>(sizeof stackBuffer)) {
    std::string text(static_cast<size_t>(textLength) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, argsCopy);
    text.resize(static_cast<size_t>(textLength));
    line += text;
  } else if (textLength > 0) {
    line.append(stackBuffer, static_cast<size_t>(textLength));
  }
  va_end(argsCopy);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  line += '\n';
  if (stderrIsJournal()) line.insert(0, std::string{'<', journalPriority(level, line), '>'});
  writeLine(line.data(), line.size());
}
