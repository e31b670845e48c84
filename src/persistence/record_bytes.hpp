// Little-endian fields at fixed offsets of a byte record: how the backup files lay out
// numbers and texts. Readers never trust the record: every access is bounded by the
// field's width, and a text without a NUL ends at its width.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

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

// A number of a record at a fixed offset, stored in `width` bytes (1, 2, 4 or 8). A field
// stored narrower than its record member keeps the member's low bits; reading widens it.
template <class Record>
struct NumberField {
  std::variant<int64_t Record::*, uint32_t Record::*, uint16_t Record::*, uint8_t Record::*> member;
  size_t offset;
  size_t width;
};

// A text of a record at a fixed offset, in a field of `width` bytes.
template <class Record>
struct TextField {
  std::string Record::*member;
  size_t offset;
  size_t width;
};

inline void putNumber(uint8_t* record, size_t offset, size_t width, uint64_t value) {
  switch (width) {
    case 1:
      return put<uint8_t>(record, offset, static_cast<uint8_t>(value));
    case 2:
      return put<uint16_t>(record, offset, static_cast<uint16_t>(value));
    case 4:
      return put<uint32_t>(record, offset, static_cast<uint32_t>(value));
    default:
      return put<uint64_t>(record, offset, value);
  }
}

inline uint64_t getNumber(const uint8_t* record, size_t offset, size_t width) {
  switch (width) {
    case 1:
      return get<uint8_t>(record, offset);
    case 2:
      return get<uint16_t>(record, offset);
    case 4:
      return get<uint32_t>(record, offset);
    default:
      return get<uint64_t>(record, offset);
  }
}

// One table per layout serves both the writer and the reader.
template <class Record, size_t N>
void putNumbers(uint8_t* bytes, const Record& record, const NumberField<Record> (&fields)[N]) {
  for (const auto& field : fields)
    std::visit([&](auto member) { putNumber(bytes, field.offset, field.width, static_cast<uint64_t>(record.*member)); },
               field.member);
}

template <class Record, size_t N>
void getNumbers(const uint8_t* bytes, Record& record, const NumberField<Record> (&fields)[N]) {
  for (const auto& field : fields)
    std::visit(
        [&](auto member) {
          using Value = std::remove_reference_t<decltype(record.*member)>;
          record.*member = static_cast<Value>(getNumber(bytes, field.offset, field.width));
        },
        field.member);
}

template <class Record, size_t N>
void putTexts(uint8_t* bytes, const Record& record, const TextField<Record> (&fields)[N]) {
  for (const auto& field : fields) putText(bytes, field.offset, field.width, record.*(field.member));
}

template <class Record, size_t N>
void getTexts(const uint8_t* bytes, Record& record, const TextField<Record> (&fields)[N]) {
  for (const auto& field : fields) record.*(field.member) = getText(bytes, field.offset, field.width);
}

}  // namespace velmer::bytes
