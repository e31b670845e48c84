// velmerd: the job manager of the controller. No arguments, no environment, no
// configuration file: everything it needs is a constant or a controller attribute.
#include "service/service_core.hpp"

int main() { return velmer::runDaemon({.root = "", .traceLevel = 2}); }
