// velmer-forgetfs BELOW MOUNTPOINT [--relaxed] [--seed N] [--log FILE] [--states DIR]
//
// A file system for power-cut tests: it passes BELOW through at MOUNTPOINT, but what
// the programs on the mount write reaches BELOW only as a power cut would keep it: a
// file's data at its fsync, a creation, rename or removal at the fsync of its directory
// (at once with --relaxed). BELOW therefore always holds what a power cut at this
// moment would leave (forgetful_tree.hpp has the model).
//
// MOUNTPOINT/.powercut, written to, takes commands (one a line):
//   cut [torn]                      cut the power now; torn: first write a random part
//                                   of the pending pages of one file on the disk
//   arm N [any|write|sync|rename] [torn]
//                                   cut right after the Nth such operation from now
//   victim PID                      the process killed with SIGKILL at the cut
// Read, it tells `state on|cut`, `ops N` (operations that change something, since the
// mount), `last OP PATH`, `cut WHAT` and `lost MS WHAT` for each file the programs synced
// that a power cut would lose all the same (ForgetfulTree::lostSyncs), since MS
// milliseconds: a program syncing a new directory's parent a moment after the file in it
// loses nothing for long, one that never syncs it, everything from then on.
// After a cut every change fails with EIO and BELOW stays as the cut left it.
//
// --log FILE appends every changing operation ("N op path"); --states DIR writes, after
// every operation that changed what a power cut leaves, that state as DIR/<N> (N: the
// operation's number, 0 for the mount), and after every write, the state a torn last
// write leaves as DIR/<N>-torn: every crash point of the run, to be restarted from.
#define FUSE_USE_VERSION 34
#include <fuse_lowlevel.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "disk.hpp"
#include "forgetful_tree.hpp"

namespace forgetfs {

namespace {

constexpr fuse_ino_t kControlIno = 2;
constexpr const char* kControlName = ".powercut";
constexpr double kCacheSeconds = 1.0;

using Clock = std::chrono::steady_clock;

enum class OpClass { Any, Write, Sync, Rename, Other };

struct Options {
  std::string below, mountpoint, log, states;
  bool relaxed = false;
  unsigned seed = std::random_device{}();
};

// A state of the disk: each path and, for a file, its content.
using DiskImage = std::vector<std::pair<std::string, std::optional<Content>>>;

DiskImage imageOf(const std::vector<DurableEntry>& tree) {
  DiskImage image;
  for (const DurableEntry& entry : tree)
    image.emplace_back(entry.path, entry.data ? std::optional<Content>(*entry.data) : std::nullopt);
  return image;
}

bool sameImage(const DiskImage& a, const DiskImage& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && x.second.has_value() == y.second.has_value() &&
           (!x.second || x.second->sameAs(*y.second));
  });
}

// The disk below cannot be written: no state this file system shows is true any more.
[[noreturn]] void diskFailed(const std::exception& e) {
  std::fprintf(stderr, "velmer-forgetfs: %s\n", e.what());
  std::exit(1);
}

struct Arm {
  uint64_t remaining;
  OpClass opClass;
  bool torn;
};

class ForgetfulFs {
 public:
  ForgetfulTree tree;

  explicit ForgetfulFs(const Options& options)
      : tree(options.relaxed), options_(options), disk_(options.below), random_(options.seed) {
    disk_.load(tree);
    diskGeneration_ = statesGeneration_ = tree.durableGeneration();
    if (!options.log.empty()) log_ = std::fopen(options.log.c_str(), "a");
    if (!options.states.empty()) {
      ::mkdir(options.states.c_str(), 0755);
      writeTree(statePath(""), tree.durableTree());
      lastState_ = imageOf(tree.durableTree());
    }
  }

  bool isCut() const { return cut_; }

