#include "persistence/store_image.hpp"

#include <algorithm>
#include <array>
#include <memory>

#include "persistence/backup_file.hpp"

namespace velmer {

namespace {

constexpr size_t kIDWidth = 256;

void putVarint(PackedRecord& out, size_t value) {
  do {
    uint8_t byte = value & 0x7f;
    value >>= 7;
    out.push_back(value != 0 ? byte | 0x80 : byte);
  } while (value != 0);
}

// A varint of at most 4 bytes (28 bits, far above any record): false at the end of the
// input or for a longer one.
bool getVarint(const uint8_t*& in, const uint8_t* end, size_t& value) {
  value = 0;
  for (int shift = 0; shift < 28; shift += 7) {
    if (in == end) return false;
    const uint8_t byte = *in++;
    value |= static_cast<size_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace

namespace {

// The queue record buffer of this thread's outermost QueueRecordPass, and whether a
// RecordBuffer holds it now.
thread_local std::vector<uint8_t>* passQueueBuffer = nullptr;
thread_local bool passQueueBufferTaken = false;

}  // namespace

RecordBuffer::RecordBuffer(StoredKind kind) {
  static thread_local std::array<uint8_t, kJobRecordSize> job;
  if (kind == StoredKind::Job) {
    job.fill(0);
    data_ = job.data();
    return;
  }
  if (passQueueBuffer != nullptr && !passQueueBufferTaken) {
    std::fill(passQueueBuffer->begin(), passQueueBuffer->end(), 0);
    data_ = passQueueBuffer->data();
    borrowed_ = passQueueBufferTaken = true;
    return;
  }
  own_.resize(kQueueRecordSize);
  data_ = own_.data();
}

RecordBuffer::~RecordBuffer() {
  if (borrowed_) passQueueBufferTaken = false;
}

QueueRecordPass::QueueRecordPass() {
  if (passQueueBuffer != nullptr) return;  // an outer pass's buffer serves
  buffer_.resize(kQueueRecordSize);
  passQueueBuffer = &buffer_;
}

QueueRecordPass::~QueueRecordPass() {
  if (passQueueBuffer == &buffer_) passQueueBuffer = nullptr;
}

PackedRecord packRecord(const uint8_t* record, size_t size) {
  PackedRecord packed;
  size_t at = 0;
  while (at < size) {
    // A literal runs up to the next run of zeros worth squeezing (three or more, or the end).
    size_t literalEnd = at;
    while (literalEnd < size) {
      if (record[literalEnd] != 0) {
        ++literalEnd;
        continue;
      }
      size_t zeros = literalEnd;
      while (zeros < size && record[zeros] == 0 && zeros - literalEnd < 3) ++zeros;
      if (zeros - literalEnd >= 3 || zeros == size) break;
      literalEnd = zeros;
    }
    size_t zeroEnd = literalEnd;
    while (zeroEnd < size && record[zeroEnd] == 0) ++zeroEnd;
    putVarint(packed, literalEnd - at);
    packed.insert(packed.end(), record + at, record + literalEnd);
    putVarint(packed, zeroEnd - literalEnd);
    at = zeroEnd;
  }
  return packed;
}

bool unpackRecord(const uint8_t* packed, size_t packedSize, uint8_t* record, size_t size) {
  const uint8_t* in = packed;
  const uint8_t* end = packed + packedSize;
  size_t at = 0;
  while (at < size) {
    size_t literal = 0, zeros = 0;
    if (!getVarint(in, end, literal) || literal > size - at || literal > static_cast<size_t>(end - in)) return false;
    std::copy_n(in, literal, record + at);
    in += literal;
    at += literal;
    if (!getVarint(in, end, zeros) || zeros > size - at) return false;
    std::fill_n(record + at, zeros, 0);
    at += zeros;
    if (literal == 0 && zeros == 0) return false;  // would never end
  }
  return in == end;
}

PackedRecord packJob(const JobInfoRecord& job) {
  RecordBuffer buffer(StoredKind::Job);
  uint8_t* record = buffer.data();
  encodeJobRecord(job, record);  // a job is packed at every write: no log lines for it
  return packRecord(record, kJobRecordSize);
}

PackedRecord packQueue(const JobQueueRecord& queue) {
  RecordBuffer buffer(StoredKind::Queue);
  uint8_t* record = buffer.data();
  convertToJobQueueInfoControlObjFile(queue, record);
  return packRecord(record, kQueueRecordSize);
}

bool unpacksWhole(StoredKind kind, const PackedRecord& packed, const std::function<void(const uint8_t*)>& use) {
  RecordBuffer buffer(kind);
  if (!unpackRecord(packed.data(), packed.size(), buffer.data(), recordSize(kind))) return false;
  if (use) use(buffer.data());
  return true;
}

bool unpackJob(const PackedRecord& packed, JobInfoRecord& job) {
  return unpacksWhole(StoredKind::Job, packed, [&](const uint8_t* record) { convertToJobServInfoObj(record, job); });
}

bool unpackQueue(const PackedRecord& packed, JobQueueRecord& queue) {
  return unpacksWhole(StoredKind::Queue, packed,
                      [&](const uint8_t* record) { convertToJobQueueInfoControlObj(record, queue); });
}

size_t recordSize(StoredKind kind) { return kind == StoredKind::Job ? kJobRecordSize : kQueueRecordSize; }

std::string storedID(const std::string& id) {
  return id.substr(0, std::min(id.find('\0'), kIDWidth - 1));
}

void StoreImage::put(StoredKind kind, const std::string& id, PackedRecord packed) {
  auto [entry, added] = records_.try_emplace(StoredKey{kind, id}, std::move(packed));
  if (added)
    order(kind).push_back(id);
  else
    entry->second = std::move(packed);
}

bool StoreImage::add(StoredKind kind, const std::string& id, PackedRecord packed) {
  if (contains(kind, id)) return false;
  put(kind, id, std::move(packed));
  return true;
}

void StoreImage::remove(StoredKind kind, const std::string& id) {
  if (records_.erase(StoredKey{kind, id}) == 0) return;
  std::erase(order(kind), id);
}

const PackedRecord* StoreImage::find(StoredKind kind, const std::string& id) const {
  auto entry = records_.find(StoredKey{kind, id});
  return entry == records_.end() ? nullptr : &entry->second;
}

const std::vector<std::string>& StoreImage::ids(StoredKind kind) const {
  return kind == StoredKind::Job ? jobOrder_ : queueOrder_;
}

void StoreImage::clear() {
  records_.clear();
  jobOrder_.clear();
  queueOrder_.clear();
}

ObjectRead readBackupObjectInto(std::istream& stream, StoreImage& image, BackupObject& object, ReadStop& stop) {
  const ObjectRead read = readBackupObject(stream, object, stop);
  if (read != ObjectRead::Object) return read;
  if (const auto* job = std::get_if<JobInfoRecord>(&object.record))
    image.add(StoredKind::Job, storedID(job->jsJobID), std::move(object.packed));
  else if (const auto* queue = std::get_if<JobQueueRecord>(&object.record))
    image.add(StoredKind::Queue, storedID(queue->jsQueueID), std::move(object.packed));
  return read;
}

BackupFileRead readBackupFileInto(std::istream& stream, StoreImage& image) {
  BackupFileRead result;
  result.found = true;
  for (;;) {
    BackupObject object;
    switch (readBackupObjectInto(stream, image, object, result.stop)) {
      case ObjectRead::Object:
        if (!std::holds_alternative<std::monostate>(object.record)) ++result.objects;
        break;
      case ObjectRead::End:
        result.whole = true;
        return result;
      case ObjectRead::Damaged:
        return result;
    }
  }
}

}  // namespace velmer
