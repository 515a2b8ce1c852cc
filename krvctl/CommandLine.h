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
    // Called before monitor starts waiting, so Ctrl-C can end it cleanly.
    std::function<void()> catchInterrupts = [] {};
};

// The whole program: parses the arguments, runs one command, returns the exit status.
int runKrvctl(int argc, const char* const* argv, Environment& environment);

}  // namespace krvctl
