#include "queues/queue_object.hpp"

#include <optional>

#include "bus/handler_frame.hpp"
#include "trace.h"

namespace velmer {

namespace {
const bus::Field<JobQueueRecord> kQueueFields[] = {
    {"jsQueueID", &JobQueueRecord::jsQueueID},
    {"untilTime", &JobQueueRecord::untilTime},
    {"startTime", &JobQueueRecord::startTime},
    {"flags", &JobQueueRecord::flags},
    {"jsJobsList", &JobQueueRecord::jsJobsList},
    {"trackedJobCount", &JobQueueRecord::trackedJobCount},
    {"queueState", &JobQueueRecord::queueState},
    {"reservedAllign", &JobQueueRecord::reservedAllign},
    {"itemCount", &JobQueueRecord::itemCount},
    {"jobQueueItem", &JobQueueRecord::jobQueueItem},
};
// The index in "jobQueueItem[<index>]", if `name` has that form.
std::optional<unsigned long> itemIndex(const std::string& name, std::string_view prefix) {
  if (!name.starts_with(prefix) || !name.ends_with("]") || name.size() < prefix.size() + 2) return std::nullopt;
  const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - 1);
  if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return std::stoul(digits);
}

// Restore hands a queue over in the form of its backup record: "queueID" for jsQueueID
// and one "jobQueueItem[<index>]" entry per item. Those keys become the property names
// here; everything else passes unchanged (and unknown names are ignored as always).
std::map<std::string, sdbus::Variant> withPropertyNames(const std::map<std::string, sdbus::Variant>& properties) {
  constexpr std::string_view kItemPrefix = "jobQueueItem[";
  std::map<std::string, sdbus::Variant> result;
  std::map<unsigned long, std::string> items;
  for (const auto& [name, value] : properties) {
    if (name == "queueID") {
      result["jsQueueID"] = value;
    } else if (auto index = itemIndex(name, kItemPrefix); index && value.containsValueOfType<std::string>()) {
      items[*index] = value.get<std::string>();
    } else {
      result[name] = value;
    }
  }
  if (!items.empty()) {
    std::vector<std::string> list;
    for (auto& [index, item] : items) list.push_back(std::move(item));
    result["jobQueueItem"] = sdbus::Variant(list);
  }
  return result;
}

}  // namespace

Jobservicescheduleinfo::Jobservicescheduleinfo(sdbus::IConnection& connection, std::string path, Announce when)
    : Object(connection, std::move(path), "~Jobservicescheduleinfo") {
  trace_printf(4, 8, "[%s]: Entering constructor for JobServicescheduleinfo\n", "Jobservicescheduleinfo");
  if (when == Announce::Now) announce();
}

Jobservicescheduleinfo::~Jobservicescheduleinfo() = default;

uint16_t Jobservicescheduleinfo::setAllProperties(const std::map<std::string, sdbus::Variant>& properties) {
  return setAllPropertiesOf(*this, kQueueFields, withPropertyNames(properties), "JobServicescheduleinfo");
}

std::span<const bus::Field<JobQueueRecord>> queuePropertyFields() { return kQueueFields; }

}  // namespace velmer
