// velmer-dump's decoder: format detection, either reader, and both outputs.
#include "fuzz_common.hpp"
#include "store_dump.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = velmer::fuzz::streamOf(data, size);
  const velmer::dump::Dump dump = velmer::dump::decodeStream(stream);
  velmer::dump::toJson(dump).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  velmer::dump::toTable(dump);
  return 0;
}
