#include <iostream>
#include <random>

#include "krvctl/CommandLine.h"
#include "krvctl/SystemClock.h"
#include "krvctl/UdpEndpoint.h"

int main(int argc, char** argv) {
    krvctl::SystemClock clock;
    std::random_device entropy;
    std::mt19937_64 generator((static_cast<std::uint64_t>(entropy()) << 32) ^
                              static_cast<std::uint64_t>(entropy()));
    krvctl::Environment environment{krvctl::UdpEndpoint::open,
                                    clock,
                                    [&] { return generator(); },
                                    std::cout,
                                    std::cerr,
                                    krvctl::stopWaitingOnInterrupt,
                                    krvctl::awaitInterrupt};
    return krvctl::runKrvctl(argc, argv, environment);
}
