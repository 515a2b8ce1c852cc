#include "krvctl/fleet/Apply.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "krvctl/operations/Operations.h"
#include "krvctl/values/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;
using std::chrono::steady_clock;

namespace {

Outcome outcomeOf(ExitStatus status) {
    switch (status) {
        case kDone:
            return Outcome::Ok;
        case kRefused:
            return Outcome::Refused;
        case kNoAnswer:
            return Outcome::NoAnswer;
        case kNotTakenEffect:
            return Outcome::NotTakenEffect;
        default:
            return Outcome::NotSent;
    }
}

// One controller's way through its changes: the ASSIGN, its pause, then each CLEAR with the
// query right behind them (the daemon takes datagrams in order, so the STATUS shows the clears).
class Run {
  public:
    Run(const PlannedController& planned, ControllerReport& report)
        : planned_(planned), report_(report) {}

    void start(Client& client) {
        if (planned_.assignment.settings.empty()) {
            close(client);
            return;
        }
        step_ = Step::Assigning;
        assignBegunAt_ = client.clock().now();
        begun_.push_back(client.beginAssign(planned_.current.mac, planned_.assignment));
    }
    // The requests begun since the last call, for the scheduler to route their answers here.
    std::vector<std::uint64_t> takeBegun() { return std::exchange(begun_, {}); }
    bool pausing() const { return step_ == Step::Pausing; }
    steady_clock::time_point pauseEnd() const { return pauseEnd_; }
    bool finished() const { return step_ == Step::Done; }
    const ControllerReport& report() const { return report_; }

    void onAnswer(Client& client, const Answer& answer) {
        if (step_ == Step::Assigning) {
            onAck(client, answer);
            return;
        }
        if (step_ == Step::CheckingLate) {
            onLateAnswer(client, answer);
            return;
        }
        const auto clear = clearing_.find(answer.ticket);
        if (clear == clearing_.end()) {
            queryFailure_ =
                deliveryFailure(answer.delivery, answer.problem, "query after the changes");
            after_ = answer.record;
        } else if (answer.delivery == Delivery::Answered && !answer.ack.accepted) {
            refusedClears_.insert(clear->second);
        }  // without an ACK, the query after shows whether it was cleared all the same
        if (--outstanding_ > 0) {
            return;
        }
        if (queryFailure_ && answer.delivery == Delivery::Silent &&
            !(late_ && silence_ == Silence::AfterTheChanges)) {
            // Accepted, then silent: most often only slow. One more query, waiting as long as
            // the controller may take for the clears and the query still queued before it.
            const auto window = client.timing().timeout;
            checkLate(client, Silence::AfterTheChanges,
                      window * static_cast<int>(planned_.clears.size() + 2));
        } else if (queryFailure_) {
            finish(queryFailure_->first, queryFailure_->second + "; accepted, but not verified",
                   CheckResult::Unverified, "");
        } else {
            verify(*after_);
        }
    }

    void onPauseOver(Client& client) { close(client); }

    void abandon() {
        finish(kNoAnswer, "interrupted before it was checked", CheckResult::Unverified, "");
    }

  private:
    enum class Step { Idle, Assigning, Pausing, Closing, CheckingLate, Done };
    enum class Silence { AfterTheAssignment, AfterTheChanges };

    void onAck(Client& client, const Answer& answer) {
        if (answer.delivery == Delivery::Silent) {
            // No ACK in time says nothing of whether the change was taken: a loaded controller
            // answers late. It may be working through every copy it heard, each as slow as the
            // ACK that did not come in time, and pausing after each; the query waits so long.
            // Only a controller that stays silent costs the whole wait.
            ack_.sentClock = answer.ack.sentClock;
            const int copies = std::max(answer.sent, 1);
            const auto window = client.timing().timeout;
            checkLate(
                client, Silence::AfterTheAssignment,
                copies * (std::chrono::seconds(wire::kPauseAfterAssignSeconds) + window) + window);
            return;
        }
        if (auto failure = deliveryFailure(answer.delivery, answer.problem, "assignment")) {
            finish(failure->first, failure->second, CheckResult::Unverified, "");
            return;
        }
        report_.from = answer.ack.from;
        if (!answer.ack.accepted) {
            finish(kRefused, planned_.current.mac + " refused the assignment (accept=no)",
                   CheckResult::Failed, "refused");
            return;
        }
        ack_ = answer.ack;
        step_ = Step::Pausing;
        // Every copy of the ASSIGN that reached the controller costs it another read of its
        // state and another pause; which copies did is unknown, so all are waited out.
        const auto now = client.clock().now();
        const int copies = std::max(answer.sent, 1);
        pauseEnd_ = now + copies * std::chrono::seconds(wire::kPauseAfterAssignSeconds) +
                    (copies - 1) * (now - assignBegunAt_);
    }

