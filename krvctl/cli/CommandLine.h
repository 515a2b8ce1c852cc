#pragma once

#include "krvctl/program/Environment.h"

namespace krvctl {

// The whole program: parses the arguments, runs one command, returns the exit status.
int runKrvctl(int argc, const char* const* argv, Environment& environment);

}  // namespace krvctl
