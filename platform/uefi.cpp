#include "uefi.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "guarded.hpp"
#include "json_lines.hpp"
#include "paths.hpp"

namespace {

using velmer::platform::kTraceMask;

// A wide string from another component is read only this far when no terminator comes:
// longer than any ID the daemon sends.
constexpr size_t kMaxWideUnits = 256;

// Decodes one unit per character; units outside a byte cannot come from the job IDs of
// this system and are shown as '?'.
std::string decodeWide(uint64_t address) {
  const auto* units = reinterpret_cast<const EFI_DCS_CHAR*>(static_cast<uintptr_t>(address));
  std::string text;
  if (units == nullptr) return text;
  for (size_t i = 0; i < kMaxWideUnits && units[i] != 0; ++i) text += units[i] <= 0xFF ? static_cast<char>(units[i]) : '?';
  return text;
}

uint64_t dcsEntry(EFI_DCS_PROTOCOL*, uint32_t command, EFI_DCS_REQUEST* request, EFI_DCS_RESPONSE*) {
  return velmer::platform::guarded<uint64_t>("DcsProtocol", 1, [&] {
    nlohmann::ordered_json line = {{"command", command}};
    if (command == EFI_DCS_MGMT_CMD_CANCEL && request != nullptr) {
      EFI_DCS_REQUEST copy;  // the record is packed: read it through an aligned copy
      std::memcpy(&copy, request, sizeof copy);
      line["jobId"] = decodeWide(copy.JobId);
    }
    trace_printf(4, kTraceMask, "[DcsProtocol]: command 0x%x", command);
    velmer::platform::appendJsonLine(velmer::paths::kDcsLogFile, line, "DcsProtocol");
    return uint64_t{0};
  });
}

EFI_DCS_PROTOCOL dcsInstance{dcsEntry};

bool isDcsGuid(const EFI_GUID& guid) {
  const EFI_GUID dcs = EFI_DCS_PROTOCOL_GUID;
  return std::memcmp(&guid, &dcs, sizeof dcs) == 0;
}

}  // namespace

extern "C" int initLinuxEfiLib(void) { return 0; }

extern "C" int getProtocolInstanceByGuid(const EFI_GUID* guid, size_t* count, void*** instances) {
  if (instances == nullptr) return 1;
  *instances = nullptr;
  if (guid == nullptr || !isDcsGuid(*guid)) return 1;
  auto* array = static_cast<void**>(std::malloc(sizeof(void*)));
  if (array == nullptr) return 1;
  array[0] = &dcsInstance;
  *instances = array;
  if (count != nullptr) *count = 1;
  return 0;
}
