#include "backup_layout.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

namespace velmer::e2e::layout {

namespace {

constexpr size_t kTextWidth = 256;
constexpr size_t kSlotCountOffset = 66088;
constexpr size_t kSlotsOffset = 66092;

template <class Record>
struct Field {
  const char* property;
  size_t offset;
  size_t width;  // bytes on disk
  std::variant<int64_t Record::*, uint32_t Record::*, uint16_t Record::*, uint8_t Record::*, std::string Record::*>
      member;
};

// The job record, object type 1.
const Field<JobInfoRecord> kJobFields[] = {
    {"startTime", 0, 8, &JobInfoRecord::startTime},
    {"untilTime", 8, 8, &JobInfoRecord::untilTime},
    {"completionTime", 16, 8, &JobInfoRecord::completionTime},
    {"processID", 24, 4, &JobInfoRecord::processID},
    {"runningTimeoutSeconds", 28, 4, &JobInfoRecord::runningTimeoutSeconds},
    {"jobName", 32, kTextWidth, &JobInfoRecord::jobName},
    {"message", 288, kTextWidth, &JobInfoRecord::message},
    {"messageArgs", 544, kTextWidth, &JobInfoRecord::messageArgs},
    {"queueID", 800, kTextWidth, &JobInfoRecord::queueID},
    {"jobStatus", 1056, kTextWidth, &JobInfoRecord::jobStatus},
    {"messageID", 1312, kTextWidth, &JobInfoRecord::messageID},
    {"jsJobID", 1568, kTextWidth, &JobInfoRecord::jsJobID},
    {"flags", 1824, 1, &JobInfoRecord::flags},
    {"jobType", 1828, 4, &JobInfoRecord::jobType},
    {"jobState", 1832, 4, &JobInfoRecord::jobState},
    {"percentComplete", 1836, 2, &JobInfoRecord::percentComplete},
    {"latestUpdateTime", 1840, 8, &JobInfoRecord::latestUpdateTime},
    {"creationTime", 1848, 8, &JobInfoRecord::creationTime},
    {"jobStateForInterface", 1856, 1, &JobInfoRecord::jobStateForInterface},
    {"reserved0", 1857, 1, &JobInfoRecord::reserved0},
    {"actualRunningStartTime", 1864, 8, &JobInfoRecord::actualRunningStartTime},
    {"actualRunningStopTime", 1872, 8, &JobInfoRecord::actualRunningStopTime},
};

// The queue record, object type 2, without its item slots.
const Field<JobQueueRecord> kQueueFields[] = {
    {"jsQueueID", 0, kTextWidth, &JobQueueRecord::jsQueueID},
    {"startTime", 256, 8, &JobQueueRecord::startTime},
    {"untilTime", 264, 8, &JobQueueRecord::untilTime},
    {"flags", 272, 4, &JobQueueRecord::flags},
    {"trackedJobCount", 276, 4, &JobQueueRecord::trackedJobCount},
    {"queueState", 65820, 1, &JobQueueRecord::queueState},
    {"itemCount", 66084, 4, &JobQueueRecord::itemCount},
};

// Little-endian numbers, in a Bytes record or in a std::string of a legacy file.
template <class Buffer>
void putNumber(Buffer& bytes, size_t offset, size_t width, uint64_t value) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<typename Buffer::value_type>(value >> (8 * i));
}

template <class Buffer>
uint64_t getNumber(const Buffer& bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= uint64_t{static_cast<uint8_t>(bytes[offset + i])} << (8 * i);
  return value;
}

void putText(Bytes& bytes, size_t offset, size_t width, const std::string& text) {
  std::memcpy(&bytes[offset], text.data(), std::min(text.size(), width - 1));
}

std::string getText(const Bytes& bytes, size_t offset, size_t width) {
  const char* start = reinterpret_cast<const char*>(&bytes[offset]);
  return std::string(start, strnlen(start, width));
}

// Calls `visit(field, member)` for every field, with the member pointer's own type.
template <class Record, class Visitor>
void forEachField(std::span<const Field<Record>> fields, Visitor&& visit) {
  for (const auto& field : fields) std::visit([&](auto member) { visit(field, member); }, field.member);
}

template <class Record>
void encodeFields(const Record& record, std::span<const Field<Record>> fields, Bytes& bytes) {
  forEachField(fields, [&]<class T>(const Field<Record>& field, T Record::*member) {
    if constexpr (std::is_same_v<T, std::string>)
      putText(bytes, field.offset, field.width, record.*member);
    else
      putNumber(bytes, field.offset, field.width, static_cast<uint64_t>(record.*member));
  });
}

template <class Record>
void decodeFields(const Bytes& bytes, std::span<const Field<Record>> fields, Record& record) {
  forEachField(fields, [&]<class T>(const Field<Record>& field, T Record::*member) {
    if constexpr (std::is_same_v<T, std::string>)
      record.*member = getText(bytes, field.offset, field.width);
    else
      record.*member = static_cast<T>(getNumber(bytes, field.offset, field.width));
  });
}

template <class Record>
void fieldsFromProperties(const PropertyMap& properties, std::span<const Field<Record>> fields, Record& record) {
  forEachField(fields, [&]<class T>(const Field<Record>& field, T Record::*member) {
    record.*member = properties.at(field.property).template get<T>();
  });
}

}  // namespace

