// The life of tqd from its command line to its exit status.
#pragma once

#include "daemon/TqdConfig.h"

namespace tqd {

// Loads the library, listens, serves until SIGTERM or SIGINT, lets requests
// in flight finish and returns the exit status (0 after a clean stop, 1 when
// the start failed).
int RunDaemon(const CommandLine& commandLine);

// Prints the version line of the library that tqd would load; 0 or 1.
int PrintVersion(const CommandLine& commandLine);

}  // namespace tqd
