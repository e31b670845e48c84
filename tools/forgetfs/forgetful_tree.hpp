// The model of the forgetful file system: every file and directory as the programs on
// the mount see it (the visible state, like a page cache), and beside it what a power cut
// would leave of each (the durable state), which is what the disk below holds.
//
// A file's durable content is its content at its last fsync; a directory's durable
// entries are its entries at its last fsync. What the disk holds is the durable tree:
// the durable entries walked from the root, so a file synced under a name that was never
// synced in its directory, or in a directory whose own name was never synced, is not on
// the disk. In relaxed mode, creations, renames and removals are durable at once (as a
// journalling file system usually makes them); file contents still need their fsync.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace forgetfs {

using Ino = uint64_t;
inline constexpr Ino kRootIno = 1;
inline constexpr size_t kPageSize = 4096;

using Page = std::array<char, kPageSize>;
using PagePtr = std::shared_ptr<Page>;

// A file's bytes as 4 KiB pages. Pages are shared between the visible and the durable
// content and copied when written, so a sync costs no copy and two contents holding
// the same page object hold the same bytes. A page that is not stored reads as zeros.
struct Content {
  uint64_t size = 0;
  std::map<uint64_t, PagePtr> pages;

  std::string read(uint64_t offset, size_t count) const;
  void write(uint64_t offset, std::string_view data);
  void truncate(uint64_t newSize);
  // The pages whose bytes may differ from `other`'s, the size aside.
  std::vector<uint64_t> pagesDifferingFrom(const Content& other) const;
  bool sameAs(const Content& other) const { return size == other.size && pagesDifferingFrom(other).empty(); }
};

enum class Kind { File, Directory };

struct Node {
  Ino ino = 0;
  Kind kind = Kind::File;
  mode_t mode = 0;  // with the type bits
  uid_t uid = 0;
  gid_t gid = 0;
  timespec atime{}, mtime{}, ctime{};
  Content data, durableData;                            // files
  std::map<std::string, Ino> entries, durableEntries;  // directories
  // The name it was last given, for messages (a directory's parent is also checked
  // when it moves, so that it never moves into itself).
  Ino parent = 0;
  std::string name;
  uint32_t links = 0;         // visible names
  uint32_t durableLinks = 0;  // names in durable entries
  uint32_t opens = 0;
  bool synced = false;  // a content was synced, or it came from the disk
};

// One file or directory of the durable tree, at its path below the root.
struct DurableEntry {
  std::string path;  // relative, "" for the root
  Ino ino;
  Kind kind;
  mode_t mode;
  const Content* data;  // files
};

// A file synced under a name synced in its directory that is not on the disk all the
// same: `directory` (on its path) was never synced in its parent.
struct LostSync {
  Ino directory;
  std::string text;
};

// The durable content a torn write leaves to one file: some of its pending pages.
struct TornWrite {
  Ino ino = 0;
  Content data;
  std::string description;
};

class ForgetfulTree {
 public:
  explicit ForgetfulTree(bool relaxed);

  // Building the tree from the disk: each node is visible and durable alike.
  Ino load(Ino parent, const std::string& name, mode_t mode, Content data = {});

  const Node* find(Ino ino) const;
  std::string pathOf(Ino ino) const;

  // The operations; each returns 0 or an errno value.
  int lookup(Ino parent, const std::string& name, Ino& found) const;
  int create(Ino parent, const std::string& name, mode_t mode, uid_t uid, gid_t gid, Ino& created);
  int unlink(Ino parent, const std::string& name);
  int rmdir(Ino parent, const std::string& name);
  int rename(Ino parent, const std::string& name, Ino newParent, const std::string& newName, unsigned flags);
  int write(Ino ino, uint64_t offset, std::string_view data);
  int truncate(Ino ino, uint64_t size);
  int setAttributes(Ino ino, const struct stat& attributes, bool mode, bool owner, bool atime, bool mtime);
  void open(Ino ino) { ++node(ino).opens; }
  void release(Ino ino) { --node(ino).opens; }
  // fsync: a file's content, or a directory's entries, become durable.
  void sync(Ino ino);

  // Bumped by every change of the durable state.
  uint64_t durableGeneration() const { return durableGeneration_; }
  // The durable tree in path order (a directory before what it holds); `torn` stands
  // in for its file's durable content.
  std::vector<DurableEntry> durableTree(const TornWrite* torn = nullptr) const;

  // A torn write of `preferred` (or, when it has nothing pending on the disk, of a file
  // picked at random that has): a random, non-empty subset of its pending pages and
  // either size. Nothing when no file on the disk has pending pages.
  std::optional<TornWrite> tornWrite(Ino preferred, std::mt19937& random) const;
  void applyTornWrite(const TornWrite& torn);

  // Files that were synced under a name synced in their directory, yet are not on the
  // disk because a directory on their path was never synced in its parent: what a
  // program believes stored and a power cut would lose.
  std::vector<LostSync> lostSyncs() const;
  // Whether a node is still where it was last named, and that name is durable.
  bool nameIsDurable(Ino ino) const;

 private:
  Node& node(Ino ino) { return nodes_.at(ino); }
  const Node& node(Ino ino) const { return nodes_.at(ino); }
  Node& newNode(Ino parent, const std::string& name, mode_t mode);
  int directory(Ino ino, Node*& dir);
  bool isAncestor(Ino ancestor, Ino ino) const;
  void touchDirectory(Node& dir);
  // Relaxed mode: entry changes are durable at once.
  void metadataChanged(Ino dir);
  void syncEntries(Node& dir);
  void dropUnreferenced(Node& file);
  std::vector<uint64_t> pendingPages(const Node& file) const;

  bool relaxed_;
  Ino nextIno_ = 16;  // low numbers are the mount's own (the control file)
  uint64_t durableGeneration_ = 0;
  std::map<Ino, Node> nodes_;
};

timespec now();

}  // namespace forgetfs
