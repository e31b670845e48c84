#include "store_dump.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include "persistence/backup_file.hpp"
#include "jobs/job_object.hpp"
#include "persistence/journal.hpp"
#include "persistence/legacy_format.hpp"
#include "queues/queue_object.hpp"
#include "persistence/record_bytes.hpp"

namespace velmer::dump {

namespace {

// Every property of a record, by its bus name, from the object's own property table.
template <class Record, class Fields>
nlohmann::json fieldsOf(const Record& record, const Fields& fields) {
  nlohmann::json result = nlohmann::json::object();
  for (const auto& field : fields) {
    std::visit(
        [&](auto member) {
          using Value = std::remove_cvref_t<decltype(record.*member)>;
          if constexpr (std::is_same_v<Value, std::vector<uint8_t>>)
            result[std::string(field.name)] = nlohmann::json::array();  // never stored in a file
          else if constexpr (std::is_same_v<Value, bus::BlobKeyValue>)
            return;
          else
            result[std::string(field.name)] = record.*member;
        },
        field.member);
  }
  return result;
}

nlohmann::json objectJson(const DumpedObject& object) {
  nlohmann::json result = {{"offset", object.offset}};
  if (object.fromJournal) result["source"] = "journal";
  if (const auto* job = std::get_if<JobInfoRecord>(&object.content)) {
    result["type"] = "job";
    result["job"] = fieldsOf(*job, jobPropertyFields());
  } else if (const auto* queue = std::get_if<JobQueueRecord>(&object.content)) {
    result["type"] = "queue";
    result["queue"] = fieldsOf(*queue, queuePropertyFields());
  } else {
    result["type"] = "task";
    result["size"] = std::get<Task>(object.content).size;
  }
  return result;
}

Dump decodeBackup(std::istream& stream) {
  Dump dump;
  dump.format = Format::Backup;
  for (;;) {
    BackupObject object;
    switch (readBackupObject(stream, object, dump.stop)) {
      case ObjectRead::End:
      case ObjectRead::Damaged:
        return dump;
      case ObjectRead::Object:
        break;
    }
    DumpedObject dumped{.offset = object.offset, .content = Task{object.header.object_size}};
    if (auto* job = std::get_if<JobInfoRecord>(&object.record)) dumped.content = std::move(*job);
    if (auto* queue = std::get_if<JobQueueRecord>(&object.record)) dumped.content = std::move(*queue);
    dump.objects.push_back(std::move(dumped));
  }
}

Dump decodeLegacy(std::istream& stream) {
  Dump dump;
  dump.format = Format::Legacy;
  for (;;) {
    LegacyEntry entry;
    if (readLegacyEntry(stream, entry, dump.stop) != ObjectRead::Object) return dump;
    DumpedObject dumped;
    dumped.offset = entry.offset;
    std::visit([&](auto& record) { dumped.content = std::move(record); }, entry.record);
    dump.objects.push_back(std::move(dumped));
  }
}

// One row per field, the names aligned.
void appendRows(std::ostringstream& out, const nlohmann::json& fields) {
  for (const auto& [name, value] : fields.items())
    out << "  " << std::left << std::setw(24) << name << " "
        << (value.is_string() ? value.get<std::string>()
                              : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        << "\n";
}

nlohmann::json stopJson(const ReadStop& stop) {
  return {{"offset", stop.offset}, {"field", stop.field}, {"reason", describe(stop)}};
}

// The ID an object is stored under, and whether it is a job.
std::pair<bool, std::string> keyOf(const DumpedObject& object) {
  if (const auto* job = std::get_if<JobInfoRecord>(&object.content)) return {true, storedID(job->jsJobID)};
  if (const auto* queue = std::get_if<JobQueueRecord>(&object.content)) return {false, storedID(queue->jsQueueID)};
  return {false, ""};
}

// Sets or removes the object an entry names; a new one goes after the last of its kind.
void applyEntry(std::vector<DumpedObject>& objects, const JournalEntry& entry) {
  const bool job = entry.op == JournalOp::PutJob || entry.op == JournalOp::RemoveJob;
  auto same = [&](const DumpedObject& object) {
    auto [isJob, id] = keyOf(object);
    return isJob == job && id == entry.id && !std::holds_alternative<Task>(object.content);
  };
  auto found = std::find_if(objects.begin(), objects.end(), same);
  if (entry.op == JournalOp::RemoveJob || entry.op == JournalOp::RemoveQueue) {
    if (found != objects.end()) objects.erase(found);
    return;
  }
  DumpedObject object{.offset = entry.offset, .content = Task{}, .fromJournal = true};
  if (job) {
    JobInfoRecord record;
    unpackJob(entry.packed, record);
    object.content = std::move(record);
  } else {
    JobQueueRecord record;
    unpackQueue(entry.packed, record);
    object.content = std::move(record);
  }
  if (found != objects.end()) {
    *found = std::move(object);
    return;
  }
  // Jobs come before queues, as in the backup file.
  auto firstQueue = std::find_if(objects.begin(), objects.end(),
                                 [](const DumpedObject& o) { return !std::holds_alternative<JobInfoRecord>(o.content); });
  objects.insert(job ? firstQueue : objects.end(), std::move(object));
}

}  // namespace

void applyJournal(Dump& dump, std::istream& journal) {
  dump.journal = JournalDump{};
  dump.journal.read = true;
  uint64_t lastSequence = 0;
  for (;;) {
    JournalEntry entry;
    const uint64_t expected = dump.journal.entries == 0 ? 0 : lastSequence + 1;
    if (readJournalEntry(journal, entry, dump.journal.stop, expected) != ObjectRead::Object) return;
    applyEntry(dump.objects, entry);
    lastSequence = entry.sequence;
    ++dump.journal.entries;
  }
}

Format detectFormat(std::istream& stream) {
  uint8_t header[12] = {};
  stream.read(reinterpret_cast<char*>(header), sizeof header);
  const auto got = stream.gcount();
  stream.clear();
  stream.seekg(0);
  if (got < static_cast<std::streamsize>(sizeof header)) return Format::Backup;
  const uint32_t typeOrSize = bytes::get<uint32_t>(header, 8);
  return typeOrSize >= kJobObject && typeOrSize <= kTaskObject ? Format::Backup : Format::Legacy;
}

Dump decodeStream(std::istream& stream) {
  return detectFormat(stream) == Format::Backup ? decodeBackup(stream) : decodeLegacy(stream);
}

nlohmann::json toJson(const Dump& dump) {
  nlohmann::json result = {{"format", dump.format == Format::Backup ? "backup" : "legacy"},
                           {"objects", nlohmann::json::array()},
                           {"complete", dump.stop.damage == Damage::None}};
  for (const auto& object : dump.objects) result["objects"].push_back(objectJson(object));
  if (dump.stop.damage != Damage::None) result["damage"] = stopJson(dump.stop);
  if (dump.journal.read) {
    result["journal"] = {{"entries", dump.journal.entries}, {"complete", dump.journal.stop.damage == Damage::None}};
    if (dump.journal.stop.damage != Damage::None) result["journal"]["damage"] = stopJson(dump.journal.stop);
  }
  return result;
}

std::string toTable(const Dump& dump) {
  std::ostringstream out;
  out << "format: " << (dump.format == Format::Backup ? "backup" : "legacy") << ", " << dump.objects.size()
      << " objects\n";
  for (const auto& object : dump.objects) {
    const nlohmann::json json = objectJson(object);
    const std::string type = json["type"];
    out << "\n" << type << " at byte " << object.offset << (object.fromJournal ? " of the journal" : "") << "\n";
    appendRows(out, type == "task" ? nlohmann::json{{"size", json["size"]}} : json[type]);
  }
  if (dump.stop.damage != Damage::None)
    out << "\ndamaged at byte " << dump.stop.offset << " (" << dump.stop.field << "): " << describe(dump.stop) << "\n";
  if (dump.journal.read) {
    out << "\njournal: " << dump.journal.entries << " entries applied";
    if (dump.journal.stop.damage != Damage::None)
      out << ", damaged from byte " << dump.journal.stop.offset << " (" << dump.journal.stop.field
          << "): " << describe(dump.journal.stop);
    out << "\n";
  }
  return out.str();
}

}  // namespace velmer::dump
