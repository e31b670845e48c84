// The legacy file reader: header, payload, and the job or queue decoding.
#include "fuzz_common.hpp"
#include "persistence/legacy_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmer::fuzz::readToTheEnd<velmer::LegacyEntry>(data, size, velmer::readLegacyEntry);
  return 0;
}
