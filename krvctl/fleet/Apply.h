#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "krvctl/fleet/Plan.h"
#include "krvctl/lan/Client.h"
#include "krvctl/operations/Verification.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl {

// NoAnswer is left only by an interruption: a controller silent after it was sent to is queried
// once more, and then is VerifiedLate, NotChanged (it shows its old values) or Unknown.
enum class Outcome {
    Ok,
    Unchanged,
    Refused,
    NoAnswer,
    NotTakenEffect,
    Missing,
    NotSent,
    VerifiedLate,
    NotChanged,
    Unknown,
    Absent,  // missing, as the plan expects: not installed yet
};

// What became of one row of the plan.
struct ControllerReport {
    int line = 0;
    std::string mac;
    std::vector<std::string> labels;
    Outcome outcome = Outcome::Unchanged;
    ExitStatus status = kDone;
    std::string problem;
    std::string from;           // the address its ACK came from
    std::string interface;      // the one it answered the discovery on; empty when it did not
    std::vector<Check> checks;  // one per change, in the plan's order
};

struct ApplyProgress {
    std::size_t total = 0;  // controllers with changes
    std::size_t done = 0;
    std::size_t ok = 0;
    std::size_t failed = 0;
    std::size_t inFlight = 0;
};

struct ApplyOptions {
    std::size_t parallel = 8;  // controllers at once
    std::function<void(const ControllerReport&, const ApplyProgress&)> onFinished;
    // Whenever a controller starts or finishes.
    std::function<void(const ApplyProgress&)> onProgress;
};

struct ApplyReport {
    char separator = ',';  // the plan file's, for the CSV report
    std::vector<std::string> labelColumns;
    std::vector<std::string> keys;              // every key changed anywhere, in the daemon's order
    std::vector<ControllerReport> controllers;  // every planned row, in the file's order
    ExitStatus status = kDone;                  // the worst of them
    std::vector<PlanProblem> problems;          // of a plan refused before anything was sent
};

// Sends the plan's changes, to up to parallel controllers at once: per controller one ASSIGN
// with every changed key, then, after its pause, a CLEAR for each cleared setting, then one
// query that checks every key as assign does. A controller that fails does not stop the rest.
// The plan must not block (Plan::blocks): nothing here asks again.
ApplyReport applyPlan(Client& client, const Plan& plan, const ApplyOptions& options);

// The record of a plan that was refused: every row not sent, the problems that kept it back.
ApplyReport refusedApply(const Plan& plan);

std::string_view outcomeName(Outcome outcome);

}  // namespace krvctl
