#include "krvctl/fleet/PlanExport.h"

#include "krvctl/fleet/CsvText.h"
#include "krvctl/values/Printable.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

// Whatever a controller reports reaches neither a terminal nor a spreadsheet formula raw.
std::string safeCell(const std::string& value) {
    return spreadsheetText(printable(value));
}

}  // namespace

PlanExport exportPlan(const std::vector<ControllerRecord>& controllers) {
    PlanExport exported;
    std::vector<std::string> header = {std::string(wire::key::kMac)};
    header.insert(header.end(), wire::kAssignKeys.begin(), wire::kAssignKeys.end());
    header.emplace_back(wire::key::kHostname);
    // A label as far as plan is concerned: where the controller answered, for the engineer.
    header.emplace_back(kInterfaceColumn);
    exported.csv = csvRecord(header);
    for (const ControllerRecord& record : controllers) {
        // A controller that cannot tell its MAC cannot be addressed, so it cannot be planned.
        if (record.mac.empty()) {
            exported.leftOut.push_back(record.from);
            continue;
        }
        std::vector<std::string> cells = {record.mac};
        for (const std::string_view key : wire::kAssignKeys) {
            cells.push_back(key == wire::key::kUtcclock ? "" : safeCell(record.value(key)));
        }
        cells.push_back(safeCell(record.value(wire::key::kHostname)));
        cells.push_back(safeCell(record.interface));
        exported.csv += csvRecord(cells);
    }
    return exported;
}

}  // namespace krvctl
