#include "krvd/core/ConsoleFirst.h"

#include <iostream>

namespace krvd {

std::string ConsoleFirstShell::runCommand(const std::string& commandLine, bool firstWordOnly) {
    std::cout.flush();
    keepAlive_.beforeStep();
    return shell_.runCommand(commandLine, firstWordOnly);
}

int ConsoleFirstShell::runForStatus(const std::string& commandLine) {
    std::cout.flush();
    keepAlive_.beforeStep();
    return shell_.runForStatus(commandLine);
}

void ConsoleFirstSleeper::sleepSeconds(unsigned seconds) {
    std::cout.flush();
    keepAlive_.beforeStep();
    sleeper_.sleepSeconds(seconds);
}

}  // namespace krvd
