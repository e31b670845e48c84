#include "utl.h"

#include "temp_root.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Polls `condition` until it holds or five seconds have passed.
bool eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool noChildLeft() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

fs::perms modeOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

}  // namespace

TEST(Utl, RunReportsExitCodeInHighByte) {
  TempRoot root;
  std::string exit25 = root.script("exit25", "exit 25");
  EXPECT_EQ(utl_va_run(exit25.c_str(), nullptr), 25 << 8);
  EXPECT_EQ(utl_va_run("/bin/true", nullptr), 0);
  EXPECT_EQ(utl_va_run("/bin/false", nullptr) >> 8, 1);

  std::string killed = root.script("killed", "kill -TERM $$");
  int status = utl_va_run(killed.c_str(), nullptr);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(Utl, ProgramThatCannotStartYields127) {
  TempRoot root;
  std::string notExecutable = root.write("plain.txt", "exit 0\n", 0644);
  EXPECT_EQ(utl_va_run("/nonexistent/tool", nullptr), 127 << 8);
  EXPECT_EQ(utl_va_run("true", nullptr), 127 << 8) << "no PATH search";
  EXPECT_EQ(utl_va_run(notExecutable.c_str(), nullptr), 127 << 8);
  char* const argv[] = {const_cast<char*>("/nonexistent/tool"), nullptr};
  EXPECT_EQ(utl_execve(nullptr, nullptr, nullptr, argv, nullptr), 127 << 8);
  EXPECT_EQ(utl_va_run(nullptr), -1);

  EXPECT_NE(utl_va_run_background("/nonexistent/tool", nullptr), 0);
  EXPECT_TRUE(noChildLeft()) << "the failed child is reaped before the call returns";
}

TEST(Utl, ArgumentsArriveVerbatimWithoutShell) {
  TempRoot root;
  std::string out = (root.dir() / "args").string();
  std::string echo = root.script("echo", "printf '[%s]\\n' \"$@\" > \"$OUT\"");
  setenv("OUT", out.c_str(), 1);  // utl_va_run passes the caller's environment on
  EXPECT_EQ(utl_va_run(echo.c_str(), "it's", "a;b", "$(touch pwned)", "\"q\"", "", "two words", nullptr), 0);
  unsetenv("OUT");
  EXPECT_EQ(readText(out), "[it's]\n[a;b]\n[$(touch pwned)]\n[\"q\"]\n[]\n[two words]\n");
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists(root.dir() / "pwned"));
}

TEST(Utl, ExecvePassesArgvAndEnvpExactly) {
  TempRoot root;
  std::string out = (root.dir() / "seen").string();
  std::string show = root.script("show", "printf '%s|' \"$#\" \"$1\" \"$JID\" \"${HOME-unset}\" > " + out + "; exit 3");
  char* const argv[] = {show.data(), const_cast<char*>("200"), nullptr};
  char* const envp[] = {const_cast<char*>("JID=JID_000000000042"), nullptr};
  EXPECT_EQ(utl_execve(nullptr, nullptr, nullptr, argv, envp), 3 << 8);
  EXPECT_EQ(readText(out), "1|200|JID_000000000042|unset|") << "only envp, nothing of ours";
}

TEST(Utl, ChildInheritsNoDescriptorAboveStderr) {
  TempRoot root;
  int leaked = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 3);
  std::string probe = root.script("probe", "test -e /proc/$$/fd/" + std::to_string(leaked) + " && exit 9; exit 0");
  EXPECT_EQ(utl_va_run(probe.c_str(), nullptr), 0);
  close(leaked);
}

