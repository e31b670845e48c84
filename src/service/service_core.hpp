// The process: start-up, the main loop, shutdown on SIGTERM/SIGINT.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

struct DaemonOptions {
  std::string root;    // every path is resolved under it; "" in production
  int traceLevel = 2;  // trace lines up to this level are written
};

// Runs the job manager until SIGTERM or SIGINT. Returns the process exit status:
// 0 after a signal, 1 when start-up or the main loop failed.
int runDaemon(const DaemonOptions& options);

// Sets the store limits, starts the backup thread and restores the key-value store:
// 0, the backup thread's failure code, or 37 after an exception.
uint32_t jsJobMainInit();

// Installed for SIGTERM and SIGINT. Only records the signal and wakes the main loop;
// the shutdown steps run on the main thread once the loop has returned.
void signal_handler(int signalNumber);

}  // namespace velmer
