// What the unit tests share: a fresh sandbox root for one test, removed after it, records
// built byte by byte, and the trace lines a call writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "paths.hpp"
#include "trace.h"

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmer-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    velmer::paths::setRoot(dir_.string());
  }
  ~TempRoot() {
    velmer::paths::setRoot("");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::filesystem::path& dir() const { return dir_; }

  // Writes `text` to `path` (relative to the root), creating its directories.
  void write(const std::filesystem::path& path, const std::string& text) const {
    std::filesystem::path full = dir_ / path;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream(full, std::ios::trunc) << text;
  }

 private:
  std::filesystem::path dir_;
};

inline std::string readText(const std::filesystem::path& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Records built by hand from their byte tables: little-endian numbers and texts at
// fixed offsets.
struct ByteTable {
  std::vector<uint8_t> b;
  explicit ByteTable(size_t size) : b(size, 0) {}
  ByteTable& num(size_t offset, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }
  ByteTable& text(size_t offset, const std::string& s) {
    std::memcpy(&b[offset], s.data(), s.size());
    return *this;
  }
};

// The trace lines, at every level, that `action` writes.
template <typename Action>
std::string traceOf(Action action) {
  const int saved = trace_get_threshold();
  trace_set_threshold(9);
  testing::internal::CaptureStderr();
  action();
  std::string lines = testing::internal::GetCapturedStderr();
  trace_set_threshold(saved);
  return lines;
}
