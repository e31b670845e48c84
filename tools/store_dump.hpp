// What velmer-dump makes of a file on flash: the backup file or a legacy job-store file,
// told apart by their content and decoded with the daemon's own readers.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "jobs/job_record.hpp"
#include "queues/queue_record.hpp"
#include "persistence/read_stop.hpp"

namespace velmer::dump {

enum class Format { Backup, Legacy };

// A task record of the backup file: its size only (the daemon skips it too).
struct Task {
  uint32_t size = 0;
};

struct DumpedObject {
  uint64_t offset = 0;  // of its header in the file, or of its journal entry
  std::variant<JobInfoRecord, JobQueueRecord, Task> content;
  bool fromJournal = false;
};

// What the journal beside a backup file added.
struct JournalDump {
  bool read = false;  // a journal was found and applied
  size_t entries = 0;
  ReadStop stop;      // Damage::None when it was read to its end
};

// Everything a file holds up to its end or its first damage, with the journal applied
// when one was read.
struct Dump {
  Format format = Format::Backup;
  std::vector<DumpedObject> objects;
  ReadStop stop;  // Damage::None when the whole file was read
  JournalDump journal;
};

// Backup objects carry a 16-byte header whose type (bytes 8 to 11) is 1, 2 or 3; a legacy
// header holds the payload size there, never below 16.
Format detectFormat(std::istream& stream);

// Reads the whole stream; never throws for any content.
Dump decodeStream(std::istream& stream);

// Applies a backup file's journal to its dump, as restore does: each entry sets or
// removes one job or queue, up to the end or the first damaged entry.
void applyJournal(Dump& dump, std::istream& journal);

nlohmann::json toJson(const Dump& dump);
std::string toTable(const Dump& dump);

}  // namespace velmer::dump
