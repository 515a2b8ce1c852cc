#pragma once

#include <string>
#include <vector>

#include "krvctl/program/Environment.h"

namespace krvctl {

// krvctl doctor: what this machine shows of the LAN and why controllers may not answer. Reads
// the system's facts, searches every eligible interface (or the named ones) with a QUERY for
// the window, and prints the findings. Exit status: 0 when controllers answered and no problem
// was found, 69 when a problem keeps the tool from the LAN, otherwise 2; 64 for a named
// interface that does not exist.
int runDoctor(Environment& environment, const std::vector<std::string>& named,
              double timeoutSeconds, int retries, bool json);

}  // namespace krvctl
