#include "json_lines.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "guarded.hpp"
#include "paths.hpp"

namespace velmer::platform {

namespace {

int openForAppend(const std::string& path) {
  auto open = [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); };
  int fd = open();
  if (fd < 0 && errno == ENOENT) {  // the directory is made once, not looked at on every call
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    fd = open();
  }
  return fd;
}

// The bytes written, or -1 with errno set.
ssize_t writeOnce(int fd, const std::string& line) {
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  return written;
}

}  // namespace

bool appendJsonLine(std::string_view absolutePath, const nlohmann::ordered_json& entry, const char* caller) noexcept {
  return guarded(caller, false, [&] {
    // Texts come from other services; bytes that are not UTF-8 must not lose the line.
    const std::string line = entry.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
    const std::string path = paths::resolve(absolutePath);
    const int fd = openForAppend(path);
    const ssize_t written = fd < 0 ? -1 : writeOnce(fd, line);
    const int error = errno;
    if (fd >= 0) ::close(fd);
    // A short write is not completed: a second write could land after another writer's line.
    const bool whole = written == static_cast<ssize_t>(line.size());
    if (!whole) {
      trace_printf(2, kTraceMask, "[%s]: cannot append to %s: %s", caller, path.c_str(),
                   written < 0 ? describeError(error) : "short write");
    }
    return whole;
  });
}

}  // namespace velmer::platform
