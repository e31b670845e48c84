// The key-value file restore: bounded parsing and the three-level store built from it.
// Damage is answered with an exception, which the daemon's restore catches.
#include <exception>
#include <string_view>

#include "fuzz_common.hpp"
#include "persistence/key_value_store.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > velmer::kMaxKeyValueFileSize) return 0;  // refused before parsing
  try {
    velmer::keyValueStoreFromText(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
  }
  return 0;
}