  // Called after every operation that changed the tree.
  void changed(OpClass opClass, const std::string& what, Ino file = 0) {
    ++ops_;
    last_ = what;
    if (log_ != nullptr) std::fprintf(log_, "%llu %s\n", static_cast<unsigned long long>(ops_), what.c_str());
    try {
      updateDisk();
      recordStates(opClass, file);
      noteLostSyncs();
      if (file != 0 && opClass == OpClass::Write) lastWritten_ = file;
      if (arm_ && (arm_->opClass == OpClass::Any || arm_->opClass == opClass) && --arm_->remaining == 0) {
        const bool torn = arm_->torn;
        arm_.reset();
        cut(torn, "after op " + std::to_string(ops_) + " (" + what + ")");
      }
    } catch (const std::exception& e) {
      diskFailed(e);
    }
  }

  // One command of the control file: 0 or EINVAL.
  int command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, word;
    words >> verb;
    std::vector<std::string> rest;
    while (words >> word) rest.push_back(word);
    if (verb.empty()) return 0;
    if (verb == "cut" && (rest.empty() || (rest.size() == 1 && rest[0] == "torn"))) {
      try {
        cut(!rest.empty(), "on command after op " + std::to_string(ops_));
      } catch (const std::exception& e) {
        diskFailed(e);
      }
      return 0;
    }
    if (verb == "victim" && rest.size() == 1) {
      victim_ = static_cast<pid_t>(std::atol(rest[0].c_str()));
      return victim_ > 0 ? 0 : EINVAL;
    }
    if (verb == "arm" && !rest.empty()) return armCommand(rest);
    return EINVAL;
  }

  std::string status() const {
    std::string text = std::string("state ") + (cut_ ? "cut" : "on") + "\nops " + std::to_string(ops_) + "\n";
    if (!last_.empty()) text += "last " + last_ + "\n";
    if (cut_) text += "cut " + cutDescription_ + "\n";
    for (const std::string& line : cut_ ? lostAtCut_ : lostLines()) text += "lost " + line + "\n";
    return text;
  }

  const Options& options() const { return options_; }

 private:
  int armCommand(const std::vector<std::string>& words) {
    Arm arm{std::strtoull(words[0].c_str(), nullptr, 10), OpClass::Any, false};
    for (size_t i = 1; i < words.size(); ++i) {
      if (words[i] == "torn") arm.torn = true;
      else if (words[i] == "write") arm.opClass = OpClass::Write;
      else if (words[i] == "sync") arm.opClass = OpClass::Sync;
      else if (words[i] == "rename") arm.opClass = OpClass::Rename;
      else if (words[i] != "any") return EINVAL;
    }
    if (arm.remaining == 0) return EINVAL;
    arm_ = arm;
    return 0;
  }

  // The power goes: the victim dies at this instant, a torn write lands in part, and
  // nothing reaches the disk any more.
  void cut(bool torn, const std::string& why) {
    if (cut_) return;
    if (victim_ > 0) ::kill(victim_, SIGKILL);
    cutDescription_ = why;
    if (torn) {
      if (auto write = tree.tornWrite(lastWritten_, random_)) {
        tree.applyTornWrite(*write);
        updateDisk();
        cutDescription_ += "; " + write->description;
      } else {
        cutDescription_ += "; no pending page to tear";
      }
    }
    noteLostSyncs();
    lostAtCut_ = lostLines();
    cut_ = true;
    if (log_ != nullptr) std::fprintf(log_, "cut %s\n", cutDescription_.c_str());
  }

  // Since when files under each directory never synced in its parent are lost. A moment
  // when none is synced there (a rewrite renamed the old file away and has not synced
  // the new name yet) does not count as found: only a sync of the directory's name does.
  void noteLostSyncs() {
    lost_ = tree.lostSyncs();
    for (const LostSync& lost : lost_) lostSince_.emplace(lost.directory, Clock::now());
    std::erase_if(lostSince_, [this](const auto& entry) { return tree.nameIsDurable(entry.first); });
  }

  std::vector<std::string> lostLines() const {
    std::vector<std::string> lines;
    for (const LostSync& lost : lost_) {
      const auto since = lostSince_.at(lost.directory);
      const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
      lines.push_back(std::to_string(age.count()) + " " + lost.text);
    }
    return lines;
  }

  void updateDisk() {
    if (tree.durableGeneration() == diskGeneration_) return;
    disk_.update(tree.durableTree());
    diskGeneration_ = tree.durableGeneration();
  }

  std::string statePath(const std::string& suffix) const {
    char number[24];
    std::snprintf(number, sizeof number, "%06llu", static_cast<unsigned long long>(ops_));
    return options_.states + "/" + number + suffix;
  }

  void recordStates(OpClass opClass, Ino file) {
    if (options_.states.empty()) return;
    if (tree.durableGeneration() != statesGeneration_) {
      statesGeneration_ = tree.durableGeneration();
      DiskImage state = imageOf(tree.durableTree());
      if (!sameImage(state, lastState_)) {  // a sync of a file not on the disk changes nothing there
        writeTree(statePath(""), tree.durableTree());
        lastState_ = std::move(state);
      }
    }
    if (opClass != OpClass::Write) return;
    auto torn = tree.tornWrite(file, random_);
    if (torn && torn->ino == file) writeTree(statePath("-torn"), tree.durableTree(&*torn));
  }

  Options options_;
  Disk disk_;
  std::mt19937 random_;
  std::FILE* log_ = nullptr;
  uint64_t ops_ = 0, diskGeneration_ = 0, statesGeneration_ = 0;
  std::string last_, cutDescription_;
  std::vector<std::string> lostAtCut_;
  std::vector<LostSync> lost_;
  DiskImage lastState_;
  std::map<Ino, Clock::time_point> lostSince_;
  std::optional<Arm> arm_;
  pid_t victim_ = 0;
  Ino lastWritten_ = 0;
  bool cut_ = false;
};

