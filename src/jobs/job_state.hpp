// What a job's state means: the client-facing state, the firmware-update predicates
// and the job checks that several subsystems share.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

// The client-facing state (jobStateForInterface) of a job in `jobState` with the status
// text `jobStatus`; states above 7 keep `currentInterfaceState`. Always returns 0.
uint16_t getState4Interface(uint8_t currentInterfaceState, uint32_t jobState, const std::string& jobStatus,
                            uint8_t& result);

// Logs a job's state change.
void notifyJobStateChange(const std::string& jobID, uint8_t oldState, uint8_t newState);

// 1 when the job name marks an update (or rollback) of the controller's own firmware.
int jobIsKelvoUpdate(const std::string& jobName);

// Controller-firmware-update predicates over kelvofwJobState. The caller sets `active`
// to 0 first; it is set to 1 when an update is active. 0, or 37 after an exception.
uint16_t JS_IsKelvoFWUpdateActive(uint8_t& active);
uint16_t JS_IsKelvoFWUpdateActiveNotSCP(uint8_t& active);

// Sets kelvofwJobState with its change signal: 0, or 37 after an exception.
uint16_t JS_SetkelvofwJobState(uint16_t state);

// Lists every job of the store to the log: 1 for an empty ID, 37 when the job list
// cannot be read, else 0.
uint16_t ValidateJobType(const std::string& jobID);

// Whether the job may be put into a queue: 0 when it is new or unknown; 3 when it is in
// another state (42 for a type-20 job that has not finished); 1 for an empty ID or an
// unreadable job list.
uint16_t jobIsNewState(const std::string& jobID);

}  // namespace velmer
