// The flash mode of velmerd-bench: what the daemon writes to its backup files under a
// burst and a steady stream of reports, and how much memory a full store costs it.
#pragma once

namespace velmer::bench {

// velmerd-bench --flash --root ROOT [--log FILE]: arguments after --flash. Returns the
// process exit status.
int runFlashBench(int argc, char** argv);

}  // namespace velmer::bench