// ---------------------------------------------------------------------------------------
// The low-level FUSE operations, one request at a time (single-threaded loop).

ForgetfulFs& fsOf(fuse_req_t req) { return *static_cast<ForgetfulFs*>(fuse_req_userdata(req)); }

struct stat attributesOf(const Node& node) {
  struct stat st {};
  st.st_ino = node.ino;
  st.st_mode = node.mode;
  st.st_nlink = node.kind == Kind::Directory ? 2 : node.links;
  st.st_uid = node.uid;
  st.st_gid = node.gid;
  st.st_size = node.kind == Kind::Directory ? 4096 : static_cast<off_t>(node.data.size);
  st.st_blksize = kPageSize;
  st.st_blocks = static_cast<blkcnt_t>((node.data.pages.size() * kPageSize) / 512);
  st.st_atim = node.atime;
  st.st_mtim = node.mtime;
  st.st_ctim = node.ctime;
  return st;
}

struct stat controlAttributes() {
  struct stat st {};
  st.st_ino = kControlIno;
  st.st_mode = S_IFREG | 0600;
  st.st_nlink = 1;
  return st;
}

bool isControl(fuse_ino_t parent, const char* name) {
  return parent == kRootIno && std::strcmp(name, kControlName) == 0;
}

std::string childPath(const ForgetfulTree& tree, fuse_ino_t parent, const char* name) {
  const std::string dir = tree.pathOf(parent);
  return (dir == "/" ? "" : dir) + "/" + name;
}

fuse_entry_param entryOf(const struct stat& st) {
  fuse_entry_param entry{};
  entry.ino = st.st_ino;
  entry.generation = 1;
  entry.attr = st;
  entry.attr_timeout = entry.entry_timeout = kCacheSeconds;
  return entry;
}

void replyEntry(fuse_req_t req, const ForgetfulTree& tree, Ino ino) {
  const fuse_entry_param entry = entryOf(attributesOf(*tree.find(ino)));
  fuse_reply_entry(req, &entry);
}

