#include <iostream>
#include <random>

#include "krvctl/cli/CommandLine.h"
#include "krvctl/lan/SystemClock.h"
#include "krvctl/platform/LanSocket.h"
#include "krvctl/platform/LocalSystem.h"
#include "krvctl/platform/SystemFacts.h"
#include "krvctl/web/WebConsole.h"

int main(int argc, char** argv) {
    krvctl::SystemClock clock;
    std::random_device entropy;
    std::mt19937_64 generator((static_cast<std::uint64_t>(entropy()) << 32) ^
                              static_cast<std::uint64_t>(entropy()));
    krvctl::Environment environment{krvctl::openLanEndpoint,
                                    clock,
                                    [&] { return generator(); },
                                    std::cout,
                                    std::cerr,
                                    krvctl::stopWaitingOnInterrupt,
                                    krvctl::awaitInterrupt,
                                    [](krvctl::Endpoint& lan, const krvctl::WebOptions& options,
                                       krvctl::Environment& environment) {
                                        krvctl::keepRunningWhenPeersHangUp();
                                        return krvctl::serveWebConsole(lan, options, environment);
                                    },
                                    krvctl::readLocalFile,
                                    krvctl::writeLocalFile,
                                    krvctl::standardInputIsTerminal,
                                    krvctl::standardErrorIsTerminal,
                                    krvctl::rememberDiscoveredMacs,
                                    krvctl::readStandardInputLine};
    environment.gatherFacts = krvctl::gatherSystemFacts;
    return krvctl::runKrvctl(argc, argv, environment);
}
