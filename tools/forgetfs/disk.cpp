#include "disk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace forgetfs {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), what + " " + path);
}

Content readContent(const std::string& path, uint64_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open", path);
  Content content;
  Page page;
  for (uint64_t offset = 0; offset < size; offset += kPageSize) {
    const ssize_t got = ::pread(fd, page.data(), kPageSize, static_cast<off_t>(offset));
    if (got <= 0) break;
    content.write(offset, std::string_view(page.data(), static_cast<size_t>(got)));
  }
  ::close(fd);
  content.truncate(size);
  return content;
}

void loadDirectory(ForgetfulTree& tree, Ino parent, const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) fail("cannot read", path);
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir))
    if (std::string name = entry->d_name; name != "." && name != "..") names.push_back(std::move(name));
  ::closedir(dir);
  for (const std::string& name : names) {
    const std::string child = path + "/" + name;
    struct stat info {};
    if (::lstat(child.c_str(), &info) != 0) fail("cannot stat", child);
    if (S_ISDIR(info.st_mode))
      loadDirectory(tree, tree.load(parent, name, info.st_mode), child);
    else if (S_ISREG(info.st_mode))
      tree.load(parent, name, info.st_mode, readContent(child, static_cast<uint64_t>(info.st_size)));
    else
      throw std::runtime_error(child + " is neither a file nor a directory");
  }
}

// Writes `content` to `path`, which holds `before` (nullptr: whatever it holds is
// replaced): only the pages that differ.
void writeFile(const std::string& path, mode_t mode, const Content& content, const Content* before) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (before ? 0 : O_TRUNC), mode & 07777);
  if (fd < 0) fail("cannot write", path);
  std::vector<uint64_t> pages;
  if (before != nullptr) {
    pages = content.pagesDifferingFrom(*before);
  } else {
    for (const auto& [index, page] : content.pages) pages.push_back(index);
  }
  static const Page zeros{};
  bool ok = true;
  for (uint64_t index : pages) {
    const uint64_t offset = index * kPageSize;
    if (offset >= content.size) continue;
    auto page = content.pages.find(index);
    const char* bytes = page == content.pages.end() ? zeros.data() : page->second->data();
    const size_t count = static_cast<size_t>(std::min<uint64_t>(kPageSize, content.size - offset));
    ok = ok && ::pwrite(fd, bytes, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
  }
  ok = ok && ::ftruncate(fd, static_cast<off_t>(content.size)) == 0;
  ::close(fd);
  if (!ok) fail("cannot write", path);
}

void makeDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode & 07777) != 0) fail("cannot create", path);
}

}  // namespace

void Disk::load(ForgetfulTree& tree) {
  loadDirectory(tree, kRootIno, directory_);
  written_.clear();
  for (const DurableEntry& entry : tree.durableTree())
    written_[entry.path] = {entry.ino, entry.kind, entry.data ? *entry.data : Content{}};
}

void Disk::update(const std::vector<DurableEntry>& tree) {
  std::map<std::string, const DurableEntry*> next;
  for (const DurableEntry& entry : tree) next[entry.path] = &entry;
  // What goes, deepest first (a path sorts after its directory's).
  for (auto old = written_.rbegin(); old != written_.rend(); ++old) {
    auto kept = next.find(old->first);
    if (kept != next.end() && kept->second->kind == old->second.kind) continue;
    const std::string path = directory_ + "/" + old->first;
    if ((old->second.kind == Kind::Directory ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) != 0)
      fail("cannot remove", path);
  }
  std::map<std::string, Written> written;
  for (const DurableEntry& entry : tree) {  // a directory before what it holds
    auto old = written_.find(entry.path);
    const bool there = old != written_.end() && old->second.kind == entry.kind;
    const std::string path = directory_ + "/" + entry.path;
    if (entry.kind == Kind::Directory) {
      if (!there) makeDirectory(path, entry.mode);
      written[entry.path] = {entry.ino, Kind::Directory, {}};
      continue;
    }
    if (!there || !old->second.data.sameAs(*entry.data))
      writeFile(path, entry.mode, *entry.data, there ? &old->second.data : nullptr);
    written[entry.path] = {entry.ino, Kind::File, *entry.data};
  }
  written_ = std::move(written);
}

void writeTree(const std::string& directory, const std::vector<DurableEntry>& tree) {
  for (const DurableEntry& entry : tree) {
    const std::string path = entry.path.empty() ? directory : directory + "/" + entry.path;
    if (entry.kind == Kind::Directory)
      makeDirectory(path, entry.path.empty() ? 0755 : entry.mode);
    else
      writeFile(path, entry.mode, *entry.data, nullptr);
  }
}

}  // namespace forgetfs
