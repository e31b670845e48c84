#include "cfg.h"

#include "guarded.hpp"
#include "paths.hpp"

#include <nlohmann/json.hpp>

#include <fstream>
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

// The attributes as they are in the file now; nothing when the file is missing or malformed.
std::optional<json> readAttributes() {
  std::string path = velmer::paths::resolve(velmer::paths::kAttributesFile);
  std::ifstream file(path);
  if (!file.is_open()) {
    trace_printf(4, kTraceMask, "[CfgGetAttributeInt]: no attributes file %s", path.c_str());
    return std::nullopt;
  }
  json attributes = json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!attributes.is_object()) {  // a parse error reads as "discarded", which is no object either
    trace_printf(2, kTraceMask, "[CfgGetAttributeInt]: %s is not a JSON object", path.c_str());
    return std::nullopt;
  }
  return attributes;
}

int readAttributeInt(const char* name, int* value) {
  if (name == nullptr || value == nullptr) return 1;
  std::optional<json> attributes = readAttributes();
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
