#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "krvctl/Endpoint.h"

namespace krvctl {

// Everything the program touches, so that tests can run it whole against fakes.
struct Environment {
    // Opened only once every argument and value has been checked.
    std::function<OpenedEndpoint(const std::string& interface)> openEndpoint;
    Clock& clock;
    std::function<std::uint64_t()> random;
    std::ostream& out;
    std::ostream& err;
    // Called before monitor starts waiting or the web console starts serving, so Ctrl-C can
    // end them cleanly.
    std::function<void()> catchInterrupts = [] {};
    // The web console serves until this returns: in the program, until Ctrl-C or SIGTERM.
    std::function<void()> awaitStop = [] {};
};

// The whole program: parses the arguments, runs one command, returns the exit status.
int runKrvctl(int argc, const char* const* argv, Environment& environment);

}  // namespace krvctl
