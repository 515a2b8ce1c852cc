#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "krvctl/values/Assignment.h"

namespace krvctl {

// Something in the plan, or between the plan and the LAN, that keeps apply from sending.
struct PlanProblem {
    int line = 0;     // in the plan file (the header is line 1); 0 for the file as a whole
    std::string mac;  // the controller it concerns, when there is one
    std::string problem;
    bool risk = false;  // a cut-off risk of the guard, which --force overrides
};

// In a server setting's cell: clear that setting.
inline constexpr std::string_view kClearValue = "-";

// One controller as the plan file wants it.
struct PlanRow {
    int line = 0;
    std::string mac;                  // upper case with colons
    std::vector<Setting> settings;    // checked, in the daemon's order; "-" clears, utcclock "now"
    std::vector<std::string> labels;  // one per label column, in the file's order
    bool expectedAbsent = false;      // the absent column says it is not installed yet
};

// A column that marks a controller not installed yet: listed, but its silence is no failure.
inline constexpr std::string_view kAbsentColumn = "absent";

struct PlanFile {
    std::string name;                       // as the engineer gave it
    char separator = ',';                   // a CSV file's, for a report the sheet reads alike
    std::vector<std::string> labelColumns;  // every column that is neither mac nor a setting
    std::vector<PlanRow> rows;              // each with a good MAC, the first row of each MAC
    std::vector<PlanProblem> problems;
    // What the engineer should look at but that keeps nothing from being sent: how the file was
    // read, values a spreadsheet may have made up.
    std::vector<PlanProblem> warnings;
    bool complete = true;  // false when the file could not be read through: no plan can be made
};

// CSV with a header row (see CsvText.h), or, for a name ending in .json, an array of objects
// whose keys are the columns. Columns: mac (required), the settings an ASSIGN carries, and any
// other name as a label that is shown but never sent; absent (yes or empty) marks a controller
// not installed yet. An empty cell leaves a setting as it is.
PlanFile readPlanFile(std::string name, std::string_view bytes);

}  // namespace krvctl
