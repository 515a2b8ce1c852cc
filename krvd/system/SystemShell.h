#pragma once

#include "krvd/system/ShellRunner.h"

namespace krvd {

// The real shell: popen for output, system() for exit status.
class SystemShell final : public ShellRunner {
  public:
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override;
    int runForStatus(const std::string& commandLine) override;
};

}  // namespace krvd
