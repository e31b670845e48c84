// Files replaced whole and atomically: the new content goes to a temporary file beside
// the real one, is flushed and synced, and is renamed over the real name; then the
// directory is synced. A crash at any moment leaves either the old file or the new
// one, never a partial file under the real name.
#pragma once

#include <cstddef>
#include <cstdio>
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
  // Flushes, syncs and renames the temporary file over the real one, then syncs the
  // directory; false (with errno set) when any step failed or any write before it did
  // (the real file is untouched: a file with a gap never replaces a complete one).
  bool commit();
  // Drops the temporary file.
  void discard();

  const std::string& path() const { return path_; }

  // The temporary name used for `path`; stray ones are removed at start-up.
  static std::string temporaryPath(const std::string& path);
  static constexpr const char* kTemporarySuffix = ".tmp";

 private:
  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
  int writeError_ = 0;  // errno of the first failed write since open
  std::unique_ptr<char[]> buffer_;  // stdio's buffer
};

// Makes the entries of `directory` durable: a creation, rename or removal in it is on
// flash only once its directory is synced (fsync of a file keeps its data, not its
// name). `syncParentDirectory(path)` does it for the directory holding `path`. False
// (errno set) on failure.
bool syncDirectory(const std::string& directory);
bool syncParentDirectory(const std::string& path);

// Removes every leftover temporary file in `directory` (from a write a crash cut short).
void removeStrayTemporaryFiles(const std::string& directory);

}  // namespace velmer
