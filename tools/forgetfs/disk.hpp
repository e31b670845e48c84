// The disk below the forgetful file system: a directory that always holds the durable
// tree, and so exactly what a power cut at this moment would leave.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "forgetful_tree.hpp"

namespace forgetfs {

class Disk {
 public:
  explicit Disk(std::string directory) : directory_(std::move(directory)) {}

  // Reads the directory into the tree, as visible and durable alike (a mount after a
  // power cut sees what the disk holds). Throws on anything but files and directories.
  void load(ForgetfulTree& tree);
  // Makes the directory hold the durable tree: removes, creates and writes only what
  // changed since the last call.
  void update(const std::vector<DurableEntry>& tree);

 private:
  struct Written {
    Ino ino;
    Kind kind;
    Content data;
  };
  std::string directory_;
  std::map<std::string, Written> written_;
};

// Writes a durable tree into `directory` (created; it must not exist yet).
void writeTree(const std::string& directory, const std::vector<DurableEntry>& tree);

}  // namespace forgetfs