    void close(Client& client) {
        step_ = Step::Closing;
        const std::string& mac = planned_.current.mac;
        for (const std::string& key : planned_.clears) {
            begun_.push_back(client.beginClear(mac, key));
            clearing_[begun_.back()] = key;
        }
        begun_.push_back(client.beginQuery(mac));
        outstanding_ = begun_.size();
    }

    void checkLate(Client& client, Silence silence, std::chrono::milliseconds window) {
        step_ = Step::CheckingLate;
        silence_ = silence;
        late_ = true;
        begun_.push_back(client.beginQuery(planned_.current.mac, window));
    }

    void onLateAnswer(Client& client, const Answer& answer) {
        const bool afterAssignment = silence_ == Silence::AfterTheAssignment;
        if (answer.delivery != Delivery::Answered || !answer.record) {
            finish(kNoAnswer,
                   afterAssignment
                       ? "no answer to the assignment, nor to a query after it: whether it "
                         "changed is unknown; check with krvctl plan"
                       : "accepted, but no answer to the queries after it: whether every value "
                         "took effect is unknown; check with krvctl plan",
                   CheckResult::Unverified, "", Outcome::Unknown);
            return;
        }
        if (!afterAssignment) {
            verify(*answer.record);
            return;
        }
        // The controller's clock is judged by its offset from this machine's, as plan does.
        const ControllerRecord& after = *answer.record;
        const std::vector<Check> checks =
            verifyAssignment(planned_.assignment, formatUtcClock(after.receivedAtMs / 1000),
                             after.receivedAtMs, &planned_.current, after);
        if (!anyFailed(checks)) {
            // Taken: it is past its pause now that it answered, so the clears can follow.
            ack_.receivedAtMs = after.receivedAtMs;
            close(client);
            return;
        }
        const bool untouched = std::all_of(checks.begin(), checks.end(), [&](const Check& c) {
            return c.key == wire::key::kUtcclock || c.reported == planned_.current.value(c.key);
        });
        report_.checks = inPlanOrder(checks);
        if (untouched) {
            complete(kNoAnswer,
                     "no answer to the assignment, and the controller still shows its old "
                     "values: it did not take it; apply again",
                     Outcome::NotChanged);
        } else {
            complete(kNotTakenEffect,
                     "no answer to the assignment, and the controller shows only part of it",
                     Outcome::NotTakenEffect);
        }
    }

    void verify(const ControllerRecord& after) {
        std::vector<Check> found = verifyAssignment(planned_.assignment, ack_.sentClock,
                                                    ack_.receivedAtMs, &planned_.current, after);
        ExitStatus status = kDone;
        for (const std::string& key : planned_.clears) {
            if (refusedClears_.contains(key)) {
                found.push_back({key, std::string(kClearValue), after.value(key),
                                 CheckResult::Failed, "refused (accept=no)"});
                status = std::max(status, kRefused);
                continue;
            }
            found.push_back(verifyClear(key, &planned_.current, after));
            found.back().requested = kClearValue;
        }
        report_.checks = inPlanOrder(std::move(found));
        std::string problem;
        if (anyFailed(report_.checks) && status != kRefused) {
            status = kNotTakenEffect;
            problem = "accepted, but not every value took effect";
        } else if (status == kRefused) {
            problem = planned_.current.mac + " refused a clear (accept=no)";
        } else if (late_) {
            problem = "answered late: the change was found in place by a query after it";
        }
        complete(status, problem,
                 late_ && status == kDone ? Outcome::VerifiedLate : outcomeOf(status));
    }

