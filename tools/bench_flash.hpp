// The flash mode of velmerd-bench: what the daemon writes to flash for each kind of change,
// under a burst and a steady stream of reports, at a checkpoint and when idle; how long a
// restore with a full journal takes; and how much memory a full store costs it.
#pragma once

namespace velmer::bench {

// velmerd-bench --flash --daemon PROGRAM --root ROOT [...]: arguments after --flash (see
// bench_flash.cpp). Returns the process exit status.
int runFlashBench(int argc, char** argv);

}  // namespace velmer::bench
