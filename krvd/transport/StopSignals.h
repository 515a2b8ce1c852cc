#pragma once

#include <signal.h>

namespace krvd {

// SIGTERM, SIGINT and SIGHUP still end the daemon the way they always did (killed by that
// signal), but only once the datagram in hand is handled and standard output is flushed, so a
// stop never loses the log of a datagram that was handled. Commands the daemon runs get the
// default actions back when they start.

// Installs the handlers (restarting interrupted calls). Only the receive loop calls this.
void catchStopSignals();
// The stop signal that has arrived, or 0.
int pendingStopSignal();
// Restores the default action of signal and raises it.
[[noreturn]] void endByStopSignal(int signal);
// SIGTERM, SIGINT, SIGHUP.
sigset_t stopSignalSet();

}  // namespace krvd
