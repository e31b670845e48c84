#include "trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
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

// The kernel-style priority prefix journald reads: err, warning, notice, info, debug.
char journalPriority(int level) {
  if (level <= 1) return '3';
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
  int prefixLength = 0;
  if (stderrIsJournal()) prefixLength = std::snprintf(prefix, sizeof prefix, "<%c>", journalPriority(level));
  prefixLength += std::snprintf(prefix + prefixLength, sizeof prefix - prefixLength, "%02d:%02d:%02d.%06ld L%d/M%u ",
                                parts.tm_hour, parts.tm_min, parts.tm_sec, now.tv_nsec / 1000, level, mask);

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
  writeLine(line.data(), line.size());
}
