#pragma once

#include "krvctl/program/Environment.h"

namespace krvctl {

// krvctl web: serves the console on the address until the environment says stop. Exit status:
// 0, or kUnavailable when the address cannot be had.
int serveWebConsole(Endpoint& lan, const WebOptions& options, Environment& environment);

}  // namespace krvctl