std::vector<StoredObject> splitObjects(const std::string& file) {
  std::vector<StoredObject> objects;
  size_t position = 0;
  while (position < file.size()) {
    if (file.size() - position < kHeaderSize) throw std::runtime_error("the file ends inside a header");
    StoredObject object;
    object.header.assign(file.begin() + position, file.begin() + position + kHeaderSize);
    object.type = static_cast<uint32_t>(getNumber(object.header, 8, 4));
    const size_t size = getNumber(object.header, 12, 4);
    position += kHeaderSize;
    if (file.size() - position < size) throw std::runtime_error("the file ends inside a record");
    object.record.assign(file.begin() + position, file.begin() + position + size);
    position += size;
    objects.push_back(std::move(object));
  }
  return objects;
}

Bytes header(std::string_view signature, uint32_t type, uint32_t size) {
  Bytes bytes(kHeaderSize, 0);
  std::memcpy(bytes.data(), signature.data(), std::min<size_t>(signature.size(), 6));
  putNumber(bytes, 8, 4, type);
  putNumber(bytes, 12, 4, size);
  return bytes;
}

Bytes jobRecord(const JobInfoRecord& job) {
  Bytes record(kJobRecordSize, 0);
  encodeFields<JobInfoRecord>(job, kJobFields, record);
  return record;
}

Bytes jobObject(const JobInfoRecord& job) {
  return concat({header("JOBCTR", kJobType, kJobRecordSize), jobRecord(job)});
}

Bytes queueObject(const JobQueueRecord& queue, const uint32_t* slotCount) {
  Bytes record(kQueueRecordSize, 0);
  encodeFields<JobQueueRecord>(queue, kQueueFields, record);
  const size_t slots = std::min(queue.jobQueueItem.size(), kQueueSlotCount);
  putNumber(record, kSlotCountOffset, 4, slotCount != nullptr ? *slotCount : slots);
  for (size_t i = 0; i < slots; ++i) putText(record, kSlotsOffset + i * kTextWidth, kTextWidth, queue.jobQueueItem[i]);
  return concat({header("JOBCTR", kQueueType, kQueueRecordSize), record});
}

JobInfoRecord decodeJob(const Bytes& record) {
  JobInfoRecord job;
  decodeFields<JobInfoRecord>(record, kJobFields, job);
  return job;
}

JobQueueRecord decodeQueue(const Bytes& record) {
  JobQueueRecord queue;
  decodeFields<JobQueueRecord>(record, kQueueFields, queue);
  const size_t slots = std::min<size_t>(getNumber(record, kSlotCountOffset, 4), kQueueSlotCount);
  for (size_t i = 0; i < slots; ++i)
    queue.jobQueueItem.push_back(getText(record, kSlotsOffset + i * kTextWidth, kTextWidth));
  return queue;
}

