// The journal: every change made to the store since the backup file was last written,
// appended to a file of the daemon's own beside it ("jobsandqueues.journal"), so that a
// report costs a few hundred bytes on flash instead of a rewrite of the whole store.
//
// An entry sets one job or queue to a packed record, or removes it. Each is a 24-byte
// header and a payload, integers little-endian:
//   0  "VJNL"             8  sequence number (u64), one more than the entry before
//   4  CRC-32 of bytes 8 to the entry's end
//   16 payload size (u32) 20 operation (u8)   21 ID length (u8)   22 zero (u16)
//   24 the ID, then (set operations) the packed record
// Reading stops at the first entry that is cut short, fails its checksum or breaks the
// sequence: a write cut by a power failure loses only the changes it carried, and the
// entries before it are kept.
//
// Restore reads the backup file, then applies the journal. The backup file is rewritten
// whole (a checkpoint) only after every change was appended; the journal is emptied after
// it. A crash in between leaves a journal whose every entry the new backup file already
// holds, and applying it again changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "persistence/read_stop.hpp"
#include "persistence/store_image.hpp"

namespace velmer {

inline constexpr size_t kJournalHeaderSize = 24;
// Far above any entry (a packed queue record is at most its 131,632 bytes and a little):
// a larger size is damage, refused before it costs memory.
inline constexpr uint32_t kJournalMaxPayload = 256 * 1024;

enum class JournalOp : uint8_t { PutJob = 1, PutQueue = 2, RemoveJob = 3, RemoveQueue = 4 };

struct JournalEntry {
  uint64_t offset = 0;  // of its header in the file
  uint64_t sequence = 0;
  JournalOp op = JournalOp::PutJob;
  std::string id;
  PackedRecord packed;  // empty for a removal
};

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// The bytes of one entry.
std::vector<uint8_t> encodeJournalEntry(uint64_t sequence, JournalOp op, std::string_view id,
                                        const PackedRecord& packed = {});

// Reads the next entry: End at a clean end, Damaged (with `stop`) for an entry cut short,
// a checksum that does not match, a sequence number other than `expectedSequence` (0:
// any), or a payload that cannot be read.
ObjectRead readJournalEntry(std::istream& stream, JournalEntry& entry, ReadStop& stop, uint64_t expectedSequence);

// What applying a journal did.
struct JournalRead {
  bool found = false;           // the file could be opened
  size_t entries = 0;           // applied
  uint64_t lastSequence = 0;    // of the last entry applied
  uint64_t validBytes = 0;      // up to the end of the last entry applied
  ReadStop stop;                // Damage::None when it was read to its end
  std::set<StoredKey> removed;  // objects whose last entry removed them
};

// Applies every entry up to the end or the first damage to `image`.
JournalRead applyJournal(std::istream& stream, StoreImage& image);

// The store a directory holds: its backup file, then its journal. `backup` and `journal`
// say how each was read.
StoreImage readStoredImage(const std::string& directory, BackupFileRead& backup, JournalRead& journal);

}  // namespace velmer