// Replies EIO to a change after the cut: true when it did.
bool refusedAfterCut(fuse_req_t req) {
  if (!fsOf(req).isCut()) return false;
  fuse_reply_err(req, EIO);
  return true;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (isControl(parent, name)) {
    const fuse_entry_param entry = entryOf(controlAttributes());
    fuse_reply_entry(req, &entry);
    return;
  }
  Ino ino = 0;
  const ForgetfulTree& tree = fsOf(req).tree;
  if (int error = tree.lookup(parent, name, ino)) return (void)fuse_reply_err(req, error);
  replyEntry(req, tree, ino);
}

void opForget(fuse_req_t req, fuse_ino_t, uint64_t) { fuse_reply_none(req); }

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (ino == kControlIno) {
    const struct stat st = controlAttributes();
    fuse_reply_attr(req, &st, 0);
    return;
  }
  const Node* node = fsOf(req).tree.find(ino);
  if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
  const struct stat st = attributesOf(*node);
  fuse_reply_attr(req, &st, kCacheSeconds);
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
  if (ino == kControlIno) return opGetattr(req, ino, fi);  // `> .powercut` truncates it first
  if (refusedAfterCut(req)) return;
  ForgetfulFs& fs = fsOf(req);
  const std::string path = fs.tree.pathOf(ino);
  if (toSet & FUSE_SET_ATTR_SIZE) {
    if (int error = fs.tree.truncate(ino, static_cast<uint64_t>(attr->st_size)))
      return (void)fuse_reply_err(req, error);
    fs.changed(OpClass::Write, "truncate " + path + " " + std::to_string(attr->st_size), ino);
  }
  if (toSet & FUSE_SET_ATTR_ATIME_NOW) attr->st_atim = now();
  if (toSet & FUSE_SET_ATTR_MTIME_NOW) attr->st_mtim = now();
  const bool mode = toSet & FUSE_SET_ATTR_MODE, owner = toSet & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID);
  const bool atime = toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW);
  const bool mtime = toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW);
  if (mode || owner || atime || mtime) {
    if (owner && !(toSet & FUSE_SET_ATTR_UID)) attr->st_uid = fs.tree.find(ino)->uid;
    if (owner && !(toSet & FUSE_SET_ATTR_GID)) attr->st_gid = fs.tree.find(ino)->gid;
    fs.tree.setAttributes(ino, *attr, mode, owner, atime, mtime);
    fs.changed(OpClass::Other, "setattr " + path);
  }
  opGetattr(req, ino, fi);
}

// Creates a file or directory; 0 or an errno value.
int makeNode(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, Ino& made) {
  if (isControl(parent, name)) return EEXIST;
  if (fsOf(req).isCut()) return EIO;
  ForgetfulFs& fs = fsOf(req);
  const fuse_ctx* caller = fuse_req_ctx(req);
  if (int error = fs.tree.create(parent, name, mode & ~caller->umask, caller->uid, caller->gid, made)) return error;
  fs.changed(OpClass::Other, (S_ISDIR(mode) ? "mkdir " : "create ") + childPath(fs.tree, parent, name));
  return 0;
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  Ino made = 0;
  if (int error = makeNode(req, parent, name, mode | S_IFDIR, made)) return (void)fuse_reply_err(req, error);
  replyEntry(req, fsOf(req).tree, made);
}

void opMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
  Ino made = 0;
  if (int error = makeNode(req, parent, name, mode, made)) return (void)fuse_reply_err(req, error);
  replyEntry(req, fsOf(req).tree, made);
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
  Ino made = 0;
  if (int error = makeNode(req, parent, name, (mode & 07777) | S_IFREG, made))
    return (void)fuse_reply_err(req, error);
  ForgetfulTree& tree = fsOf(req).tree;
  tree.open(made);
  const fuse_entry_param entry = entryOf(attributesOf(*tree.find(made)));
  fuse_reply_create(req, &entry, fi);
}

