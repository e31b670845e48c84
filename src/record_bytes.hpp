// Little-endian fields at fixed offsets of a byte record: how the backup files lay out
// numbers and texts. Readers never trust the record: every access is bounded by the
// field's width, and a text without a NUL ends at its width.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace velmer::bytes {

template <class T>
void put(uint8_t* record, size_t offset, T value) {
  auto raw = static_cast<std::make_unsigned_t<T>>(value);
  for (size_t i = 0; i < sizeof(T); ++i) record[offset + i] = static_cast<uint8_t>(raw >> (8 * i));
}

template <class T>
T get(const uint8_t* record, size_t offset) {
  std::make_unsigned_t<T> raw = 0;
  for (size_t i = 0; i < sizeof(T); ++i)
    raw = static_cast<std::make_unsigned_t<T>>(raw | (static_cast<std::make_unsigned_t<T>>(record[offset + i]) << (8 * i)));
  return static_cast<T>(raw);
}

// Writes at most width - 1 characters and a NUL; the rest of the field is zero.
inline void putText(uint8_t* record, size_t offset, size_t width, std::string_view text) {
  std::memset(record + offset, 0, width);
  std::memcpy(record + offset, text.data(), std::min(text.size(), width - 1));
}

// The text up to its NUL, or the whole field when it has none.
inline std::string getText(const uint8_t* record, size_t offset, size_t width) {
  const auto* start = reinterpret_cast<const char*>(record + offset);
  return std::string(start, strnlen(start, width));
}

}  // namespace velmer::bytes
