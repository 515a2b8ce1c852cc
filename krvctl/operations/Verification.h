#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/values/Assignment.h"

namespace krvctl {

enum class CheckResult { Ok, Failed, Unverified };

// One requested setting set against what the controller reports afterwards.
struct Check {
    std::string key;
    std::string requested;
    std::string reported;
    CheckResult result = CheckResult::Ok;
    std::string note;  // why, when not plainly ok
};

// How far a clock may be off after the controller set it: the daemon sets it a second time
// after writing the network settings, so it lags by the time that writing took.
inline constexpr std::int64_t kClockToleranceSeconds = 5;

// before may be null. For utcclock, the requested clock text was valid at ackReceivedAtMs.
std::vector<Check> verifyAssignment(const Assignment& assignment, const std::string& sentClock,
                                    std::int64_t ackReceivedAtMs, const ControllerRecord* before,
                                    const ControllerRecord& after);

// A cleared setting is no longer reported.
Check verifyClear(const std::string& setting, const ControllerRecord* before,
                  const ControllerRecord& after);

bool anyFailed(const std::vector<Check>& checks);
std::string_view resultName(CheckResult result);

}  // namespace krvctl
