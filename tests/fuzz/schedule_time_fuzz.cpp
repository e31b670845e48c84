// Schedule time strings: conversion, display form and the validation of a pair.
#include <string>

#include "fuzz_common.hpp"
#include "bus/method_handlers.hpp"
#include "queues/schedule_time.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t split = text.find('|');
  const std::string start = text.substr(0, split);
  const std::string until = split == std::string::npos ? "TIME_NA" : text.substr(split + 1);
  int64_t seconds = 0;
  velmer::ConvertTimeStringToSeconds(start, seconds);
  std::string display;
  velmer::getTimeFormat(display, start);
  velmer::validateSchedulingParameters(start, until);
  return 0;
}
