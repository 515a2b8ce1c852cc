#pragma once

namespace krvd {

// SIGTERM, SIGINT and SIGHUP end the daemon the way they always did (killed by that signal),
// but never with a handled datagram's lines still in the output buffer: while the receive loop
// waits, everything is written already and a stop signal ends the process at once; while a
// datagram is in hand, it ends the process once that datagram is handled and the output is
// flushed. Calls interrupted by the handler restart, and the commands the daemon runs get the
// default actions back when they start.

// Installs the handlers. Only the receive loop calls this.
void catchStopSignals();
// The stop signal that has arrived while a datagram was in hand, or 0.
int pendingStopSignal();
// Restores the default action of signal and raises it.
[[noreturn]] void endByStopSignal(int signal);

// Around the loop's wait for datagrams, with standard output flushed: a stop signal arriving in
// between ends the process at once; one that arrived before ends it in beginWait.
void beginWait();
void endWait();

}  // namespace krvd
