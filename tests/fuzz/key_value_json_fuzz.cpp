// The key-value file restore: the three-level store built from whatever a file holds,
// what is sound of it kept, the rest noted as damage; nothing throws.
#include <string_view>

#include "fuzz_common.hpp"
#include "persistence/key_value_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > velmer::kMaxKeyValueFileSize) return 0;  // refused before parsing
  velmer::readKeyValueText(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
