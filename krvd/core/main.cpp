#include "krvd/core/EntryPoint.h"
#include "krvd/system/SystemInterfaceLister.h"
#include "krvd/system/SystemShell.h"

int main(int argc, char** argv) {
    krvd::SystemShell shell;
    krvd::SystemInterfaceLister interfaces;
    krvd::SystemSleeper sleeper;
    return krvd::runKrvd(
        argc, argv,
        {shell, interfaces, sleeper, krvd::systemSocketCalls(), {}, &krvd::systemServiceManager()});
}
