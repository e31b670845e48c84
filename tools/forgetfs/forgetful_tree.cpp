#include "forgetful_tree.hpp"

#include <fcntl.h>
#include <linux/fs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>

namespace forgetfs {

namespace {

bool allZero(const Page& page) {
  return std::all_of(page.begin(), page.end(), [](char c) { return c == 0; });
}

// The page at `index`, created or copied so that writing it changes no other content.
Page& writablePage(std::map<uint64_t, PagePtr>& pages, uint64_t index) {
  PagePtr& page = pages[index];
  if (!page)
    page = std::make_shared<Page>();
  else if (page.use_count() > 1)
    page = std::make_shared<Page>(*page);
  return *page;
}

void dropPagesFrom(Content& content, uint64_t size) {
  content.pages.erase(content.pages.lower_bound((size + kPageSize - 1) / kPageSize), content.pages.end());
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory.empty() ? name : directory + "/" + name;
}

}  // namespace

timespec now() {
  timespec time{};
  ::clock_gettime(CLOCK_REALTIME, &time);
  return time;
}

// ---------------------------------------------------------------------------------------
// Content

std::string Content::read(uint64_t offset, size_t count) const {
  if (offset >= size) return {};
  count = static_cast<size_t>(std::min<uint64_t>(count, size - offset));
  std::string bytes(count, '\0');
  for (auto page = pages.lower_bound(offset / kPageSize); page != pages.end(); ++page) {
    const uint64_t start = page->first * kPageSize;
    if (start >= offset + count) break;
    const uint64_t from = std::max(start, offset), to = std::min(start + kPageSize, offset + count);
    std::memcpy(bytes.data() + (from - offset), page->second->data() + (from - start), to - from);
  }
  return bytes;
}

void Content::write(uint64_t offset, std::string_view data) {
  for (size_t done = 0; done < data.size();) {
    const uint64_t at = offset + done, index = at / kPageSize;
    const size_t within = at % kPageSize, count = std::min(kPageSize - within, data.size() - done);
    Page& page = writablePage(pages, index);
    std::memcpy(page.data() + within, data.data() + done, count);
    if (allZero(page)) pages.erase(index);  // zeros are kept as holes
    done += count;
  }
  size = std::max<uint64_t>(size, offset + data.size());
}

void Content::truncate(uint64_t newSize) {
  if (newSize < size) {
    dropPagesFrom(*this, newSize);
    // Bytes past the end read as zeros should the file grow again.
    if (const size_t within = newSize % kPageSize; within != 0 && pages.contains(newSize / kPageSize)) {
      Page& page = writablePage(pages, newSize / kPageSize);
      std::memset(page.data() + within, 0, kPageSize - within);
      if (allZero(page)) pages.erase(newSize / kPageSize);
    }
  }
  size = newSize;
}

std::vector<uint64_t> Content::pagesDifferingFrom(const Content& other) const {
  std::vector<uint64_t> differing;
  auto mine = pages.begin(), theirs = other.pages.begin();
  while (mine != pages.end() || theirs != other.pages.end()) {
    if (theirs == other.pages.end() || (mine != pages.end() && mine->first < theirs->first)) {
      differing.push_back((mine++)->first);
    } else if (mine == pages.end() || theirs->first < mine->first) {
      differing.push_back((theirs++)->first);
    } else {
      if (mine->second != theirs->second) differing.push_back(mine->first);
      ++mine, ++theirs;
    }
  }
  return differing;
}

// ---------------------------------------------------------------------------------------
// The tree

ForgetfulTree::ForgetfulTree(bool relaxed) : relaxed_(relaxed) {
  Node& root = nodes_[kRootIno];
  root.ino = kRootIno;
  root.kind = Kind::Directory;
  root.mode = S_IFDIR | 0755;
  root.atime = root.mtime = root.ctime = now();
  root.links = root.durableLinks = 1;
  root.synced = true;
}

Node& ForgetfulTree::newNode(Ino parent, const std::string& name, mode_t mode) {
  const Ino ino = nextIno_++;
  Node& created = nodes_[ino];
  created.ino = ino;
  created.kind = S_ISDIR(mode) ? Kind::Directory : Kind::File;
  created.mode = mode;
  created.atime = created.mtime = created.ctime = now();
  created.parent = parent;
  created.name = name;
  created.links = 1;
  node(parent).entries[name] = ino;
  return created;
}

Ino ForgetfulTree::load(Ino parent, const std::string& name, mode_t mode, Content data) {
  Node& loaded = newNode(parent, name, mode);
  loaded.data = loaded.durableData = std::move(data);
  loaded.durableLinks = 1;
  loaded.synced = true;
  node(parent).durableEntries[name] = loaded.ino;
  return loaded.ino;
}

const Node* ForgetfulTree::find(Ino ino) const {
  auto found = nodes_.find(ino);
  return found == nodes_.end() ? nullptr : &found->second;
}

std::string ForgetfulTree::pathOf(Ino ino) const {
  const Node* at = find(ino);
  if (at == nullptr) return "?";
  if (at->links == 0) return at->name + " (removed)";
  std::string path;
  for (; at->ino != kRootIno; at = &node(at->parent)) path = "/" + at->name + path;
  return path.empty() ? "/" : path;
}

int ForgetfulTree::directory(Ino ino, Node*& dir) {
  auto found = nodes_.find(ino);
  if (found == nodes_.end()) return ENOENT;
  if (found->second.kind != Kind::Directory) return ENOTDIR;
  if (found->second.links == 0) return ENOENT;  // removed: nothing is created in it
  dir = &found->second;
  return 0;
}

int ForgetfulTree::lookup(Ino parent, const std::string& name, Ino& found) const {
  const Node* dir = find(parent);
  if (dir == nullptr) return ENOENT;
  if (dir->kind != Kind::Directory) return ENOTDIR;
  auto entry = dir->entries.find(name);
  if (entry == dir->entries.end()) return ENOENT;
  found = entry->second;
  return 0;
}

void ForgetfulTree::touchDirectory(Node& dir) { dir.mtime = dir.ctime = now(); }

void ForgetfulTree::metadataChanged(Ino dir) {
  if (relaxed_) syncEntries(node(dir));
}

int ForgetfulTree::create(Ino parent, const std::string& name, mode_t mode, uid_t uid, gid_t gid, Ino& created) {
  Node* dir = nullptr;
  if (int error = directory(parent, dir)) return error;
  if (dir->entries.contains(name)) return EEXIST;
  if (!S_ISDIR(mode) && !S_ISREG(mode)) return EPERM;  // files and directories only
  Node& made = newNode(parent, name, mode);
  made.uid = uid;
  made.gid = gid;
  touchDirectory(*dir);
  metadataChanged(parent);
  created = made.ino;
  return 0;
}

int ForgetfulTree::unlink(Ino parent, const std::string& name) {
  Ino ino = 0;
  if (int error = lookup(parent, name, ino)) return error;
  Node& file = node(ino);
  if (file.kind == Kind::Directory) return EISDIR;
  node(parent).entries.erase(name);
  --file.links;
  file.ctime = now();
  touchDirectory(node(parent));
  metadataChanged(parent);
  dropUnreferenced(file);
  return 0;
}

int ForgetfulTree::rmdir(Ino parent, const std::string& name) {
  Ino ino = 0;
  if (int error = lookup(parent, name, ino)) return error;
  Node& dir = node(ino);
  if (dir.kind != Kind::Directory) return ENOTDIR;
  if (!dir.entries.empty()) return ENOTEMPTY;
  node(parent).entries.erase(name);
  dir.links = 0;
  touchDirectory(node(parent));
  metadataChanged(parent);
  return 0;
}

bool ForgetfulTree::isAncestor(Ino ancestor, Ino ino) const {
  for (; ino != kRootIno; ino = node(ino).parent)
    if (ino == ancestor) return true;
  return ancestor == kRootIno;
}

int ForgetfulTree::rename(Ino parent, const std::string& name, Ino newParent, const std::string& newName,
                          unsigned flags) {
  if ((flags & ~RENAME_NOREPLACE) != 0) return EINVAL;  // no exchange, no whiteout
  Ino ino = 0;
  if (int error = lookup(parent, name, ino)) return error;
  Node* target = nullptr;
  if (int error = directory(newParent, target)) return error;
  Node& moved = node(ino);
  if (moved.kind == Kind::Directory && isAncestor(ino, newParent)) return EINVAL;
  if (auto existing = target->entries.find(newName); existing != target->entries.end()) {
    if (existing->second == ino) return 0;
    if (flags & RENAME_NOREPLACE) return EEXIST;
    Node& replaced = node(existing->second);
    if (moved.kind == Kind::Directory && replaced.kind != Kind::Directory) return ENOTDIR;
    if (moved.kind != Kind::Directory && replaced.kind == Kind::Directory) return EISDIR;
    if (replaced.kind == Kind::Directory && !replaced.entries.empty()) return ENOTEMPTY;
    replaced.links = replaced.kind == Kind::Directory ? 0 : replaced.links - 1;
    target->entries.erase(existing);
    dropUnreferenced(replaced);
  }
  node(parent).entries.erase(name);
  target->entries[newName] = ino;
  moved.parent = newParent;
  moved.name = newName;
  moved.ctime = now();
  touchDirectory(node(parent));
  touchDirectory(*target);
  metadataChanged(parent);
  if (newParent != parent) metadataChanged(newParent);
  return 0;
}

int ForgetfulTree::write(Ino ino, uint64_t offset, std::string_view data) {
  Node& file = node(ino);
  if (file.kind == Kind::Directory) return EISDIR;
  file.data.write(offset, data);
  file.mtime = file.ctime = now();
  return 0;
}

int ForgetfulTree::truncate(Ino ino, uint64_t size) {
  Node& file = node(ino);
  if (file.kind == Kind::Directory) return EISDIR;
  file.data.truncate(size);
  file.mtime = file.ctime = now();
  return 0;
}

int ForgetfulTree::setAttributes(Ino ino, const struct stat& attributes, bool mode, bool owner, bool atime,
                                 bool mtime) {
  Node& changed = node(ino);
  if (mode) changed.mode = (changed.mode & S_IFMT) | (attributes.st_mode & 07777);
  if (owner) changed.uid = attributes.st_uid, changed.gid = attributes.st_gid;
  if (atime) changed.atime = attributes.st_atim;
  if (mtime) changed.mtime = attributes.st_mtim;
  changed.ctime = now();
  return 0;
}

void ForgetfulTree::sync(Ino ino) {
  Node& synced = node(ino);
  if (synced.kind == Kind::Directory) return syncEntries(synced);
  synced.synced = true;
  if (synced.durableData.sameAs(synced.data)) return;
  synced.durableData = synced.data;
  ++durableGeneration_;
}

void ForgetfulTree::syncEntries(Node& dir) {
  if (dir.durableEntries == dir.entries) return;
  std::vector<Ino> dropped;
  for (const auto& [name, ino] : dir.durableEntries)
    if (--node(ino).durableLinks == 0) dropped.push_back(ino);
  for (const auto& [name, ino] : dir.entries) ++node(ino).durableLinks;
  dir.durableEntries = dir.entries;
  ++durableGeneration_;
  for (Ino ino : dropped) dropUnreferenced(node(ino));
}

// A file nobody can reach any more, on the mount or on the disk, gives its pages back.
void ForgetfulTree::dropUnreferenced(Node& file) {
  if (file.kind == Kind::File && file.links == 0 && file.durableLinks == 0 && file.opens == 0)
    file.data = file.durableData = Content{};
}

std::vector<DurableEntry> ForgetfulTree::durableTree(const TornWrite* torn) const {
  std::vector<DurableEntry> tree;
  std::set<Ino> directories;  // a directory moved between two synced parents is on the disk once
  std::function<void(const Node&, const std::string&)> walk = [&](const Node& dir, const std::string& path) {
    tree.push_back({path, dir.ino, Kind::Directory, dir.mode, nullptr});
    for (const auto& [name, ino] : dir.durableEntries) {
      const Node& child = node(ino);
      if (child.kind == Kind::File)
        tree.push_back({joined(path, name), ino, Kind::File, child.mode,
                        torn != nullptr && torn->ino == ino ? &torn->data : &child.durableData});
      else if (directories.insert(ino).second)
        walk(child, joined(path, name));
    }
  };
  directories.insert(kRootIno);
  walk(node(kRootIno), "");
  return tree;
}

std::vector<uint64_t> ForgetfulTree::pendingPages(const Node& file) const {
  return file.data.pagesDifferingFrom(file.durableData);
}

std::optional<TornWrite> ForgetfulTree::tornWrite(Ino preferred, std::mt19937& random) const {
  std::vector<Ino> candidates;
  for (const DurableEntry& entry : durableTree()) {
    const Node& file = node(entry.ino);
    if (entry.kind == Kind::File && !file.data.sameAs(file.durableData)) candidates.push_back(entry.ino);
  }
  if (candidates.empty()) return std::nullopt;
  const bool preferredPending = std::find(candidates.begin(), candidates.end(), preferred) != candidates.end();
  const Node& file = node(preferredPending ? preferred : candidates[random() % candidates.size()]);
  const std::vector<uint64_t> pending = pendingPages(file);
  std::vector<uint64_t> chosen;
  for (uint64_t index : pending)
    if (random() & 1) chosen.push_back(index);
  if (chosen.empty() && !pending.empty()) chosen.push_back(pending[random() % pending.size()]);
  TornWrite torn{file.ino, file.durableData, ""};
  for (uint64_t index : chosen) {
    auto page = file.data.pages.find(index);
    if (page == file.data.pages.end())
      torn.data.pages.erase(index);
    else
      torn.data.pages[index] = page->second;
  }
  torn.data.size = (random() & 1) ? file.data.size : file.durableData.size;
  dropPagesFrom(torn.data, torn.data.size);
  torn.description = "torn write of " + pathOf(file.ino) + ": " + std::to_string(chosen.size()) + " of " +
                     std::to_string(pending.size()) + " pending pages (";
  for (size_t i = 0; i < chosen.size(); ++i) torn.description += (i ? " " : "") + std::to_string(chosen[i]);
  torn.description += "), size " + std::to_string(torn.data.size);
  return torn;
}

void ForgetfulTree::applyTornWrite(const TornWrite& torn) {
  node(torn.ino).durableData = torn.data;
  ++durableGeneration_;
}

bool ForgetfulTree::nameIsDurable(Ino ino) const {
  const Node* named = find(ino);
  if (named == nullptr || named->links == 0) return false;
  if (ino == kRootIno) return true;
  const auto& durable = node(named->parent).durableEntries;
  auto entry = durable.find(named->name);
  return entry != durable.end() && entry->second == ino;
}

std::vector<LostSync> ForgetfulTree::lostSyncs() const {
  std::set<Ino> onDisk;
  for (const DurableEntry& entry : durableTree()) onDisk.insert(entry.ino);
  std::vector<Ino> path;  // the directories from the root's child down
  std::vector<LostSync> lost;
  std::function<void(const Node&)> walk = [&](const Node& dir) {
    for (const auto& [name, ino] : dir.entries) {
      const Node& child = node(ino);
      if (child.kind == Kind::Directory) {
        path.push_back(ino);
        walk(child);
        path.pop_back();
        continue;
      }
      auto durable = dir.durableEntries.find(name);
      if (!child.synced || onDisk.contains(ino) || durable == dir.durableEntries.end() || durable->second != ino)
        continue;
      auto unsynced = std::find_if(path.begin(), path.end(), [&](Ino at) { return !nameIsDurable(at); });
      if (unsynced == path.end()) continue;  // cannot be: a path of durable names is on the disk
      const std::string directory = pathOf(*unsynced), parent = pathOf(node(*unsynced).parent);
      lost.push_back({*unsynced, pathOf(ino) + " was synced with its directory, but " + directory +
                                     " is not on the disk: its entry in " + parent + " was never synced"});
    }
  };
  walk(node(kRootIno));
  return lost;
}

}  // namespace forgetfs
