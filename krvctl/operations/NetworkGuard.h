#pragma once

#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/values/Assignment.h"

namespace krvctl {

// Why the assignment would likely cut the controller off its network, judged on the new
// values together with the current ones (current may be null when they are not known). Empty
// when nothing speaks against it. The engineer may still insist.
std::vector<std::string> cutOffRisks(const Assignment& assignment, const ControllerRecord* current);

// Among those risks: addresses for a controller that will be on DHCP, which ignores them. The
// text is the one cutOffRisks gives.
std::optional<std::string> addressesIgnoredUnderDhcp(const Assignment& assignment,
                                                     const ControllerRecord* current);

}  // namespace krvctl