    // Every change with the same verdict, where nothing afterwards could tell.
    void finish(ExitStatus status, const std::string& problem, CheckResult result,
                const std::string& note, std::optional<Outcome> outcome = std::nullopt) {
        std::vector<Check> checks;
        for (const PlannedChange& change : planned_.changes) {
            checks.push_back({change.key, change.wanted, "", result, note});
        }
        report_.checks = std::move(checks);
        complete(status, problem, outcome.value_or(outcomeOf(status)));
    }

    void complete(ExitStatus status, const std::string& problem, Outcome outcome) {
        report_.status = status;
        report_.outcome = outcome;
        report_.problem = problem;
        step_ = Step::Done;
    }

    std::vector<Check> inPlanOrder(std::vector<Check> checks) const {
        std::vector<Check> ordered;
        for (const PlannedChange& change : planned_.changes) {
            const auto check = std::find_if(checks.begin(), checks.end(),
                                            [&](const Check& c) { return c.key == change.key; });
            if (check != checks.end()) {
                ordered.push_back(std::move(*check));
            }
        }
        return ordered;
    }

    const PlannedController& planned_;
    ControllerReport& report_;
    Step step_ = Step::Idle;
    std::vector<std::uint64_t> begun_;
    AckAnswer ack_;
    steady_clock::time_point assignBegunAt_;
    steady_clock::time_point pauseEnd_;
    std::map<std::uint64_t, std::string> clearing_;  // CLEAR tickets and their settings
    std::size_t outstanding_ = 0;
    std::optional<std::pair<ExitStatus, std::string>> queryFailure_;
    std::optional<ControllerRecord> after_;
    std::set<std::string> refusedClears_;
    Silence silence_ = Silence::AfterTheAssignment;
    bool late_ = false;  // found out by a query after a silence
};

ControllerReport rowReport(const PlanRow& row, Outcome outcome) {
    ControllerReport report;
    report.line = row.line;
    report.mac = row.mac;
    report.labels = row.labels;
    report.outcome = outcome;
    if (outcome == Outcome::Missing) {
        report.status = kNoAnswer;
        report.problem = "did not answer the discovery";
    } else if (outcome == Outcome::Absent) {
        report.problem = "not installed yet, as the plan says";
    }
    return report;
}

// The report's rows: every planned row in the file's order, nothing done yet.
ApplyReport emptyReport(const Plan& plan) {
    ApplyReport report;
    report.separator = plan.separator;
    report.labelColumns = plan.labelColumns;
    for (const PlannedController& planned : plan.controllers) {
        report.controllers.push_back(rowReport(planned.row, Outcome::Unchanged));
        report.controllers.back().interface = planned.current.interface;
    }
    for (const PlanRow& row : plan.missing) {
        report.controllers.push_back(
            rowReport(row, row.expectedAbsent ? Outcome::Absent : Outcome::Missing));
    }
    // Reports by line, so each run writes into its own row wherever the rows end up.
    std::stable_sort(
        report.controllers.begin(), report.controllers.end(),
        [](const ControllerReport& a, const ControllerReport& b) { return a.line < b.line; });
    return report;
}

bool succeeded(const ControllerReport& report) {
    return report.status == kDone;
}

}  // namespace

std::string_view outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "ok";
        case Outcome::Unchanged:
            return "unchanged";
        case Outcome::Refused:
            return "refused";
        case Outcome::NoAnswer:
            return "no answer";
        case Outcome::NotTakenEffect:
            return "not taken effect";
        case Outcome::Missing:
            return "missing";
        case Outcome::NotSent:
            return "not sent";
        case Outcome::VerifiedLate:
            return "verified late";
        case Outcome::NotChanged:
            return "not changed";
        case Outcome::Unknown:
            return "unknown";
        case Outcome::Absent:
            return "absent as planned";
    }
    return "?";
}

