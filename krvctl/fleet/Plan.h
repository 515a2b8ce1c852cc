#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "krvctl/fleet/PlanFile.h"
#include "krvctl/lan/Client.h"
#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/values/Assignment.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl {

// One setting that differs from the plan.
struct PlannedChange {
    std::string key;
    std::string now;     // as the controller reports it; for utcclock, its clock
    std::string wanted;  // as the file has it: "-" clears, utcclock "now"
    std::string note;    // what else the engineer should know, such as a clock's offset
};

struct PlannedController {
    PlanRow row;
    ControllerRecord current;
    std::vector<PlannedChange> changes;  // in the daemon's order
    Assignment assignment;               // what one ASSIGN carries: every change but the clears
    std::vector<std::string> clears;     // one CLEAR each, after the ASSIGN
};

// The plan file set against the LAN: what apply would send, and what keeps it from sending.
struct Plan {
    std::string file;
    char separator = ',';
    std::vector<std::string> labelColumns;
    std::vector<PlannedController> controllers;  // planned and answering, in the file's order
    std::vector<PlanRow> missing;  // planned, but they did not answer; some expectedAbsent
    std::vector<ControllerRecord> unplanned;  // on the LAN and not in the file: left alone
    std::vector<PlanProblem> problems;        // by line
    std::vector<PlanProblem> warnings;        // by line; they keep nothing from being sent

    std::size_t pending() const;
    // Missing, and not marked as not installed yet.
    std::size_t silent() const;
    // A row with a problem is neither as planned already nor merely not answering: whatever the
    // LAN holds, its cells are not what the engineer meant.
    bool hasProblem(int line) const;
    // A problem keeps apply from sending anything; --force lets only cut-off risks pass.
    bool blocks(bool force) const;
};

// The clock is set only when it is further off than this.
inline constexpr std::int64_t kClockSlackSeconds = 2;

// Rows are matched by MAC. A setting counts as changed when the controller reports another
// value (a setting it does not report counts as not set); a clock when it is off by more than
// the slack. The guard judges each controller on the values it would end with.
Plan makePlan(PlanFile file, const Discovery& lan);

// plan's own exit status besides those of ExitStatus: apply would send something.
inline constexpr int kChangesPending = 4;

// kUsage when there is a problem, kNoAnswer when a planned controller did not answer,
// kChangesPending when something would be sent, kDone when the LAN matches the plan.
int planStatus(const Plan& plan);

}  // namespace krvctl
