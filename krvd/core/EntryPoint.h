#pragma once

#include "krvd/core/DaemonEnvironment.h"

namespace krvd {

// The krvd command line: "--version", the usage text, or the daemon itself, which returns only
// when an exception ends it (reported on standard error, status 1).
int runKrvd(int argc, const char* const* argv, DaemonEnvironment environment);

}  // namespace krvd
