#include "krvctl/fleet/Plan.h"

#include <algorithm>
#include <map>
#include <set>

#include "krvctl/operations/NetworkGuard.h"
#include "krvctl/values/Ipv4.h"
#include "krvctl/values/MacAddress.h"
#include "krvctl/values/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

bool isPublicResolver(const std::string& address) {
    const auto& list = wire::kUnreportedNameservers;
    return std::find(list.begin(), list.end(), address) != list.end();
}

// The change one setting of the row asks for, or nothing when the controller has it already.
std::optional<PlannedChange> changeOf(const Setting& wanted, const ControllerRecord& current) {
    PlannedChange change{wanted.key, current.value(wanted.key), wanted.value, {}};
    if (wanted.key == wire::key::kUtcclock) {
        if (!current.clockOffsetSeconds) {
            change.note = "the controller's clock is unreadable";
            return change;
        }
        if (std::abs(*current.clockOffsetSeconds) <= kClockSlackSeconds) {
            return std::nullopt;
        }
        change.note = "off by " + formatOffset(*current.clockOffsetSeconds);
        return change;
    }
    if (wanted.value == kClearValue) {
        return change.now.empty() ? std::nullopt : std::optional(change);
    }
    if (change.now == wanted.value) {
        return std::nullopt;
    }
    if (wanted.key == wire::key::kNameserver && isPublicResolver(wanted.value)) {
        change.note = "a public resolver is never reported: sent every time";
    } else if (wanted.key == wire::key::kNameserver && change.now.empty()) {
        change.note = "no name server reported: sent every time";
    }
    return change;
}

PlannedController planFor(PlanRow row, const ControllerRecord& current) {
    PlannedController planned{std::move(row), current, {}, {}, {}};
    for (const Setting& wanted : planned.row.settings) {
        auto change = changeOf(wanted, current);
        if (!change) {
            continue;
        }
        if (change->wanted == kClearValue) {
            planned.clears.push_back(change->key);
        } else {
            planned.assignment.settings.push_back({change->key, change->wanted});
        }
        planned.changes.push_back(std::move(*change));
    }
    return planned;
}

// The guard's verdict on what would be sent, from the values the controller would end with.
void judge(const PlannedController& planned, std::vector<PlanProblem>& problems) {
    if (planned.assignment.settings.empty()) {
        return;
    }
    const int line = planned.row.line;
    const std::string& mac = planned.row.mac;
    // Addresses a DHCP controller ignores are a mistake in the plan, never worth forcing.
    const auto ignored = addressesIgnoredUnderDhcp(planned.assignment, &planned.current);
    if (ignored) {
        problems.push_back({line, mac, mac + ": " + *ignored, false});
    }
    for (const std::string& risk : cutOffRisks(planned.assignment, &planned.current)) {
        if (risk != ignored) {
            problems.push_back({line, mac, mac + ": " + risk, true});
        }
    }
}

// Who holds an address once the plan is applied.
struct Holder {
    int line = 0;        // 0: not in the file
    std::string mac;     // or the address it answered from, for a controller without one
    bool moves = false;  // the plan puts it onto the address
};

std::string describe(const Holder& holder) {
    return holder.line > 0 ? holder.mac + " (line " + std::to_string(holder.line) + ")"
                           : holder.mac + " (not in the file)";
}

// Two controllers must not end on one address; among controllers that keep theirs, the LAN's
// state is not the plan's business.
void checkAddresses(const Plan& plan, std::vector<PlanProblem>& problems) {
    std::map<std::uint32_t, std::vector<Holder>> holders;
    const auto hold = [&](const std::string& address, Holder holder) {
        if (const auto parsed = parseDottedQuad(address)) {
            holders[parsed.value()].push_back(std::move(holder));
        }
    };
    for (const PlannedController& planned : plan.controllers) {
        const std::string* wanted = planned.assignment.find(wire::key::kIp);
        hold(wanted != nullptr ? *wanted : planned.current.value(wire::key::kIp),
             {planned.row.line, planned.row.mac, wanted != nullptr});
    }
    for (const PlanRow& row : plan.missing) {
        const auto wanted = std::find_if(row.settings.begin(), row.settings.end(),
                                         [](const Setting& s) { return s.key == wire::key::kIp; });
        if (wanted != row.settings.end()) {
            hold(wanted->value, {row.line, row.mac, true});
        }
    }
    for (const ControllerRecord& record : plan.unplanned) {
        hold(record.value(wire::key::kIp),
             {0, record.mac.empty() ? record.from : record.mac, false});
    }
    for (const auto& [address, sharing] : holders) {
        for (const Holder& mover : sharing) {
            if (!mover.moves) {
                continue;
            }
            for (const Holder& other : sharing) {
                const std::string where = formatDottedQuad(address);
                if (&other == &mover || (other.moves && other.line > mover.line)) {
                    continue;
                }
                problems.push_back({mover.line, mover.mac,
                                    other.moves ? mover.mac + ": " + where + " is planned for " +
                                                      describe(other) + " too"
                                                : mover.mac + ": " + where + " is held by " +
                                                      describe(other) + ", which keeps it"});
            }
        }
    }
}

}  // namespace

