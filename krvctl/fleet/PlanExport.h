#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "krvctl/lan/ControllerRecord.h"

namespace krvctl {

struct PlanExport {
    std::string csv;
    std::vector<std::string> leftOut;  // the addresses of controllers without a MAC
};

inline constexpr const char* kInterfaceColumn = "interface";

// The LAN as a plan file: mac, every setting an ASSIGN carries with its current value (the
// clock left empty), and hostname and the interface it answered on as labels. Applied
// unchanged, it changes nothing.
PlanExport exportPlan(const std::vector<ControllerRecord>& controllers);

}  // namespace krvctl
