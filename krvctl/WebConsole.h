#pragma once

#include <string>

#include "krvctl/Client.h"
#include "krvctl/CommandLine.h"
#include "krvctl/ListenAddress.h"

namespace krvctl {

struct WebOptions {
    ListenAddress listen;
    std::string interface;
    Timing timing;
};

// krvctl web: serves the console on the address until the environment says stop. Exit status:
// 0, or kUnavailable when the address cannot be had.
int serveWebConsole(Endpoint& lan, const WebOptions& options, Environment& environment);

}  // namespace krvctl
