#include "krvd/transport/StopSignals.h"

#include <signal.h>

#include <cstdlib>
#include <initializer_list>

namespace krvd {

namespace {

constexpr std::initializer_list<int> kStopSignals = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t pendingSignal = 0;
volatile sig_atomic_t waiting = 0;

// Only async-signal-safe calls: sigaction, sigprocmask, raise.
void restoreAndRaise(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
}

void onStopSignal(int signal) {
    if (waiting != 0) {
        restoreAndRaise(signal);
    }
    pendingSignal = signal;
}

}  // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : kStopSignals) {
        sigaction(signal, &action, nullptr);
    }
}

int pendingStopSignal() {
    return pendingSignal;
}

void endByStopSignal(int signal) {
    restoreAndRaise(signal);
    // Not reached for the stop signals; a safe end should a caller pass another.
    std::_Exit(128 + signal);
}

void beginWait() {
    // Marked first, checked second: a signal lands either before the mark (and is seen by the
    // check) or after it (and ends the process in the handler).
    waiting = 1;
    if (const int signal = pendingSignal; signal != 0) {
        endByStopSignal(signal);
    }
}

void endWait() {
    waiting = 0;
}

}  // namespace krvd
