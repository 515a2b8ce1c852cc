#pragma once

#include "krvd/system/ControllerPaths.h"
#include "krvd/system/InterfaceLister.h"
#include "krvd/system/ShellRunner.h"

namespace krvd {

// Everything the reader and the writer touch outside the process, in one bundle.
struct SystemAccess {
    ShellRunner& shell;
    InterfaceLister& interfaces;
    ControllerPaths paths;
};

}  // namespace krvd
