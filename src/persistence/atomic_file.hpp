// Files replaced whole and atomically: the new content goes to a temporary file beside
// the real one, is synced, and is renamed over the real name; then the directory is
// synced. A crash or a power failure at any moment leaves either the old file or the new
// one, never a partial file under the real name.
//
// Every 4 KiB block of the file that holds only zeros is left a hole (skipped, not
// written): the file reads back byte for byte, and flash is spared the zeros. The backup
// file's queue records are almost all zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmer {

class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();  // discards an uncommitted temporary file
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file; false (with errno set) when it cannot be created.
  bool open();
  // Appends bytes; false (with errno set) on a write error.
  bool write(const void* data, size_t size);
  // Syncs and renames the temporary file over the real one, then syncs the directory;
  // false (with errno set) when any step failed or any write before it did (the real
  // file is untouched: a file with a gap never replaces a complete one).
  bool commit();
  // Drops the temporary file.
  void discard();
  // Makes the next commit fail with `error`: the content is known to be incomplete.
  void fail(int error) {
    if (writeError_ == 0) writeError_ = error;
  }

  const std::string& path() const { return path_; }
  // Bytes handed to the file system so far (holes not counted).
  uint64_t bytesWritten() const { return bytesWritten_; }

  // The temporary name used for `path`; stray ones are removed at start-up.
  static std::string temporaryPath(const std::string& path);
  static constexpr const char* kTemporarySuffix = ".tmp";

  static constexpr size_t kBlockSize = 4096;

 private:
  bool flushBuffer();

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  int writeError_ = 0;        // errno of the first failed write since open
  uint64_t size_ = 0;         // the file's length so far, holes included
  uint64_t bufferStart_ = 0;  // file offset of buffer_[0], a multiple of kBlockSize
  size_t buffered_ = 0;
  uint64_t bytesWritten_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
};

// Removes every leftover temporary file in `directory` (from a write a crash cut short).
void removeStrayTemporaryFiles(const std::string& directory);

// Syncs a directory, so that the names created, renamed or removed in it last through a
// power failure: false (errno set) when it could not be.
bool syncDirectory(const std::string& directory);
// Syncs the directory that holds `path`.
bool syncParentDirectory(const std::string& path);
// Creates a directory with every missing parent, each synced into the directory that
// holds it: false when one could not be created.
bool createDirectoriesDurably(const std::string& path);

}  // namespace velmer
