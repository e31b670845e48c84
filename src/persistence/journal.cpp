#include "persistence/journal.hpp"

#include <array>
#include <fstream>
#include <memory>

#include "paths.hpp"
#include "persistence/record_bytes.hpp"

namespace velmer {

namespace {

constexpr char kMagic[4] = {'V', 'J', 'N', 'L'};
constexpr size_t kChecksumOffset = 4;
constexpr size_t kChecksummedFrom = 8;

enum HeaderOffset : size_t { kSequence = 8, kPayloadSize = 16, kOperation = 20, kIDLength = 21 };

std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
    table[i] = value;
  }
  return table;
}

bool isPut(JournalOp op) { return op == JournalOp::PutJob || op == JournalOp::PutQueue; }

StoredKind kindOf(JournalOp op) {
  return op == JournalOp::PutJob || op == JournalOp::RemoveJob ? StoredKind::Job : StoredKind::Queue;
}

bool knownOperation(uint8_t op) { return op >= 1 && op <= 4; }

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
  static const std::array<uint32_t, 256> table = makeCrcTable();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

std::vector<uint8_t> encodeJournalEntry(uint64_t sequence, JournalOp op, std::string_view id,
                                        const PackedRecord& packed) {
  const size_t idLength = std::min<size_t>(id.size(), 255);
  const size_t payload = idLength + packed.size();
  std::vector<uint8_t> entry(kJournalHeaderSize + payload, 0);
  std::copy(std::begin(kMagic), std::end(kMagic), entry.begin());
  bytes::put<uint64_t>(entry.data(), kSequence, sequence);
  bytes::put<uint32_t>(entry.data(), kPayloadSize, static_cast<uint32_t>(payload));
  bytes::put<uint8_t>(entry.data(), kOperation, static_cast<uint8_t>(op));
  bytes::put<uint8_t>(entry.data(), kIDLength, static_cast<uint8_t>(idLength));
  std::copy_n(id.data(), idLength, entry.begin() + kJournalHeaderSize);
  std::copy(packed.begin(), packed.end(), entry.begin() + static_cast<std::ptrdiff_t>(kJournalHeaderSize + idLength));
  bytes::put<uint32_t>(entry.data(), kChecksumOffset,
                       crc32(entry.data() + kChecksummedFrom, entry.size() - kChecksummedFrom));
  return entry;
}

ObjectRead readJournalEntry(std::istream& stream, JournalEntry& entry, ReadStop& stop, uint64_t expectedSequence) {
  entry = JournalEntry{};
  entry.offset = streamOffset(stream);
  uint8_t header[kJournalHeaderSize];
  if (const ObjectRead read = readHeader(stream, header, sizeof header, entry.offset, stop); read != ObjectRead::Object)
    return read;
  if (!std::equal(std::begin(kMagic), std::end(kMagic), header)) {
    damagedAt(stop, Damage::BadSignature, entry.offset, "magic", 0);
    stop.text = bytes::getText(header, 0, sizeof kMagic);
    return ObjectRead::Damaged;
  }
  const uint32_t payloadSize = bytes::get<uint32_t>(header, kPayloadSize);
  if (payloadSize > kJournalMaxPayload)
    return damagedAt(stop, Damage::PayloadTooLarge, entry.offset + kPayloadSize, "payload size", payloadSize,
                   kJournalMaxPayload);
  std::vector<uint8_t> payload(payloadSize);
  const size_t payloadGot = readUpTo(stream, payload.data(), payloadSize);
  if (payloadGot < payloadSize)
    return damagedAt(stop, stream.bad() ? Damage::ReadFailed : Damage::ShortRecord, entry.offset + kJournalHeaderSize,
                   "payload", payloadGot, payloadSize);
  const uint32_t stored = bytes::get<uint32_t>(header, kChecksumOffset);
  const uint32_t computed = crc32(payload.data(), payload.size(),
                                  crc32(header + kChecksummedFrom, kJournalHeaderSize - kChecksummedFrom));
  if (stored != computed) return damagedAt(stop, Damage::BadChecksum, entry.offset + kChecksumOffset, "checksum", stored, computed);
  entry.sequence = bytes::get<uint64_t>(header, kSequence);
  if (expectedSequence != 0 && entry.sequence != expectedSequence)
    return damagedAt(stop, Damage::BadSequence, entry.offset + kSequence, "sequence", entry.sequence, expectedSequence);
  const uint8_t op = header[kOperation];
  const size_t idLength = header[kIDLength];
  if (!knownOperation(op)) return damagedAt(stop, Damage::BadEntry, entry.offset + kOperation, "operation", op);
  entry.op = static_cast<JournalOp>(op);
  if (idLength == 0 || idLength > payloadSize || (!isPut(entry.op) && idLength != payloadSize))
    return damagedAt(stop, Damage::BadEntry, entry.offset + kIDLength, "ID length", idLength);
  entry.id.assign(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(idLength));
  entry.packed.assign(payload.begin() + static_cast<std::ptrdiff_t>(idLength), payload.end());
  // A set operation's record must unpack to a whole record of its kind.
  if (isPut(entry.op) && !unpacksWhole(kindOf(entry.op), entry.packed))
    return damagedAt(stop, Damage::BadEntry, entry.offset + kJournalHeaderSize + idLength, "record",
                   entry.packed.size());
  return ObjectRead::Object;
}

JournalRead applyJournal(std::istream& stream, StoreImage& image) {
  JournalRead result;
  result.found = true;
  for (;;) {
    JournalEntry entry;
    const uint64_t expected = result.entries == 0 ? 0 : result.lastSequence + 1;
    const ObjectRead read = readJournalEntry(stream, entry, result.stop, expected);
    if (read != ObjectRead::Object) return result;
    const StoredKey key{kindOf(entry.op), entry.id};
    if (isPut(entry.op)) {
      image.put(key.kind, key.id, std::move(entry.packed));
      result.removed.erase(key);
    } else {
      image.remove(key.kind, key.id);
      result.removed.insert(key);
    }
    ++result.entries;
    result.lastSequence = entry.sequence;
    result.validBytes = streamOffset(stream);
  }
}

StoreImage readStoredImage(const std::string& directory, BackupFileRead& backup, JournalRead& journal) {
  QueueRecordPass pass;
  StoreImage image;
  backup = BackupFileRead{};
  journal = JournalRead{};
  std::ifstream backupStream(directory + "/" + std::string(paths::kBackupFileName), std::ios::binary);
  if (backupStream.is_open()) backup = readBackupFileInto(backupStream, image);
  std::ifstream journalStream(directory + "/" + std::string(paths::kJournalFileName), std::ios::binary);
  if (journalStream.is_open()) journal = applyJournal(journalStream, image);
  return image;
}

}  // namespace velmer