std::size_t Plan::pending() const {
    return static_cast<std::size_t>(
        std::count_if(controllers.begin(), controllers.end(),
                      [](const PlannedController& c) { return !c.changes.empty(); }));
}

std::size_t Plan::silent() const {
    return static_cast<std::size_t>(std::count_if(
        missing.begin(), missing.end(), [](const auto& row) { return !row.expectedAbsent; }));
}

bool Plan::hasProblem(int line) const {
    return std::any_of(problems.begin(), problems.end(),
                       [line](const PlanProblem& p) { return p.line == line; });
}

bool Plan::blocks(bool force) const {
    return std::any_of(problems.begin(), problems.end(),
                       [force](const PlanProblem& p) { return !p.risk || !force; });
}

Plan makePlan(PlanFile file, const Discovery& lan) {
    Plan plan;
    plan.file = std::move(file.name);
    plan.labelColumns = std::move(file.labelColumns);
    plan.problems = std::move(file.problems);
    plan.warnings = std::move(file.warnings);
    plan.separator = file.separator;
    // The daemon reports its MAC in whatever form it holds it; rows are matched on its value.
    std::map<std::string, const ControllerRecord*> byMac;
    for (const ControllerRecord& record : lan.controllers) {
        if (const auto mac = normalizeMac(record.mac)) {
            byMac.emplace(mac.value(), &record);
        }
    }
    // By MAC: the interfaces it answered on when more than one.
    std::map<std::string, std::vector<std::string>> cloned;
    for (std::size_t i = 0; i < lan.conflictedMacs.size(); ++i) {
        if (const auto normal = normalizeMac(lan.conflictedMacs[i])) {
            cloned[normal.value()] = i < lan.conflictedInterfaces.size()
                                         ? lan.conflictedInterfaces[i]
                                         : std::vector<std::string>{};
        }
    }
    std::set<const ControllerRecord*> planned;
    for (PlanRow& row : file.rows) {
        const auto found = byMac.find(row.mac);
        if (found == byMac.end()) {
            plan.missing.push_back(std::move(row));
            continue;
        }
        planned.insert(found->second);
        if (row.expectedAbsent) {
            plan.warnings.push_back({row.line, row.mac,
                                     row.mac + " is marked absent but answered: planned as any "
                                               "other; empty its absent cell"});
        }
        if (const auto clone = cloned.find(row.mac); clone != cloned.end()) {
            if (clone->second.empty()) {
                plan.problems.push_back(
                    {row.line, row.mac,
                     row.mac + " answered from more than one address: whatever is sent to it "
                               "reaches all of them"});
            } else {
                std::string interfaces;
                for (const std::string& interface : clone->second) {
                    interfaces += (interfaces.empty() ? "" : ", ") + interface;
                }
                plan.problems.push_back(
                    {row.line, row.mac,
                     row.mac + " answered on more than one interface (" + interfaces +
                         "): two controllers share it, and what is sent reaches only one"});
            }
        }
        plan.controllers.push_back(planFor(std::move(row), *found->second));
        judge(plan.controllers.back(), plan.problems);
    }
    for (const ControllerRecord& record : lan.controllers) {
        if (!planned.contains(&record)) {
            plan.unplanned.push_back(record);
        }
    }
    checkAddresses(plan, plan.problems);
    for (auto* list : {&plan.problems, &plan.warnings}) {
        std::stable_sort(
            list->begin(), list->end(),
            [](const PlanProblem& a, const PlanProblem& b) { return a.line < b.line; });
    }
    return plan;
}

int planStatus(const Plan& plan) {
    if (!plan.problems.empty()) {
        return kUsage;
    }
    if (plan.silent() > 0) {
        return kNoAnswer;
    }
    return plan.pending() > 0 ? kChangesPending : kDone;
}

}  // namespace krvctl
