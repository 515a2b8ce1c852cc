#pragma once

#include <string>

#include "krvd/system/ShellRunner.h"
#include "krvd/system/Sleeper.h"
#include "krvd/transport/KeepAlive.h"

namespace krvd {

// The seams in front of everything slow that a datagram or the start-up read causes (a command,
// a write, the pause after an assignment). Before each, standard output is written out, so
// that a reader stamping lines as they arrive, such as the journal, sees a datagram's echo and
// progress before the work they announce; and the service manager gets a beat, so that its
// interval bounds each command rather than the whole datagram. Datagrams that cause nothing
// slow keep their lines buffered until the receive loop waits: one write for a whole batch in
// a flood.
class ConsoleFirstShell final : public ShellRunner {
  public:
    ConsoleFirstShell(ShellRunner& shell, KeepAlive& keepAlive)
        : shell_(shell), keepAlive_(keepAlive) {}
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override;
    int runForStatus(const std::string& commandLine) override;

  private:
    ShellRunner& shell_;
    KeepAlive& keepAlive_;
};

class ConsoleFirstSleeper final : public Sleeper {
  public:
    ConsoleFirstSleeper(Sleeper& sleeper, KeepAlive& keepAlive)
        : sleeper_(sleeper), keepAlive_(keepAlive) {}
    void sleepSeconds(unsigned seconds) override;

  private:
    Sleeper& sleeper_;
    KeepAlive& keepAlive_;
};

}  // namespace krvd
