#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "krvctl/fleet/Apply.h"
#include "krvctl/views/JsonView.h"

namespace krvctl {

// "applying: 5 of 24 done, 4 ok, 1 failed, 19 waiting", for a line that is redrawn.
std::string progressLine(const ApplyProgress& progress);
// One controller as it finishes: "MAC  line N  LABEL=value...: RESULT (KEY RESULT, ...)".
std::string finishedLine(const std::vector<std::string>& labelColumns,
                         const ControllerReport& controller);

// Every row of the plan: line, MAC, labels, result, each changed key's verdict, the problem.
void printApplyReport(std::ostream& out, const ApplyReport& report);
// {"controllers": [{"mac", LABEL: value..., "result", "problem", KEY: {"wanted", "reported",
// "result", "note"}}]}.
Json applyJson(const ApplyReport& report);
// The table as CSV, for a spreadsheet beside the plan.
std::string applyCsv(const ApplyReport& report);

}  // namespace krvctl
