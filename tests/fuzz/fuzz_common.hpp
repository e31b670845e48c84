// What every fuzz target shares: the readers' trace lines are switched off, so that the
// time goes into reading and not into printing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "persistence/read_stop.hpp"
#include "trace.h"

namespace velmer::fuzz {

inline std::istringstream streamOf(const uint8_t* data, size_t size) {
  return std::istringstream(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
}

// Reads objects of type `Object` with `readOne` until the end or the first damage.
template <class Object, class Reader>
void readToTheEnd(const uint8_t* data, size_t size, Reader readOne) {
  auto stream = streamOf(data, size);
  velmer::ReadStop stop;
  for (;;) {
    Object object;
    if (readOne(stream, object, stop) != velmer::ObjectRead::Object) return;
  }
}

}  // namespace velmer::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  trace_set_threshold(0);
  return 0;
}
