#include "krvctl/operations/Verification.h"

#include <algorithm>

#include "krvctl/values/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

Check checkClock(const std::string& sentClock, std::int64_t ackReceivedAtMs,
                 const ControllerRecord& after) {
    Check check{std::string(wire::key::kUtcclock),
                sentClock,
                after.value(wire::key::kUtcclock),
                CheckResult::Ok,
                {}};
    const auto sent = parseUtcClock(sentClock);
    const auto reported = parseUtcClock(check.reported);
    if (!sent || !reported) {
        check.result = CheckResult::Failed;
        check.note = "the controller reports no readable clock";
        return check;
    }
    const std::int64_t expected = sent.value() + (after.receivedAtMs - ackReceivedAtMs) / 1000;
    const std::int64_t off = reported.value() - expected;
    check.note = "off by " + formatOffset(off);
    check.result = std::abs(off) <= kClockToleranceSeconds ? CheckResult::Ok : CheckResult::Failed;
    return check;
}

bool isUnreportedNameserver(const std::string& address) {
    const auto& list = wire::kUnreportedNameservers;
    return std::find(list.begin(), list.end(), address) != list.end();
}

}  // namespace

std::vector<Check> verifyAssignment(const Assignment& assignment, const std::string& sentClock,
                                    std::int64_t ackReceivedAtMs, const ControllerRecord* before,
                                    const ControllerRecord& after) {
    std::vector<Check> checks;
    for (const Setting& setting : assignment.settings) {
        if (setting.key == wire::key::kUtcclock) {
            checks.push_back(checkClock(sentClock, ackReceivedAtMs, after));
            continue;
        }
        Check check{setting.key, setting.value, after.value(setting.key), CheckResult::Ok, {}};
        const bool everReported =
            after.reports(setting.key) || (before != nullptr && before->reports(setting.key));
        if (check.reported == check.requested) {
            check.result = CheckResult::Ok;
        } else if (setting.key == wire::key::kNameserver && isUnreportedNameserver(setting.value)) {
            check.result = CheckResult::Unverified;
            check.note = "the controller never reports a public resolver as its name server";
        } else if (setting.key == wire::key::kNameserver && !everReported) {
            check.result = CheckResult::Unverified;
            check.note = "this controller does not report its name server";
        } else {
            check.result = CheckResult::Failed;
        }
        checks.push_back(std::move(check));
    }
    return checks;
}

Check verifyClear(const std::string& setting, const ControllerRecord* before,
                  const ControllerRecord& after) {
    Check check{setting, "", after.value(setting), CheckResult::Ok, {}};
    if (check.reported.empty()) {
        const bool wasReported = before != nullptr && before->reports(setting);
        if (setting == wire::key::kNameserver && !wasReported) {
            check.result = CheckResult::Unverified;
            check.note = "this controller does not report its name server";
        }
        return check;
    }
    check.result = CheckResult::Failed;
    check.note = "still set";
    return check;
}

bool anyFailed(const std::vector<Check>& checks) {
    return std::any_of(checks.begin(), checks.end(),
                       [](const Check& c) { return c.result == CheckResult::Failed; });
}

std::string_view resultName(CheckResult result) {
    switch (result) {
        case CheckResult::Ok:
            return "ok";
        case CheckResult::Failed:
            return "failed";
        case CheckResult::Unverified:
            return "unverified";
    }
    return "?";
}

}  // namespace krvctl
