#pragma once

#include <ostream>

#include "krvctl/diagnosis/Diagnosis.h"
#include "krvctl/views/JsonView.h"

namespace krvctl {

// krvctl doctor's report: each interface with its state, addresses and whether it was searched,
// the controllers that answered on it and its findings; then the machine's; then a summary.
void printDiagnosis(std::ostream& out, const Diagnosis& diagnosis);

// {"interfaces": [{"name", "friendlyName", "index", "up", "loopback", "pointToPoint",
// "canBroadcast", "ipv4": [{"address", "prefixLength", "broadcast"}], "coverage", "searched",
// "search": {"queriesSent", "ownQueryCameBack", "controllers": [discover's objects],
// "notKept", "setApart", "dropped", "problem"}}], "broadcastRoute": {"interface", "source",
// "problem"}, "portHolders": [{"pid", "program", "uid", "address"}], "findings": [{"severity",
// "code", "interface", "seen", "next"}], "controllersAnswered", "status"}.
Json diagnosisJson(const Diagnosis& diagnosis);

}  // namespace krvctl
