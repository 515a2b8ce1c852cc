#include "krvctl/views/PlanView.h"

#include "krvctl/values/Printable.h"
#include "krvctl/views/TableView.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace key = krv::wire::key;

namespace {

std::string rowText(const Plan& plan, const PlanRow& row) {
    return row.mac + "  line " + std::to_string(row.line) +
           labelsText(plan.labelColumns, row.labels);
}

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

Json labelled(const Plan& plan, const PlanRow& row) {
    Json json = Json::object();
    json["mac"] = row.mac;
    for (std::size_t i = 0; i < plan.labelColumns.size() && i < row.labels.size(); ++i) {
        json[plan.labelColumns[i]] = row.labels[i];
    }
    return json;
}

}  // namespace

std::string labelsText(const std::vector<std::string>& columns,
                       const std::vector<std::string>& labels) {
    std::string text;
    for (std::size_t i = 0; i < columns.size() && i < labels.size(); ++i) {
        if (!labels[i].empty()) {
            text += "  " + printable(columns[i]) + "=" + printable(labels[i]);
        }
    }
    return text;
}

void printPlan(std::ostream& out, const Plan& plan) {
    for (const PlannedController& planned : plan.controllers) {
        if (planned.changes.empty()) {
            continue;
        }
        out << rowText(plan, planned.row) << '\n';
        std::vector<std::vector<std::string>> rows;
        for (const PlannedChange& change : planned.changes) {
            std::string wanted = change.wanted == kClearValue ? "(cleared)" : change.wanted;
            if (!change.note.empty()) {
                wanted += "  (" + change.note + ")";
            }
            rows.push_back({"  " + change.key,
                            change.now.empty() ? "(none)" : printable(change.now), "→", wanted});
        }
        out << alignedTable(rows);
    }
    for (const PlanRow& row : plan.missing) {
        out << (row.expectedAbsent ? "not installed yet, as planned: " : "did not answer: ")
            << rowText(plan, row) << '\n';
    }
    for (const ControllerRecord& record : plan.unplanned) {
        const std::string ip = record.value(key::kIp);
        out << "not in the file, left alone: "
            << (record.mac.empty() ? "(no MAC)" : printable(record.mac)) << "  "
            << (ip.empty() ? record.from : printable(ip)) << "  "
            << printable(record.value(key::kHostname)) << '\n';
    }
    for (const PlanProblem& problem : plan.problems) {
        out << printable(plan.file);
        if (problem.line > 0) {
            out << ':' << problem.line;
        }
        out << ": " << printable(problem.problem)
            << (problem.risk ? " (a cut-off risk: apply --force sends it all the same)" : "")
            << '\n';
    }
    for (const PlanProblem& warning : plan.warnings) {
        out << printable(plan.file);
        if (warning.line > 0) {
            out << ':' << warning.line;
        }
        out << ": warning: " << printable(warning.problem) << '\n';
    }
    std::size_t toChange = 0;
    std::size_t done = 0;
    std::size_t silent = 0;
    std::size_t held = 0;
    std::size_t absent = 0;
    for (const PlannedController& planned : plan.controllers) {
        std::size_t& count = plan.hasProblem(planned.row.line) ? held
                             : planned.changes.empty()         ? done
                                                               : toChange;
        ++count;
    }
    for (const PlanRow& row : plan.missing) {
        ++(plan.hasProblem(row.line) ? held : row.expectedAbsent ? absent : silent);
    }
    const std::size_t planned = plan.controllers.size() + plan.missing.size();
    out << plural(planned, "controller", "controllers") << " planned: " << toChange
        << " to change, " << done << " as planned already, " << silent << " not answering"
        << (absent > 0 ? ", " + std::to_string(absent) + " absent as planned" : "")
        << (held > 0 ? ", " + std::to_string(held) + " with a problem in their row" : "") << "; "
        << plural(plan.unplanned.size(), "other", "others") << " on the LAN; "
        << plural(plan.problems.size(), "problem", "problems");
    if (!plan.warnings.empty()) {
        out << ", " << plural(plan.warnings.size(), "warning", "warnings");
    }
    out << '\n';
}

Json planJson(const Plan& plan) {
    Json changes = Json::array();
    for (const PlannedController& planned : plan.controllers) {
        if (planned.changes.empty()) {
            continue;
        }
        Json json = labelled(plan, planned.row);
        for (const PlannedChange& change : planned.changes) {
            Json setting = {{"now", change.now}, {"wanted", change.wanted}};
            if (!change.note.empty()) {
                setting["note"] = change.note;
            }
            json[change.key] = setting;
        }
        changes.push_back(json);
    }
    Json missing = Json::array();
    Json absent = Json::array();
    for (const PlanRow& row : plan.missing) {
        (row.expectedAbsent ? absent : missing).push_back(labelled(plan, row));
    }
    Json unplanned = Json::array();
    for (const ControllerRecord& record : plan.unplanned) {
        unplanned.push_back({{"mac", record.mac},
                             {"from", record.from},
                             {"ip", record.value(key::kIp)},
                             {"hostname", record.value(key::kHostname)}});
    }
    Json problems = Json::array();
    for (const PlanProblem& problem : plan.problems) {
        problems.push_back({{"line", problem.line},
                            {"mac", problem.mac},
                            {"problem", problem.problem},
                            {"risk", problem.risk}});
    }
    Json warnings = Json::array();
    for (const PlanProblem& warning : plan.warnings) {
        warnings.push_back({{"line", warning.line}, {"warning", warning.problem}});
    }
    return {{"changes", changes},   {"missing", missing},   {"unplanned", unplanned},
            {"problems", problems}, {"warnings", warnings}, {"absent", absent}};
}

}  // namespace krvctl
