#include "krvd/core/EntryPoint.h"

#include <cstring>
#include <exception>
#include <iostream>

#include "krvd/core/MessageDispatcher.h"
#include "krvd/core/Version.h"

namespace krvd {

int runKrvd(int argc, const char* const* argv, DaemonEnvironment environment) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--version") == 0) {
            std::cout << "Version: " << kVersion << '\n';
        } else {
            std::cout << "Usage: krvd [--version]\n";
        }
        return 0;
    }
    try {
        // Leaving this block destroys the dispatcher before the report is written.
        MessageDispatcher dispatcher(kPort, std::move(environment));
        dispatcher.run();
    } catch (const std::exception& error) {
        std::cerr << "Exception: " << error.what() << '\n';
    }
    // The loop never returns by itself: reaching this point is always a failure, and the
    // service manager restarts the daemon only when the status says so.
    return 1;
}

}  // namespace krvd
