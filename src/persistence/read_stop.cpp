#include "persistence/read_stop.hpp"

#include <istream>

namespace velmer {

std::string describe(const ReadStop& stop) {
  const std::string found = std::to_string(stop.found);
  const std::string expected = std::to_string(stop.expected);
  switch (stop.damage) {
    case Damage::None:
      return "";
    case Damage::ShortHeader:
      return "the file ends " + found + " bytes into a header of " + expected;
    case Damage::ReadFailed:
      return "the file could not be read";
    case Damage::BadSignature:
      return "signature \"" + stop.text + "\" is not \"JOBCTR\"";
    case Damage::UnknownType:
      return "unknown object type " + found;
    case Damage::SizeMismatch:
      return "object size " + found + " is not " + expected + ", the record size of its type";
    case Damage::PayloadTooSmall:
      return "payload size " + found + " is below " + expected;
    case Damage::PayloadTooLarge:
      return "payload size " + found + " is above " + expected;
    case Damage::ShortRecord:
      return "the file ends " + found + " bytes into a record of " + expected;
    case Damage::RecordSizeMismatch:
      return "record size " + found + " differs from the header's " + expected;
    case Damage::RecordTooSmall:
      return "a record of " + found + " bytes is shorter than its fixed part of " + expected;
    case Damage::ConversionFailed:
      return "a job record of an older layout (lowest text offset " + found + ") could not be converted";
    case Damage::BadChecksum:
      return "checksum " + found + " does not match the entry's bytes (" + expected + ")";
    case Damage::BadSequence:
      return "sequence number " + found + " where " + expected + " follows";
    case Damage::BadEntry:
      return "the entry's " + stop.field + " cannot be read";
  }
  return "";
}

uint64_t streamOffset(std::istream& stream) {
  const auto position = stream.tellg();
  return position < 0 ? 0 : static_cast<uint64_t>(position);
}

size_t readUpTo(std::istream& stream, void* data, size_t size) {
  stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
  return static_cast<size_t>(stream.gcount());
}

ObjectRead readHeader(std::istream& stream, void* header, size_t size, uint64_t offset, ReadStop& stop) {
  const size_t got = readUpTo(stream, header, size);
  if (stream.bad()) return damagedAt(stop, Damage::ReadFailed, offset, "header", got);
  if (got == 0) return ObjectRead::End;
  if (got < size) return damagedAt(stop, Damage::ShortHeader, offset, "header", got, size);
  return ObjectRead::Object;
}

ObjectRead damagedAt(ReadStop& stop, Damage damage, uint64_t offset, const char* field, uint64_t found,
                     uint64_t expected) {
  stop = {damage, offset, field, found, expected, ""};
  return ObjectRead::Damaged;
}

}  // namespace velmer
