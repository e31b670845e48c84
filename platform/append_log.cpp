#include "append_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>

namespace velmer::platform {

namespace {

std::mutex openFilesMutex;
std::map<std::string, int> openFiles;  // path -> descriptor, for the life of the process

int openForAppend(const std::string& path) {
  auto open = [&] { return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644); };
  int fd = open();
  if (fd < 0 && errno == ENOENT) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    fd = open();
  }
  return fd;
}

bool writeWhole(int fd, std::string_view line) {
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  // A short write is not completed: a second write could land after another writer's line.
  return written == static_cast<ssize_t>(line.size());
}

}  // namespace

bool appendLine(const std::string& path, std::string_view line) {
  std::lock_guard lock(openFilesMutex);
  auto it = openFiles.find(path);
  if (it == openFiles.end()) {
    int fd = openForAppend(path);
    if (fd < 0) return false;
    it = openFiles.emplace(path, fd).first;
  }
  return writeWhole(it->second, line);
}

}  // namespace velmer::platform
