#include "paths.hpp"

namespace velmer::paths {

namespace {
std::string& rootStorage() {
  static std::string value;
  return value;
}
}  // namespace

void setRoot(std::string root) {
  while (!root.empty() && root.back() == '/') root.pop_back();
  rootStorage() = std::move(root);
}

const std::string& root() { return rootStorage(); }

std::string resolve(std::string_view absolutePath) {
  std::string result = rootStorage();
  result += absolutePath;
  return result;
}

std::vector<std::string_view> imageDirectories() {
  return {"/flash/data1/jobservice", "/flash/data1/jqlegacy", "/var/lib/jobservice",
          "/var/log/velmer",         "/run/jqlegacy",         "/etc/velmer",
          "/usr/bin",                "/bin",                  "/mmc1"};
}

}  // namespace velmer::paths

namespace velmer::paths {

std::vector<std::string_view> toolPrograms() {
  return {kJobCancelTool, kPostRestoreTool, kSysEraseTool, kBackupRestoreTool};
}

}  // namespace velmer::paths
