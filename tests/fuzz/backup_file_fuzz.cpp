// The backup file reader, object after object to the end or the first damage.
#include "persistence/backup_file.hpp"
#include "fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmer::fuzz::readToTheEnd<velmer::BackupObject>(data, size, velmer::readBackupObject);
  return 0;
}