void removeEntry(fuse_req_t req, fuse_ino_t parent, const char* name, bool directory) {
  if (isControl(parent, name)) return (void)fuse_reply_err(req, EPERM);
  if (refusedAfterCut(req)) return;
  ForgetfulFs& fs = fsOf(req);
  const std::string path = childPath(fs.tree, parent, name);
  if (int error = directory ? fs.tree.rmdir(parent, name) : fs.tree.unlink(parent, name))
    return (void)fuse_reply_err(req, error);
  fs.changed(OpClass::Other, (directory ? "rmdir " : "unlink ") + path);
  fuse_reply_err(req, 0);
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) { removeEntry(req, parent, name, false); }
void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) { removeEntry(req, parent, name, true); }

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned flags) {
  if (isControl(parent, name) || isControl(newParent, newName)) return (void)fuse_reply_err(req, EPERM);
  if (refusedAfterCut(req)) return;
  ForgetfulFs& fs = fsOf(req);
  const std::string what = "rename " + childPath(fs.tree, parent, name) + " " + childPath(fs.tree, newParent, newName);
  if (int error = fs.tree.rename(parent, name, newParent, newName, flags)) return (void)fuse_reply_err(req, error);
  fs.changed(OpClass::Rename, what);
  fuse_reply_err(req, 0);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino == kControlIno) {
    fi->direct_io = 1;  // every read asks again
    fi->fh = reinterpret_cast<uint64_t>(new std::string);
    return (void)fuse_reply_open(req, fi);
  }
  const Node* node = fsOf(req).tree.find(ino);
  if (node == nullptr) return (void)fuse_reply_err(req, ENOENT);
  if (node->kind == Kind::Directory) return (void)fuse_reply_err(req, EISDIR);
  if ((fi->flags & O_ACCMODE) != O_RDONLY && refusedAfterCut(req)) return;
  fsOf(req).tree.open(ino);
  fuse_reply_open(req, fi);
}

void opRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  if (ino == kControlIno) {
    auto* text = reinterpret_cast<std::string*>(fi->fh);
    if (offset == 0) *text = fsOf(req).status();
    const size_t from = std::min(text->size(), static_cast<size_t>(offset));
    return (void)fuse_reply_buf(req, text->data() + from, std::min(size, text->size() - from));
  }
  const std::string bytes = fsOf(req).tree.find(ino)->data.read(static_cast<uint64_t>(offset), size);
  fuse_reply_buf(req, bytes.data(), bytes.size());
}

void opWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t offset, fuse_file_info*) {
  ForgetfulFs& fs = fsOf(req);
  if (ino == kControlIno) {
    std::istringstream lines(std::string(buf, size));
    for (std::string line; std::getline(lines, line);)
      if (int error = fs.command(line)) return (void)fuse_reply_err(req, error);
    return (void)fuse_reply_write(req, size);
  }
  if (refusedAfterCut(req)) return;
  if (int error = fs.tree.write(ino, static_cast<uint64_t>(offset), std::string_view(buf, size)))
    return (void)fuse_reply_err(req, error);
  fs.changed(OpClass::Write,
             "write " + fs.tree.pathOf(ino) + " " + std::to_string(offset) + "+" + std::to_string(size), ino);
  fuse_reply_write(req, size);
}

void opFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void opRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (ino == kControlIno)
    delete reinterpret_cast<std::string*>(fi->fh);
  else
    fsOf(req).tree.release(ino);
  fuse_reply_err(req, 0);
}

void opFsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info*) {
  if (ino == kControlIno) return (void)fuse_reply_err(req, 0);
  if (refusedAfterCut(req)) return;
  ForgetfulFs& fs = fsOf(req);
  const bool directory = fs.tree.find(ino)->kind == Kind::Directory;
  fs.tree.sync(ino);
  fs.changed(OpClass::Sync, (directory ? "fsyncdir " : "fsync ") + fs.tree.pathOf(ino));
  fuse_reply_err(req, 0);
}

