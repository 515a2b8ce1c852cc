#pragma once

#include <cstddef>
#include <string>

#include "krvctl/fleet/PlanFile.h"
#include "krvctl/lan/Client.h"
#include "krvctl/program/Environment.h"

namespace krvctl {

struct FleetArguments {
    bool json = false;
    bool yes = false;
    bool force = false;
    std::size_t parallel = 8;
    std::string report;     // where apply writes its report as CSV; empty for none
    bool applying = false;  // apply, not plan: a refusal is recorded as apply's report
};

// The plan file as the command line reads it: a file that cannot be read is a problem of the
// file as a whole, so that plan can show it like any other.
PlanFile loadPlanFile(Environment& environment, const std::string& path);

// krvctl plan: discovers, prints what apply would do; 64, 2, 4 or 0 (see planStatus).
int runPlan(Environment& environment, Client& client, const PlanFile& file,
            const FleetArguments& arguments);
// krvctl apply: the same plan, confirmed, then sent; its report.
int runApply(Environment& environment, Client& client, const PlanFile& file,
             const FleetArguments& arguments);
// krvctl plan or apply with a file that could not be read through: nothing is discovered.
int refuseUnreadablePlan(Environment& environment, const PlanFile& file,
                         const FleetArguments& arguments);

}  // namespace krvctl
