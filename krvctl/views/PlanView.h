#pragma once

#include <ostream>

#include "krvctl/fleet/Plan.h"
#include "krvctl/views/JsonView.h"

namespace krvctl {

// Each controller to change with its settings as "now → wanted", then the planned controllers
// that did not answer, those on the LAN that the file leaves alone, every problem as
// FILE:LINE: ..., and a count of it all.
void printPlan(std::ostream& out, const Plan& plan);

// "  LABEL=value" for each label that is not empty.
std::string labelsText(const std::vector<std::string>& columns,
                       const std::vector<std::string>& labels);

// {"changes": [{"mac", LABEL: value..., KEY: {"now", "wanted"}}], "missing": [{"mac", LABEL:
// value...}], "unplanned": [{"mac", "from", "ip", "hostname"}], "problems": [{"line", "mac",
// "problem", "risk"}]}.
Json planJson(const Plan& plan);

}  // namespace krvctl
