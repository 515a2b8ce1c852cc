#include "krvd/system/SystemShell.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "krvd/system/CommandRunner.h"

namespace krvd {

std::string SystemShell::runCommand(const std::string& commandLine, bool firstWordOnly) {
    return krvd::runCommand(commandLine, firstWordOnly);
}

int SystemShell::runForStatus(const std::string& commandLine) {
    // The child inherits our stdio buffers' file positions, not their contents: flush so
    // console lines keep their order around the command's own output.
    std::cout.flush();
    static_cast<void>(std::fflush(nullptr));
    return std::system(commandLine.c_str());
}

}  // namespace krvd
