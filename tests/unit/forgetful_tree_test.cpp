// The forgetful file system of scripts/powercut.sh: what its disk holds after each kind
// of operation, and what a torn write leaves there.
#include <gtest/gtest.h>

#include <random>

#include "disk.hpp"
#include "forgetful_tree.hpp"
#include "temp_root.hpp"

namespace {

using forgetfs::Ino;
using forgetfs::kPageSize;
using forgetfs::kRootIno;

// A tree over an empty disk in the test's root.
struct ForgetfulDisk {
  ForgetfulDisk(const TempRoot& root, const std::string& name, bool relaxed)
      : tree(relaxed), path(root.dir() / name), disk(path.string()) {
    std::filesystem::create_directories(path);
    disk.load(tree);
  }
  Ino make(Ino parent, const std::string& name, mode_t mode) {
    Ino made = 0;
    EXPECT_EQ(tree.create(parent, name, mode, 0, 0, made), 0);
    return made;
  }
  void write(Ino file, const std::string& text) {
    tree.write(file, 0, text);
    update();
  }
  void sync(Ino ino) {
    tree.sync(ino);
    update();
  }
  void update() { disk.update(tree.durableTree()); }
  std::string onDisk(const std::string& relative) const {
    return std::filesystem::exists(path / relative) ? readText(path / relative) : "(none)";
  }

  forgetfs::ForgetfulTree tree;
  std::filesystem::path path;
  forgetfs::Disk disk;
};

TEST(ForgetfulTree, DiskHoldsASyncedFileOnlyOnceEveryNameOnItsPathIsSynced) {
  TempRoot root;
  ForgetfulDisk fs(root, "strict", false);
  const Ino dir = fs.make(kRootIno, "d", S_IFDIR | 0755);
  fs.write(fs.make(dir, "f", S_IFREG | 0644), "old, longer");
  fs.sync(fs.tree.find(dir)->entries.at("f"));
  fs.sync(dir);
  // d itself was never synced in the root: f is lost to a power cut, and said to be.
  EXPECT_EQ(fs.onDisk("d/f"), "(none)");
  ASSERT_EQ(fs.tree.lostSyncs().size(), 1u);
  EXPECT_EQ(fs.tree.lostSyncs()[0].directory, dir);
  fs.sync(kRootIno);
  EXPECT_EQ(fs.onDisk("d/f"), "old, longer");
  EXPECT_TRUE(fs.tree.lostSyncs().empty());

  // A file synced beside f and renamed over it replaces f only once d is synced.
  const Ino next = fs.make(dir, "f.tmp", S_IFREG | 0644);
  fs.write(next, "new");
  fs.sync(next);
  ASSERT_EQ(fs.tree.rename(dir, "f.tmp", dir, "f", 0), 0);
  fs.update();
  EXPECT_EQ(fs.onDisk("d/f") + " " + fs.onDisk("d/f.tmp"), "old, longer (none)");
  fs.sync(dir);
  EXPECT_EQ(fs.onDisk("d/f") + " " + fs.onDisk("d/f.tmp"), "new (none)");
  ASSERT_EQ(fs.tree.unlink(dir, "f"), 0);
  fs.update();
  EXPECT_EQ(fs.onDisk("d/f"), "new");
  fs.sync(dir);
  EXPECT_EQ(fs.onDisk("d/f"), "(none)");

  // Relaxed: names are durable at once, data still at its fsync.
  ForgetfulDisk relaxed(root, "relaxed", true);
  const Ino file = relaxed.make(relaxed.make(kRootIno, "d", S_IFDIR | 0755), "f", S_IFREG | 0644);
  relaxed.write(file, "data");
  EXPECT_EQ(relaxed.onDisk("d/f"), "");
  relaxed.sync(file);
  EXPECT_EQ(relaxed.onDisk("d/f"), "data");
}

TEST(ForgetfulTree, TornWriteLandsSomeOfThePendingPagesOfAFileOnTheDiskOnly) {
  TempRoot root;
  ForgetfulDisk fs(root, "disk", false);
  const Ino file = fs.make(kRootIno, "f", S_IFREG | 0644);
  fs.write(file, std::string(4 * kPageSize, 'a'));
  fs.sync(file);
  fs.sync(kRootIno);
  const Ino notOnDisk = fs.make(kRootIno, "f.tmp", S_IFREG | 0644);
  fs.write(notOnDisk, "pending");
  fs.write(file, std::string(4 * kPageSize, 'b'));
  std::mt19937 random(7);
  bool mixed = false;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const auto torn = fs.tree.tornWrite(notOnDisk, random);
    ASSERT_TRUE(torn);
    ASSERT_EQ(torn->ino, file);  // a file without a durable name leaves nothing to tear
    int landed = 0;
    for (uint64_t page = 0; page < 4; ++page) {
      const std::string bytes = torn->data.read(page * kPageSize, kPageSize);
      ASSERT_TRUE(bytes == std::string(kPageSize, 'a') || bytes == std::string(kPageSize, 'b'));
      landed += bytes[0] == 'b';
    }
    EXPECT_GE(landed, 1);
    mixed = mixed || landed < 4;
    if (attempt == 0) {
      fs.tree.applyTornWrite(*torn);
      fs.update();
      EXPECT_EQ(fs.onDisk("f"), torn->data.read(0, 4 * kPageSize));
    }
  }
  EXPECT_TRUE(mixed);
}

}  // namespace
