#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/operations/NetworkGuard.h"
#include "krvctl/operations/Verification.h"
#include "krvctl/values/Assignment.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl {

struct AssignOptions {
    bool verify = true;
    bool force = false;  // assign even when the values look like they cut the controller off
    // Told of the ACK as soon as it arrives, before the pause and the verification.
    std::function<void(const AckAnswer&)> onAck;
};

// The whole of one assign: the query before, the cut-off guard, the ACK, the pause, the query
// after and the key-by-key checks. Every front end renders this; none repeats the steps.
struct AssignReport {
    ExitStatus status = kDone;
    std::string problem;             // for every status but kDone
    std::vector<std::string> risks;  // why the guard refused
    std::optional<ControllerRecord> before;
    AckAnswer ack;
    bool verified = false;  // the query after the pause was answered
    std::optional<ControllerRecord> after;
    std::vector<Check> checks;
};

AssignReport assignAndVerify(Client& client, const std::string& mac, const Assignment& assignment,
                             AssignOptions options);

struct ClearReport {
    ExitStatus status = kDone;
    std::string problem;
    std::string setting;
    std::optional<ControllerRecord> before;
    AckAnswer ack;
    bool verified = false;
    std::optional<ControllerRecord> after;
    std::optional<Check> check;
};

ClearReport clearAndVerify(Client& client, const std::string& mac, const std::string& setting,
                           bool verify, const std::function<void(const AckAnswer&)>& onAck = {});

// The exit status and message for a request that got no reply, or nothing when it got one.
std::optional<std::pair<ExitStatus, std::string>> deliveryFailure(Delivery delivery,
                                                                  const std::string& problem,
                                                                  const std::string& what);

}  // namespace krvctl
