#include "bench/QueryLines.h"

#include <cstdio>
#include <iostream>

#include "krvd/settings/Settings.h"
#include "krvd/system/SettingsReader.h"
#include "krvd/system/SettingsWriter.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/TempDir.h"

namespace krvbench {

std::vector<std::string> queryCommandLines() {
    krvtest::QuietSyslog quiet;
    krvtest::TempDir dir;
    dir.write("krvd_interface", "br0\n");
    krvtest::FakeShell shell;
    shell.answer("trelsetup getsdk", "imx\n");
    krvtest::FakeInterfaceLister interfaces;
    krvd::SystemAccess system{shell, interfaces, dir.controllerPaths()};
    krvd::Settings settings;
    std::streambuf* previous = std::cout.rdbuf(nullptr);
    krvd::readSettings(settings, system);
    krvd::readClock(shell);
    std::cout.rdbuf(previous);
    return shell.lines();
}

bool runCommandLines(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        FILE* pipe = popen(line.c_str(), "r");
        if (pipe == nullptr) {
            return false;
        }
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        }
        pclose(pipe);
    }
    return true;
}

}  // namespace krvbench
