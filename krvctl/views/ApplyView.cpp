#include "krvctl/views/ApplyView.h"

#include <algorithm>

#include "krvctl/fleet/CsvText.h"
#include "krvctl/fleet/PlanExport.h"
#include "krvctl/values/Printable.h"
#include "krvctl/views/PlanView.h"
#include "krvctl/views/TableView.h"
#include "protocol/TextTransforms.h"

namespace krvctl {

namespace {

const Check* checkOf(const ControllerReport& controller, const std::string& key) {
    const auto check = std::find_if(controller.checks.begin(), controller.checks.end(),
                                    [&](const Check& c) { return c.key == key; });
    return check == controller.checks.end() ? nullptr : &*check;
}

// A key's result; where it is not plainly ok, what was wanted against what the controller
// reported, and why, so the engineer need not ask for the JSON.
std::string checkText(const Check& check) {
    std::string text(resultName(check.result));
    if (check.result == CheckResult::Ok) {
        return text;
    }
    const bool cleared = check.requested == kClearValue;
    if (check.result == CheckResult::Failed || !check.reported.empty()) {
        text += " (wanted " + (cleared ? std::string("it cleared") : check.requested) +
                ", reported " + (check.reported.empty() ? "nothing" : check.reported) + ")";
    }
    if (!check.note.empty()) {
        text += ": " + check.note;
    }
    return text;
}

// The table's rows, unescaped: line, mac, labels, result, each key, problem.
std::vector<std::vector<std::string>> reportRows(const ApplyReport& report, bool withProblem) {
    // Where the interfaces are known; a plan file exported by discover --csv has the column
    // already, as a label.
    const bool interfaceColumn =
        std::find(report.labelColumns.begin(), report.labelColumns.end(), kInterfaceColumn) ==
            report.labelColumns.end() &&
        std::any_of(report.controllers.begin(), report.controllers.end(),
                    [](const ControllerReport& c) { return !c.interface.empty(); });
    std::vector<std::string> header = {"line", "mac"};
    if (interfaceColumn) {
        header.emplace_back(kInterfaceColumn);
    }
    header.insert(header.end(), report.labelColumns.begin(), report.labelColumns.end());
    header.emplace_back("result");
    header.insert(header.end(), report.keys.begin(), report.keys.end());
    if (withProblem) {
        header.emplace_back("problem");
    }
    std::vector<std::vector<std::string>> rows = {header};
    for (const ControllerReport& controller : report.controllers) {
        std::vector<std::string> row = {std::to_string(controller.line), controller.mac};
        if (interfaceColumn) {
            row.push_back(controller.interface);
        }
        for (std::size_t i = 0; i < report.labelColumns.size(); ++i) {
            row.push_back(i < controller.labels.size() ? controller.labels[i] : "");
        }
        row.emplace_back(outcomeName(controller.outcome));
        for (const std::string& key : report.keys) {
            const Check* check = checkOf(controller, key);
            row.push_back(check == nullptr ? "" : checkText(*check));
        }
        if (withProblem) {
            row.push_back(controller.problem);
        }
        rows.push_back(std::move(row));
    }
    // A refused plan's problems that belong to no controller's row: a bad MAC, the file.
    for (const PlanProblem& problem : report.problems) {
        const bool onARow =
            std::any_of(report.controllers.begin(), report.controllers.end(),
                        [&](const ControllerReport& c) { return c.line == problem.line; });
        if (onARow || !withProblem) {
            continue;
        }
        std::vector<std::string> row(header.size());
        row[0] = std::to_string(problem.line);
        row[1] = problem.mac;
        row[2 + (interfaceColumn ? 1 : 0) + report.labelColumns.size()] = "problem";
        row.back() = problem.problem;
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

std::string progressLine(const ApplyProgress& progress) {
    return "applying: " + std::to_string(progress.done) + " of " + std::to_string(progress.total) +
           " done, " + std::to_string(progress.ok) + " ok, " + std::to_string(progress.failed) +
           " failed, " + std::to_string(progress.total - progress.done) + " waiting";
}

std::string finishedLine(const std::vector<std::string>& labelColumns,
                         const ControllerReport& controller) {
    std::string line = controller.mac + "  line " + std::to_string(controller.line) +
                       labelsText(labelColumns, controller.labels);
    line += ": " + std::string(outcomeName(controller.outcome));
    std::string checks;
    for (const Check& check : controller.checks) {
        checks += (checks.empty() ? "" : ", ") + check.key + " " + checkText(check);
    }
    if (!checks.empty()) {
        line += " (" + checks + ")";
    }
    if (!controller.problem.empty()) {
        line += ": " + printable(controller.problem);
    }
    return line;
}

void printApplyReport(std::ostream& out, const ApplyReport& report) {
    const bool anyProblem =
        !report.problems.empty() ||
        std::any_of(report.controllers.begin(), report.controllers.end(),
                    [](const ControllerReport& c) { return !c.problem.empty(); });
    auto rows = reportRows(report, anyProblem);
    for (std::string& heading : rows.front()) {
        heading = krv::upperCased(heading);
    }
    for (auto& row : rows) {
        for (std::string& cell : row) {
            cell = cell.empty() ? "-" : printable(cell);
        }
    }
    out << alignedTable(rows);
}

Json applyJson(const ApplyReport& report) {
    Json controllers = Json::array();
    for (const ControllerReport& controller : report.controllers) {
        Json json = Json::object();
        json["mac"] = controller.mac;
        for (std::size_t i = 0; i < report.labelColumns.size() && i < controller.labels.size();
             ++i) {
            json[report.labelColumns[i]] = controller.labels[i];
        }
        // Where it answered now, over what the file may say.
        json[kInterfaceColumn] = controller.interface;
        json["result"] = std::string(outcomeName(controller.outcome));
        json["problem"] = controller.problem;
        for (const Check& check : controller.checks) {
            json[check.key] = {{"wanted", check.requested},
                               {"reported", check.reported},
                               {"result", std::string(resultName(check.result))},
                               {"note", check.note}};
        }
        controllers.push_back(json);
    }
    Json problems = Json::array();
    for (const PlanProblem& problem : report.problems) {
        problems.push_back({{"line", problem.line},
                            {"mac", problem.mac},
                            {"problem", problem.problem},
                            {"risk", problem.risk}});
    }
    return {{"controllers", controllers}, {"problems", problems}};
}

std::string applyCsv(const ApplyReport& report) {
    std::string csv;
    for (auto row : reportRows(report, true)) {
        // A label or a reported value starting with = must not become a formula in the sheet.
        for (std::string& cell : row) {
            cell = spreadsheetText(cell);
        }
        csv += csvRecord(row, report.separator);
    }
    return csv;
}

}  // namespace krvctl
