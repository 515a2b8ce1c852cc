#pragma once

#include "krvd/system/ControllerPaths.h"
#include "krvd/system/InterfaceLister.h"
#include "krvd/system/ShellRunner.h"
#include "krvd/system/Sleeper.h"
#include "krvd/transport/ServiceManager.h"
#include "krvd/transport/SocketCalls.h"

namespace krvd {

// Everything the daemon does to the world, gathered for the dispatcher. The program passes
// the real system; tests pass fakes.
struct DaemonEnvironment {
    ShellRunner& shell;
    InterfaceLister& interfaces;
    Sleeper& sleeper;
    SocketCalls& sockets;
    ControllerPaths paths;
    // Told when the endpoint is ready and kept informed that the daemon is alive; none in tests.
    ServiceManager* serviceManager = nullptr;
};

}  // namespace krvd
