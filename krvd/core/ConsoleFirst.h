#pragma once

#include <string>

#include "krvd/system/ShellRunner.h"
#include "krvd/system/Sleeper.h"

namespace krvd {

// Standard output is written out before anything slow that a datagram causes (a command, the
// pause after an assignment), so that a reader stamping lines as they arrive, such as the
// journal, sees a datagram's echo and progress before the work they announce. Datagrams that
// cause nothing slow keep their lines buffered until the receive loop waits: one write for a
// whole batch in a flood.
class ConsoleFirstShell final : public ShellRunner {
  public:
    explicit ConsoleFirstShell(ShellRunner& shell) : shell_(shell) {}
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override;
    int runForStatus(const std::string& commandLine) override;

  private:
    ShellRunner& shell_;
};

class ConsoleFirstSleeper final : public Sleeper {
  public:
    explicit ConsoleFirstSleeper(Sleeper& sleeper) : sleeper_(sleeper) {}
    void sleepSeconds(unsigned seconds) override;

  private:
    Sleeper& sleeper_;
};

}  // namespace krvd
