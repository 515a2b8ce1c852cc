#include <cstring>
#include <exception>
#include <iostream>

#include "krvd/core/MessageDispatcher.h"
#include "krvd/core/Version.h"
#include "krvd/system/SystemInterfaceLister.h"
#include "krvd/system/SystemShell.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--version") == 0) {
            std::cout << "Version: " << krvd::kVersion << '\n';
        } else {
            std::cout << "Usage: krvd [--version]\n";
        }
        return 0;
    }

    krvd::SystemShell shell;
    krvd::SystemInterfaceLister interfaces;
    krvd::SystemSleeper sleeper;
    try {
        krvd::MessageDispatcher dispatcher(
            krvd::kPort, {shell, interfaces, sleeper, krvd::systemSocketCalls(), {}});
        dispatcher.run();
    } catch (const std::exception& error) {
        std::cerr << "Exception: " << error.what() << '\n';
    }
    return 0;
}
