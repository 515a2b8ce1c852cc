#include "krvd/transport/StopSignals.h"

#include <cstdlib>
#include <initializer_list>

namespace krvd {

namespace {

constexpr std::initializer_list<int> kStopSignals = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t pendingSignal = 0;

void recordStop(int signal) {
    pendingSignal = signal;
}

}  // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = recordStop;
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
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // Not reached for these signals; a safe end should a caller pass something else.
    std::_Exit(128 + signal);
}

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

}  // namespace krvd
