#pragma once

namespace krvctl {

// What a script can act on without parsing any text.
enum ExitStatus : int {
    kDone = 0,            // answered; accepted and, for assign and clear, verified
    kRefused = 1,         // the controller answered accept=no
    kNoAnswer = 2,        // nothing matching arrived in time
    kNotTakenEffect = 3,  // accepted, but a requested value is not what the controller reports
    kUsage = 64,          // bad arguments or values; nothing was sent
    kUnavailable = 69,    // the port or the interface cannot be used
};

}  // namespace krvctl
