#include "cfg.h"

#include "guarded.hpp"
#include "paths.hpp"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace {

using nlohmann::json;
using velmer::platform::kTraceMask;

template <typename Integer>
std::optional<int> narrowToInt(Integer value) {
  if (!std::in_range<int>(value)) return std::nullopt;
  return static_cast<int>(value);
}

// Only JSON integers that fit an int count: 30.0, "30" and true are not attribute values.
// Unsigned values are taken apart because reading them as signed would wrap the large ones.
std::optional<int> attributeValue(const json& value) {
  if (value.is_number_unsigned()) return narrowToInt(value.get<std::uint64_t>());
  if (value.is_number_integer()) return narrowToInt(value.get<std::int64_t>());
  return std::nullopt;
}

// What identifies one version of the attributes file without reading it.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  bool operator==(const FileStamp& other) const {
    auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    return device == other.device && inode == other.inode && size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
  }
};

// File times advance in clock ticks of a few milliseconds: a file changed again within
// the tick in which it was parsed keeps its stamp. A parse that close to the last change
// is therefore not reused.
constexpr std::int64_t kStampTickNs = 50'000'000;

std::int64_t nanoseconds(const timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; }

// The last parse of the file: its stamp and its attributes (nothing when malformed).
struct ParsedAttributes {
  std::mutex mutex;
  std::optional<FileStamp> stamp;
  bool reusable = false;
  std::shared_ptr<const json> attributes;  // shared with callers still reading it
};

ParsedAttributes& lastParse() {
  static ParsedAttributes parsed;
  return parsed;
}

std::shared_ptr<const json> parseAttributes(const std::string& path) {
  std::ifstream file(path);
  if (!file.is_open()) return nullptr;
  json attributes = json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!attributes.is_object()) return nullptr;  // a parse error reads as "discarded", no object either
  return std::make_shared<const json>(std::move(attributes));
}

// The attributes as they are in the file now; nothing when the file is missing or
// malformed. Called at every use of an attribute (several per job creation), so the file
// is parsed only when its stamp shows a change.
std::shared_ptr<const json> readAttributes() {
  std::string path = velmer::paths::resolve(velmer::paths::kAttributesFile);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    trace_printf(4, kTraceMask, "[CfgGetAttributeInt]: no attributes file %s", path.c_str());
    return nullptr;
  }
  FileStamp stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
  ParsedAttributes& parsed = lastParse();
  std::lock_guard lock(parsed.mutex);
  if (!parsed.reusable || parsed.stamp != stamp) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    parsed.attributes = parseAttributes(path);
    parsed.stamp = stamp;
    parsed.reusable = nanoseconds(now) - std::max(nanoseconds(stamp.modified), nanoseconds(stamp.changed)) > kStampTickNs;
  }
  if (!parsed.attributes) trace_printf(2, kTraceMask, "[CfgGetAttributeInt]: %s is not a JSON object", path.c_str());
  return parsed.attributes;
}

int readAttributeInt(const char* name, int* value) {
  if (name == nullptr || value == nullptr) return 1;
  std::shared_ptr<const json> attributes = readAttributes();
  if (!attributes) return 1;
  auto entry = attributes->find(name);
  if (entry == attributes->end()) {
    trace_printf(4, kTraceMask, "[CfgGetAttributeInt]: attribute %s is not set", name);
    return 1;
  }
  std::optional<int> number = attributeValue(*entry);
  if (!number) {
    trace_printf(2, kTraceMask, "[CfgGetAttributeInt]: attribute %s is not an int: %s", name,
                 entry->dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    return 1;
  }
  *value = *number;
  return 0;
}

}  // namespace

extern "C" int CfgGetAttributeInt(const char* name, int* value) {
  return velmer::platform::guarded(__func__, 1, [&] { return readAttributeInt(name, value); });
}

extern "C" uint16_t CfgDACancelRMXAttributes(const char* fqdd) {
  return velmer::platform::guarded<uint16_t>(__func__, 1, [&] {
    if (fqdd == nullptr) {
      trace_printf(2, kTraceMask, "[CfgDACancelRMXAttributes]: no FQDD given");
      return uint16_t{1};
    }
    // Nothing is staged on this machine, so there is nothing to withdraw.
    trace_printf(4, kTraceMask, "[CfgDACancelRMXAttributes]: cancel staged attributes of %s", fqdd);
    return uint16_t{0};
  });
}
