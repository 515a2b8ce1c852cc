#include "krvctl/operations/Operations.h"

namespace krvctl {

std::optional<std::pair<ExitStatus, std::string>> deliveryFailure(Delivery delivery,
                                                                  const std::string& problem,
                                                                  const std::string& what) {
    switch (delivery) {
        case Delivery::Answered:
            return std::nullopt;
        case Delivery::NotSent:
            return std::pair{kUnavailable, "cannot send the " + what + ": " + problem};
        case Delivery::Silent:
            break;
    }
    return std::pair{kNoAnswer, "no answer to the " + what + " in time"};
}

namespace {

template <typename Report>
bool failed(Report& report, Delivery delivery, const std::string& problem,
            const std::string& what) {
    if (auto failure = deliveryFailure(delivery, problem, what)) {
        report.status = failure->first;
        report.problem = failure->second;
        return true;
    }
    return false;
}

// The controller's STATUS once the change is done; false, with the report saying why, when it
// does not answer.
template <typename Report>
bool queryAfter(Client& client, const std::string& mac, const std::string& doing,
                const std::string& what, Report& report) {
    QueryAnswer after = client.query(mac);
    if (failed(report, after.delivery, after.problem, "query after " + doing)) {
        report.problem += "; the " + what + " was accepted but could not be verified";
        return false;
    }
    report.verified = true;
    report.after = std::move(after.record);
    return true;
}

}  // namespace

AssignReport assignAndVerify(Client& client, const std::string& mac, const Assignment& assignment,
                             AssignOptions options) {
    AssignReport report;
    // The current values let the guard judge the new ones and show what changed.
    QueryAnswer before = client.query(mac);
    report.before = std::move(before.record);
    if (before.delivery != Delivery::Answered && !options.force &&
        failed(report, before.delivery, before.problem, "query before assigning")) {
        return report;
    }
    if (!options.force) {
        report.risks = cutOffRisks(assignment, report.before ? &*report.before : nullptr);
        if (!report.risks.empty()) {
            report.status = kUsage;
            report.problem = "refusing to assign: it would likely cut " + mac +
                             " off the network (give --force to assign anyway)";
            return report;
        }
    }
    report.ack = client.assign(mac, assignment);
    if (failed(report, report.ack.delivery, report.ack.problem, "assignment")) {
        return report;
    }
    if (options.onAck) {
        options.onAck(report.ack);
    }
    if (!report.ack.accepted) {
        report.status = kRefused;
        report.problem = mac + " refused the assignment (accept=no)";
        return report;
    }
    if (!options.verify) {
        return report;
    }
    client.waitOutAssignPause();
    if (!queryAfter(client, mac, "assigning", "assignment", report)) {
        return report;
    }
    report.checks = verifyAssignment(assignment, report.ack.sentClock, report.ack.receivedAtMs,
                                     report.before ? &*report.before : nullptr, *report.after);
    if (anyFailed(report.checks)) {
        report.status = kNotTakenEffect;
        report.problem = "the assignment was accepted, but not every value took effect";
    }
    return report;
}

ClearReport clearAndVerify(Client& client, const std::string& mac, const std::string& setting,
                           bool verify, const std::function<void(const AckAnswer&)>& onAck) {
    ClearReport report;
    report.setting = setting;
    if (verify) {
        QueryAnswer before = client.query(mac);
        if (failed(report, before.delivery, before.problem, "query before clearing")) {
            return report;
        }
        report.before = std::move(before.record);
    }
    report.ack = client.clear(mac, setting);
    if (failed(report, report.ack.delivery, report.ack.problem, "clear request")) {
        return report;
    }
    if (onAck) {
        onAck(report.ack);
    }
    if (!report.ack.accepted) {
        report.status = kRefused;
        report.problem = mac + " refused to clear " + setting + " (accept=no)";
        return report;
    }
    if (!verify) {
        return report;
    }
    if (!queryAfter(client, mac, "clearing", "clear", report)) {
        return report;
    }
    report.check = verifyClear(setting, report.before ? &*report.before : nullptr, *report.after);
    if (report.check->result == CheckResult::Failed) {
        report.status = kNotTakenEffect;
        report.problem = "the clear was accepted, but " + setting + " is still set";
    }
    return report;
}

}  // namespace krvctl
