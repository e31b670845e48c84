// velmerd-sandbox ROOT [--trace-level N] [--bare]
//
// Runs the job manager's daemon code with every file path resolved under ROOT, on the
// system bus that libsystemd finds (set DBUS_SYSTEM_BUS_ADDRESS for a private bus).
// Unless --bare is given, the directories a controller's firmware image provides are
// created under ROOT first, and each tool program the daemon runs that is not there yet
// gets a stand-in script that appends its arguments to ROOT/var/log/velmer/tools.log and
// succeeds. --bare leaves ROOT as it is (to test a damaged system).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "paths.hpp"
#include "service/service_core.hpp"

namespace {

int usage() {
  std::fprintf(stderr, "usage: velmerd-sandbox ROOT [--trace-level N] [--bare]\n");
  return 2;
}

bool parseLevel(const char* text, int& level) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 9) return false;
  level = static_cast<int>(value);
  return true;
}

bool createImageDirectories(const std::string& root) {
  for (auto dir : velmer::paths::imageDirectories()) {
    std::error_code error;
    std::filesystem::create_directories(root + std::string(dir), error);
    if (error) {
      std::fprintf(stderr, "velmerd-sandbox: cannot create %s%s: %s\n", root.c_str(), std::string(dir).c_str(),
                   error.message().c_str());
      return false;
    }
  }
  return true;
}

// A tool stand-in: records how it was called, then succeeds.
bool installToolStandIn(const std::string& root, std::string_view tool) {
  const std::filesystem::path path = root + std::string(tool);
  if (std::filesystem::exists(path)) return true;
  std::ofstream script(path);
  script << "#!/bin/sh\n"
            "# Stand-in for a controller tool: records its arguments and succeeds.\n"
            "echo \"$0 $*\" >> '"
         << root << "/var/log/velmer/tools.log'\n"
            "exit 0\n";
  script.close();
  std::error_code error;
  std::filesystem::permissions(path, std::filesystem::perms(0755), error);
  return script.good() && !error;
}

bool installToolStandIns(const std::string& root) {
  for (auto tool : velmer::paths::toolPrograms()) {
    if (!installToolStandIn(root, tool)) {
      std::fprintf(stderr, "velmerd-sandbox: cannot install %s%s\n", root.c_str(), std::string(tool).c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return usage();
  velmer::DaemonOptions options;
  bool bare = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--trace-level") == 0 && i + 1 < argc && parseLevel(argv[i + 1], options.traceLevel)) {
      ++i;
    } else if (std::strcmp(argv[i], "--bare") == 0) {
      bare = true;
    } else {
      return usage();
    }
  }
  std::error_code error;
  auto root = std::filesystem::absolute(argv[1], error);
  if (error || !std::filesystem::is_directory(root)) {
    std::fprintf(stderr, "velmerd-sandbox: %s is not a directory\n", argv[1]);
    return 2;
  }
  options.root = root.lexically_normal().string();
  if (!bare && !(createImageDirectories(options.root) && installToolStandIns(options.root))) return 1;
  return velmer::runDaemon(options);
}