JobInfoRecord jobFromProperties(const PropertyMap& properties) {
  JobInfoRecord job;
  fieldsFromProperties<JobInfoRecord>(properties, kJobFields, job);
  return job;
}

JobQueueRecord queueFromProperties(const PropertyMap& properties) {
  JobQueueRecord queue;
  fieldsFromProperties<JobQueueRecord>(properties, kQueueFields, queue);
  queue.jsJobsList = properties.at("jsJobsList").get<std::vector<std::string>>();
  queue.reservedAllign = properties.at("reservedAllign").get<std::vector<uint8_t>>();
  queue.jobQueueItem = properties.at("jobQueueItem").get<std::vector<std::string>>();
  return queue;
}

PropertyMap restoredJobProperties(const JobInfoRecord& job) {
  PropertyMap properties;
  forEachField<JobInfoRecord>(kJobFields, [&](const Field<JobInfoRecord>& field, auto member) {
    if (std::string_view(field.property) != "reserved0") properties[field.property] = sdbus::Variant(job.*member);
  });
  return properties;
}

void writeBytes(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string legacyHeader(size_t payloadSize) {
  std::string header("JOBCTR\0\0\0\0\0\0", 12);
  putNumber(header, 8, 4, payloadSize);
  return header;
}

std::string legacyJob(const std::string& id, const std::string& name, const std::string& status) {
  // The text-offset table's entries for jobName, message, jobStatus and messageID.
  const std::pair<size_t, std::string> texts[] = {
      {52, name}, {56, "The job completed successfully."}, {68, status}, {72, "RED001"}};
  std::string record(144, '\0');
  for (const auto& [tableEntry, text] : texts) {
    putNumber(record, tableEntry, 4, record.size());
    record += text + '\0';
  }
  putNumber(record, 0, 4, record.size());
  putNumber(record, 8, 2, 0x0A03);
  putNumber(record, 20, 4, 76);
  putNumber(record, 40, 8, 1764949999);  // completionTime
  record.replace(76, id.size(), id);
  putNumber(record, 97, 1, 20);   // jobType
  putNumber(record, 98, 1, 4);    // jobState: completed
  putNumber(record, 99, 1, 100);  // percentComplete
  putNumber(record, 136, 8, 1764949998);
  return legacyHeader(record.size()) + record;
}

std::string legacyQueue(const std::string& id, const std::vector<std::string>& entries) {
  std::string record(76 + 20 * std::max<size_t>(entries.size(), 1), '\0');
  putNumber(record, 0, 4, record.size());
  putNumber(record, 8, 2, 0x0A04);
  putNumber(record, 20, 4, 44);
  putNumber(record, 32, 8, 4294967295);
  record.replace(44, id.size(), id);
  putNumber(record, 72, 4, entries.size());
  for (size_t i = 0; i < entries.size(); ++i) record.replace(76 + 20 * i, entries[i].size(), entries[i]);
  return legacyHeader(record.size()) + record;
}

std::vector<std::string> readLegacyStore(const std::string& bytes, bool* whole) {
  const auto textAt = [](const std::string& record, size_t offset) {
    return record.substr(offset, record.find('\0', offset) - offset);
  };
  std::vector<std::string> objects;
  size_t at = 0;
  while (at + 12 <= bytes.size() && bytes.compare(at, 6, "JOBCTR") == 0) {
    const size_t size = getNumber(bytes, at + 8, 4);
    const std::string record = bytes.substr(at + 12, size);
    if (record.size() != size || getNumber(record, 0, 4) != size) break;
    if (getNumber(record, 8, 2) == 0x0A03) {
      const size_t nameOffset = getNumber(record, 52, 4);
      objects.push_back("job " + textAt(record, 76) + " " + (nameOffset == 0 ? "" : textAt(record, nameOffset)));
    } else if (getNumber(record, 8, 2) == 0x0A04) {
      objects.push_back("queue " + textAt(record, 44));
      for (size_t i = 0; i < getNumber(record, 72, 4); ++i) objects.back() += " " + textAt(record, 76 + 20 * i);
    }
    at += 12 + size;
  }
  if (whole != nullptr) *whole = at == bytes.size();
  return objects;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace velmer::e2e::layout
