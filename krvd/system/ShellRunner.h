#pragma once

#include <string>

namespace krvd {

// The one way the daemon reads and changes the controller: command lines through the shell.
// Tests replace it with a scripted shell that records every line.
class ShellRunner {
  public:
    virtual ~ShellRunner() = default;
    // First line of the command's standard output, or its first word (see runCommand).
    virtual std::string runCommand(const std::string& commandLine, bool firstWordOnly) = 0;
    // Runs the line through system(); the raw status it returns, 0 meaning success.
    virtual int runForStatus(const std::string& commandLine) = 0;
};

}  // namespace krvd
