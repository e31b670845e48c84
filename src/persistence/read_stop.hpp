// Where and why the reading of a backup or legacy file stopped. The readers report damage
// as data: the daemon logs it with its own lines, velmer-dump prints it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

namespace velmer {

// What reading one object gave.
enum class ObjectRead { Object, End, Damaged };

enum class Damage {
  None,
  ShortHeader,         // the file ends inside an object header
  ReadFailed,          // the stream reported an error
  BadSignature,        // the header does not begin with "JOBCTR"
  UnknownType,         // an object type the format does not have
  SizeMismatch,        // a record size that is not that of its type (backup file)
  PayloadTooSmall,     // a legacy payload below the smallest record
  PayloadTooLarge,     // a legacy payload above the largest record the reader takes
  ShortRecord,         // the file ends inside a record
  RecordSizeMismatch,  // a legacy record whose own size differs from its header's
  RecordTooSmall,      // a legacy job or queue record shorter than its fixed part
  ConversionFailed,    // a legacy job of an older layout that could not be converted
  BadChecksum,         // a journal entry whose checksum does not match its bytes
  BadSequence,         // a journal entry out of sequence (left from an earlier journal)
  BadEntry,            // a journal entry whose operation, ID or record cannot be read
};

struct ReadStop {
  Damage damage = Damage::None;
  uint64_t offset = 0;    // in the file, of the field that was wrong
  std::string field;      // that field's name
  uint64_t found = 0;     // what it held: a size, a type, a number of bytes
  uint64_t expected = 0;  // what it should have held, where one value is right
  std::string text;       // a text field's content (the signature)
};

// The stop in words, for people.
std::string describe(const ReadStop& stop);

// The offset a stream is at, 0 when it cannot tell.
uint64_t streamOffset(std::istream& stream);

// Reads up to `size` bytes and answers how many came.
size_t readUpTo(std::istream& stream, void* data, size_t size);

// Reads a record's fixed-size header at `offset`: End when the file ends cleanly there,
// Damaged (with `stop` filled) on a read error or a header cut short, Object otherwise.
ObjectRead readHeader(std::istream& stream, void* header, size_t size, uint64_t offset, ReadStop& stop);

// Fills `stop` and answers Damaged.
ObjectRead damagedAt(ReadStop& stop, Damage damage, uint64_t offset, const char* field, uint64_t found,
                     uint64_t expected = 0);

}  // namespace velmer