TEST(Utl, BackgroundProgramIsReapedWhenItEnds) {
  TempRoot root;
  fs::path pidFile = root.dir() / "pid";
  fs::path go = root.dir() / "go";
  std::string tool = root.script("tool", "echo $$ > " + pidFile.string() + ".tmp; mv " + pidFile.string() +
                                             ".tmp " + pidFile.string() + "; while [ ! -e " + go.string() +
                                             " ]; do sleep 0.01; done; exit 4");
  ASSERT_EQ(utl_va_run_background(tool.c_str(), "cleanup", nullptr), 0) << "returns while the program runs";
  ASSERT_TRUE(eventually([&] { return fs::exists(pidFile); }));
  fs::path proc = "/proc/" + std::to_string(std::stoi(readText(pidFile)));
  EXPECT_TRUE(fs::exists(proc));

  root.write("go", "");
  EXPECT_TRUE(eventually([&] { return !fs::exists(proc); })) << "a zombie keeps its /proc entry";
  EXPECT_TRUE(noChildLeft());
}

TEST(Utl, CopyMergesTreesReplacingEntriesAndKeepingModesAndLinks) {
  TempRoot root;
  fs::path src = root.dir() / "src";
  fs::path dst = root.dir() / "dst";
  root.write("src/a.txt", "new", 0640);
  root.write("src/sub/tool", "#!", 0755);
  fs::create_directory_symlink("sub", src / "link");
  root.write("dst/a.txt", "old", 0400);
  root.write("dst/sub/keep.txt", "kept");                  // merged, not wiped
  root.write("dst/link/inside", "a directory in the way");
  fs::create_symlink(root.dir() / "outside", dst / "sub/tool");  // replaced, never written through
  fs::permissions(src / "sub", fs::perms(0555));           // must not keep its children out

  EXPECT_EQ(utl_cp_children_force_recursive(src.c_str(), dst.c_str(), 1, nullptr), 0);
  EXPECT_EQ(readText(dst / "a.txt"), "new");
  EXPECT_EQ(modeOf(dst / "a.txt"), fs::perms(0640));
  EXPECT_EQ(readText(dst / "sub/tool"), "#!");
  EXPECT_EQ(modeOf(dst / "sub/tool"), fs::perms(0755));
  EXPECT_FALSE(fs::exists(root.dir() / "outside"));
  EXPECT_EQ(modeOf(dst / "sub"), fs::perms(0555));
  EXPECT_EQ(readText(dst / "sub/keep.txt"), "kept");
  EXPECT_EQ(fs::read_symlink(dst / "link"), "sub");
  fs::permissions(src / "sub", fs::perms(0755));
  fs::permissions(dst / "sub", fs::perms(0755));

  EXPECT_EQ(utl_cp_children_force_recursive(src.c_str(), (root.dir() / "new/deep").c_str(), 1, nullptr), 0);
  EXPECT_EQ(readText(root.dir() / "new/deep/a.txt"), "new");
  EXPECT_NE(utl_cp_children_force_recursive((root.dir() / "missing").c_str(), dst.c_str(), 1, nullptr), 0);
}

TEST(Utl, RemoveTakesChildrenWhoseNameContainsThePattern) {
  TempRoot root;
  fs::path dir = root.dir() / "recovery";
  root.write("recovery/payload.bin", "x");
  root.write("recovery/old_payload/inner/file", "x");
  root.write("recovery/Payload.txt", "x");  // the match is case sensitive
  root.write("recovery/bios.cap", "x");

  EXPECT_EQ(utl_rm_children_force_recursive(dir.c_str(), 0, "payload"), 0);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.insert(entry.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{"Payload.txt", "bios.cap"}));

  EXPECT_EQ(utl_rm_children_force_recursive(dir.c_str(), 0, "nothing-matches"), 0);
  EXPECT_EQ(utl_rm_children_force_recursive(dir.c_str(), 0, nullptr), 0);
  EXPECT_TRUE(fs::is_empty(dir)) << "no pattern matches every child";
  EXPECT_TRUE(fs::exists(dir)) << "the directory itself stays";

  EXPECT_EQ(utl_rm_children_force_recursive((root.dir() / "missing").c_str(), 0, "cap"), 0);
  std::string file = root.write("file", "x");
  EXPECT_NE(utl_rm_children_force_recursive(file.c_str(), 0, "cap"), 0);
}