ApplyReport refusedApply(const Plan& plan) {
    ApplyReport report = emptyReport(plan);
    report.problems = plan.problems;
    for (ControllerReport& controller : report.controllers) {
        std::string problems;
        for (const PlanProblem& problem : plan.problems) {
            if (problem.line == controller.line) {
                problems += (problems.empty() ? "" : "; ") + problem.problem;
            }
        }
        controller.outcome = Outcome::NotSent;
        controller.status = kUsage;
        controller.problem = problems.empty() ? "nothing sent: the plan has problems" : problems;
    }
    report.status = kUsage;
    return report;
}

ApplyReport applyPlan(Client& client, const Plan& plan, const ApplyOptions& options) {
    ApplyReport report = emptyReport(plan);
    std::vector<const PlannedController*> pending;
    for (const PlannedController& planned : plan.controllers) {
        if (!planned.changes.empty()) {
            pending.push_back(&planned);
        }
    }
    for (const std::string_view key : wire::kAssignKeys) {
        const bool changed = std::any_of(pending.begin(), pending.end(), [&](const auto* planned) {
            return std::any_of(planned->changes.begin(), planned->changes.end(),
                               [&](const PlannedChange& c) { return c.key == key; });
        });
        if (changed) {
            report.keys.emplace_back(key);
        }
    }
    const auto reportOf = [&](const PlannedController& planned) -> ControllerReport& {
        return *std::lower_bound(report.controllers.begin(), report.controllers.end(),
                                 planned.row.line,
                                 [](const ControllerReport& r, int line) { return r.line < line; });
    };

    ApplyProgress progress;
    progress.total = pending.size();
    const std::size_t parallel = std::max<std::size_t>(options.parallel, 1);
    std::vector<std::unique_ptr<Run>> active;
    std::map<std::uint64_t, Run*> byTicket;
    std::size_t next = 0;
    const auto route = [&](Run& run) {
        for (const std::uint64_t ticket : run.takeBegun()) {
            byTicket[ticket] = &run;
        }
    };
    const auto told = [&] {
        progress.inFlight = active.size();
        if (options.onProgress) {
            options.onProgress(progress);
        }
    };
    // Bounded: each turn starts a run, or ends a request or a pause, and every run has a
    // request or a pause of bounded length in hand.
    while (!client.interrupted()) {
        while (active.size() < parallel && next < pending.size()) {
            const PlannedController& planned = *pending[next++];
            active.push_back(std::make_unique<Run>(planned, reportOf(planned)));
            active.back()->start(client);
            route(*active.back());
            told();
        }
        if (active.empty()) {
            break;
        }
        auto until = steady_clock::time_point::max();
        for (const auto& run : active) {
            if (run->pausing()) {
                until = std::min(until, run->pauseEnd());
            }
        }
        for (const Answer& answer : client.awaitAnswers(until)) {
            const auto owner = byTicket.find(answer.ticket);
            if (owner == byTicket.end()) {
                continue;
            }
            Run* run = owner->second;
            byTicket.erase(owner);
            run->onAnswer(client, answer);
            route(*run);
        }
        const auto now = client.clock().now();
        for (const auto& run : active) {
            if (run->pausing() && run->pauseEnd() <= now) {
                run->onPauseOver(client);
                route(*run);
            }
        }
        for (auto run = active.begin(); run != active.end();) {
            if (!(*run)->finished()) {
                ++run;
                continue;
            }
            ++progress.done;
            const ControllerReport& finished = (*run)->report();
            ++(succeeded(finished) ? progress.ok : progress.failed);
            run = active.erase(run);
            told();
            if (options.onFinished) {
                options.onFinished(finished, progress);
            }
        }
    }
    // Only an interruption leaves work behind.
    for (const auto& run : active) {
        run->abandon();
    }
    for (; next < pending.size(); ++next) {
        ControllerReport& untouched = reportOf(*pending[next]);
        untouched.outcome = Outcome::NotSent;
        untouched.status = kNoAnswer;
        untouched.problem = "interrupted before it started";
    }
    for (const ControllerReport& controller : report.controllers) {
        report.status = std::max(report.status, controller.status);
    }
    return report;
}

}  // namespace krvctl
