// Job update: a consumer's report of state, progress, status and message applied to
// the job object, with its events, firmware recovery staging, backup and cache refresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmer {

// Which fields of a report to apply (bit values are part of the protocol).
enum UpdateSelector : uint32_t {
  JS_UPD_JOBNAME = 0x8,
  JS_UPD_MESSAGE = 0x10,
  JS_UPD_MESSAGEARGS = 0x20,
  JS_UPD_JOBSTATUS = 0x40,
  JS_UPD_MESSAGEID = 0x80,
  JS_UPD_JOBSTATE = 0x200,
  JS_UPD_PERCENT = 0x400,
  JS_UPD_TIMEOUT = 0x1000,
};

// In a report, 255 as state or percentage means "unchanged".
inline constexpr uint16_t kUnchanged = 255;

// Byte limits of the stored job texts (cut on a character boundary).
inline constexpr size_t kMaxJobNameBytes = 99, kMaxJobStatusBytes = 39, kMaxMessageIDBytes = 11,
                        kMaxMessageBytes = 255, kMaxMessageArgsBytes = 255;

// Applies a report to the job `jobID`: 0; 1 for a job marked for deletion; 37 when the
// job is missing or its properties cannot be set; or the queue check's code when the
// job reached a final state.
uint16_t updateJobInfoInStore(const std::string& jobID, uint16_t jobState, uint16_t percentComplete,
                              const std::string& jobStatus, const std::string& message, const std::string& messageID,
                              const std::string& messageArgs, uint32_t selectors);

}  // namespace velmer
