// The journal reader, entry after entry to the end or the first damage, applied to a
// store as restore does and to a dump as velmer-dump does.
#include "fuzz_common.hpp"
#include "persistence/journal.hpp"
#include "store_dump.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = velmer::fuzz::streamOf(data, size);
  velmer::StoreImage image;
  velmer::applyJournal(stream, image);
  auto again = velmer::fuzz::streamOf(data, size);
  velmer::dump::Dump dump;
  velmer::dump::applyJournal(dump, again);
  velmer::dump::toJson(dump).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return 0;
}
