#include "persistence/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "trace.h"

namespace velmer {

namespace {

// Small writes (headers, job records) are gathered here and go out in runs of non-zero
// blocks; a larger buffer would only cost memory.
constexpr size_t kWriteBufferSize = 64 << 10;

bool isZeroBlock(const uint8_t* block, size_t size) {
  return std::all_of(block, block + size, [](uint8_t byte) { return byte == 0; });
}

bool writeAllAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return true;
}

bool closeKeepingErrno(bool result, int fd) {
  const int savedErrno = errno;
  ::close(fd);
  errno = savedErrno;
  return result;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)), temporary_(temporaryPath(path_)) {}

AtomicFile::~AtomicFile() { discard(); }

std::string AtomicFile::temporaryPath(const std::string& path) { return path + kTemporarySuffix; }

bool AtomicFile::open() {
  discard();
  writeError_ = 0;
  size_ = bufferStart_ = bytesWritten_ = 0;
  buffered_ = 0;
  fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
  if (fd_ < 0) return false;
  if (!buffer_) buffer_ = std::make_unique<uint8_t[]>(kWriteBufferSize);
  return true;
}

// Writes the buffer's runs of blocks that hold something; all-zero blocks stay holes.
// The buffer is flushed only when full (a whole number of blocks) and at commit, so
// every block is judged whole.
bool AtomicFile::flushBuffer() {
  size_t at = 0;
  while (at < buffered_) {
    const size_t block = std::min(kBlockSize, buffered_ - at);
    if (isZeroBlock(buffer_.get() + at, block)) {
      at += block;
      continue;
    }
    size_t end = at + block;
    while (end < buffered_ && !isZeroBlock(buffer_.get() + end, std::min(kBlockSize, buffered_ - end)))
      end += std::min(kBlockSize, buffered_ - end);
    if (!writeAllAt(fd_, buffer_.get() + at, end - at, bufferStart_ + at)) return false;
    bytesWritten_ += end - at;
    at = end;
  }
  bufferStart_ += buffered_;
  buffered_ = 0;
  return true;
}

bool AtomicFile::write(const void* data, size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const size_t taken = std::min(size, kWriteBufferSize - buffered_);
    std::copy_n(bytes, taken, buffer_.get() + buffered_);
    buffered_ += taken;
    size_ += taken;
    bytes += taken;
    size -= taken;
    if (buffered_ == kWriteBufferSize && !flushBuffer()) {
      if (writeError_ == 0) writeError_ = errno != 0 ? errno : EIO;
      buffered_ = 0;  // the file is refused at commit; only its length is still counted
      return false;
    }
  }
  return writeError_ == 0;
}

bool AtomicFile::commit() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  bool ok = writeError_ == 0 && flushBuffer() && ::ftruncate(fd_, static_cast<off_t>(size_)) == 0 &&
            ::fsync(fd_) == 0;
  int savedErrno = writeError_ != 0 ? writeError_ : errno;
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
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
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_.c_str());
}

void removeStrayTemporaryFiles(const std::string& directory) {
  std::error_code error;
  bool removed = false;
  // Incremented with an error code: a listing that fails part way is reported, not thrown.
  for (auto entry = std::filesystem::directory_iterator(directory, error);
       !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (!name.ends_with(AtomicFile::kTemporarySuffix)) continue;
    std::error_code removeError;
    removed = std::filesystem::remove(entry->path(), removeError) || removed;
    trace_printf(2, 8, "[%s]: removed the unfinished file %s\n", "removeStrayTemporaryFiles", entry->path().c_str());
  }
  if (error && error != std::errc::no_such_file_or_directory)
    trace_printf(1, 8, "[%s]: cannot list [%s]: %s\n", "removeStrayTemporaryFiles", directory.c_str(),
                 error.message().c_str());
  if (removed) syncDirectory(directory);
}

bool syncDirectory(const std::string& directory) {
  const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  return closeKeepingErrno(::fsync(fd) == 0, fd);
}

bool syncParentDirectory(const std::string& path) {
  return syncDirectory(std::filesystem::path(path).parent_path().string());
}

bool createDirectoriesDurably(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return true;
  const std::string parent = std::filesystem::path(path).parent_path().string();
  if (!parent.empty() && parent != path && !createDirectoriesDurably(parent)) return false;
  if (::mkdir(path.c_str(), 0770) != 0 && errno != EEXIST) return false;
  return syncDirectory(parent);
}

}  // namespace velmer
