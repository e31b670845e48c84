#include "persistence/atomic_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "trace.h"

namespace velmer {

namespace {

// Small writes (headers, job records) are gathered here; a write larger than the buffer,
// such as a 128 KB queue record, goes straight to the file, so a larger buffer would
// only cost memory.
constexpr size_t kWriteBufferSize = 64 << 10;

std::string directoryOf(const std::string& path) {
  const std::string directory = std::filesystem::path(path).parent_path().string();
  return directory.empty() ? "." : directory;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)), temporary_(temporaryPath(path_)) {}

AtomicFile::~AtomicFile() { discard(); }

std::string AtomicFile::temporaryPath(const std::string& path) { return path + kTemporarySuffix; }

bool AtomicFile::open() {
  discard();
  writeError_ = 0;
  int fd = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (fd < 0) return false;
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    int savedErrno = errno;
    ::close(fd);
    ::unlink(temporary_.c_str());
    errno = savedErrno;
    return false;
  }
  // With a null buffer stdio would ignore the size and write 4 KB at a time.
  if (!buffer_) buffer_ = std::make_unique<char[]>(kWriteBufferSize);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kWriteBufferSize);
  return true;
}

bool AtomicFile::write(const void* data, size_t size) {
  if (file_ == nullptr) {
    errno = EBADF;
    return false;
  }
  if (size == 0 || std::fwrite(data, 1, size, file_) == size) return true;
  if (writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
  return false;
}

bool AtomicFile::commit() {
  if (file_ == nullptr) {
    errno = EBADF;
    return false;
  }
  bool ok = writeError_ == 0 && std::fflush(file_) == 0 && ::fsync(::fileno(file_)) == 0;
  int savedErrno = writeError_ != 0 ? writeError_ : errno;
  ok = (std::fclose(file_) == 0) && ok;
  file_ = nullptr;
  if (ok) ok = ::rename(temporary_.c_str(), path_.c_str()) == 0;
  if (!ok) {
    savedErrno = errno != 0 ? errno : savedErrno;
    ::unlink(temporary_.c_str());
    errno = savedErrno;
    return false;
  }
  return syncParentDirectory(path_);
}

void AtomicFile::discard() {
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
  ::unlink(temporary_.c_str());
}

bool syncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  int savedErrno = errno;
  ::close(fd);
  errno = savedErrno;
  return ok;
}

bool syncParentDirectory(const std::string& path) { return syncDirectory(directoryOf(path)); }

void removeStrayTemporaryFiles(const std::string& directory) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(AtomicFile::kTemporarySuffix)) continue;
    std::filesystem::remove(entry.path(), error);
    trace_printf(2, 8, "[%s]: removed the unfinished file %s\n", "removeStrayTemporaryFiles",
                 entry.path().c_str());
  }
}

}  // namespace velmer