using DirectoryListing = std::vector<std::pair<std::string, struct stat>>;

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const ForgetfulTree& tree = fsOf(req).tree;
  const Node* dir = tree.find(ino);
  if (dir == nullptr) return (void)fuse_reply_err(req, ENOENT);
  if (dir->kind != Kind::Directory) return (void)fuse_reply_err(req, ENOTDIR);
  const Node& parent = *tree.find(ino == kRootIno ? ino : dir->parent);
  auto* listing = new DirectoryListing{{".", attributesOf(*dir)}, {"..", attributesOf(parent)}};
  for (const auto& [name, child] : dir->entries) listing->emplace_back(name, attributesOf(*tree.find(child)));
  fi->fh = reinterpret_cast<uint64_t>(listing);
  fuse_reply_open(req, fi);
}

void opReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  const auto& listing = *reinterpret_cast<DirectoryListing*>(fi->fh);
  std::string buffer(size, '\0');
  size_t used = 0;
  for (size_t i = static_cast<size_t>(offset); i < listing.size(); ++i) {
    const size_t needed = fuse_add_direntry(req, buffer.data() + used, size - used, listing[i].first.c_str(),
                                            &listing[i].second, static_cast<off_t>(i + 1));
    if (needed > size - used) break;
    used += needed;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  delete reinterpret_cast<DirectoryListing*>(fi->fh);
  fuse_reply_err(req, 0);
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs st {};
  if (::statvfs(fsOf(req).options().below.c_str(), &st) != 0) return (void)fuse_reply_err(req, errno);
  fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops operations() {
  fuse_lowlevel_ops ops{};
  ops.lookup = opLookup;
  ops.forget = opForget;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.mknod = opMknod;
  ops.mkdir = opMkdir;
  ops.unlink = opUnlink;
  ops.rmdir = opRmdir;
  ops.rename = opRename;
  ops.open = opOpen;
  ops.read = opRead;
  ops.write = opWrite;
  ops.flush = opFlush;
  ops.release = opRelease;
  ops.fsync = opFsync;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.releasedir = opReleasedir;
  ops.fsyncdir = opFsync;
  ops.statfs = opStatfs;
  ops.create = opCreate;
  return ops;
}

int usage() {
  std::fprintf(stderr,
               "usage: velmer-forgetfs BELOW MOUNTPOINT [--relaxed] [--seed N] [--log FILE] [--states DIR]\n");
  return 2;
}

bool parseOptions(int argc, char** argv, Options& options) {
  if (argc < 3) return false;
  options.below = argv[1];
  options.mountpoint = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    const bool valued = option == "--seed" || option == "--log" || option == "--states";
    if (valued && i + 1 >= argc) return false;
    if (option == "--relaxed") options.relaxed = true;
    else if (option == "--seed") options.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (option == "--log") options.log = argv[++i];
    else if (option == "--states") options.states = argv[++i];
    else return false;
  }
  return true;
}

int serve(ForgetfulFs& fs, const char* program) {
  const char* arguments[] = {program, "-o", "fsname=velmer-forgetfs"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(arguments));
  const fuse_lowlevel_ops ops = operations();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &fs);
  if (session == nullptr) return 1;
  int rc = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, fs.options().mountpoint.c_str()) == 0) {
      rc = fuse_session_loop(session) == 0 ? 0 : 1;
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  return rc;
}

}  // namespace

}  // namespace forgetfs

int main(int argc, char** argv) {
  forgetfs::Options options;
  if (!forgetfs::parseOptions(argc, argv, options)) return forgetfs::usage();
  try {
    forgetfs::ForgetfulFs fs(options);
    return forgetfs::serve(fs, argv[0]);
  } catch (const std::exception& e) {
    // The disk below could not be read or written: the test cannot go on.
    std::fprintf(stderr, "velmer-forgetfs: %s\n", e.what());
    return 1;
  }
}
