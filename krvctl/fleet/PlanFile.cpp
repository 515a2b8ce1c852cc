#include "krvctl/fleet/PlanFile.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "krvctl/fleet/CsvText.h"
#include "krvctl/values/Ipv4.h"
#include "krvctl/values/MacAddress.h"
#include "protocol/TextTransforms.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

bool isOneOf(std::string_view key, const auto& keys) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// What each column of the header holds.
struct Columns {
    int mac = -1;
    int absent = -1;
    std::map<std::string, int> settings;  // by key
    std::vector<int> labels;              // in the file's order
    std::vector<int> unnamed;
};

Columns readHeader(const CsvRecord& header, PlanFile& file) {
    Columns columns;
    std::map<std::string, int> seen;
    for (int column = 0; column < static_cast<int>(header.cells.size()); ++column) {
        const std::string name = trimmed(header.cells[column]);
        const std::string key = krv::lowerCased(name);
        if (name.empty()) {
            columns.unnamed.push_back(column);
            continue;
        }
        if (!seen.emplace(key, column).second) {
            file.problems.push_back({header.line, "", "the column " + name + " is named twice"});
            continue;
        }
        if (key == wire::key::kMac) {
            columns.mac = column;
        } else if (key == kAbsentColumn) {
            columns.absent = column;
        } else if (isOneOf(key, wire::kAssignKeys)) {
            columns.settings.emplace(key, column);
        } else {
            columns.labels.push_back(column);
            file.labelColumns.push_back(name);
        }
    }
    return columns;
}

std::string cellOf(const CsvRecord& record, int column) {
    return column < static_cast<int>(record.cells.size()) ? record.cells[column] : std::string();
}

bool isAddressKey(std::string_view key) {
    return key == wire::key::kIp || key == wire::key::kNetmask || key == wire::key::kGateway ||
           key == wire::key::kNtpip || key == wire::key::kSyslogip || key == wire::key::kNameserver;
}

// An address a spreadsheet turned into a number: with a locale whose thousands separator is
// '.', 10.100.100.101 is imported as 10100100101, and a long number may then be shown as
// 1.01001E+10. Either is an address no longer, and the engineer should learn why.
bool looksLikeAnEatenAddress(std::string_view value) {
    const bool digitsOnly = value.size() >= 4 && value.size() <= 12 &&
                            value.find_first_not_of("0123456789") == std::string_view::npos;
    const auto exponent = value.find_first_of("eE");
    const bool scientific =
        exponent != std::string_view::npos && exponent > 0 &&
        value.find_first_not_of("0123456789.,") == exponent &&
        value.find_first_not_of("+0123456789", exponent + 1) == std::string_view::npos;
    return digitsOnly || scientific;
}

constexpr std::string_view kEatenAddressAdvice =
    "this looks like an IPv4 address whose dots a spreadsheet took for thousands separators "
    "(or wrote as a number in scientific notation): format the column as Text before pasting "
    "or typing the addresses, or import the file with the column as Text";

// The row's settings in the daemon's order; each cell's problem goes to the file's list.
std::vector<Setting> readSettings(const CsvRecord& record, const Columns& columns,
                                  const std::string& mac, PlanFile& file) {
    std::vector<Setting> settings;
    for (const std::string_view key : wire::kAssignKeys) {
        const auto column = columns.settings.find(std::string(key));
        const std::string value =
            column == columns.settings.end() ? "" : trimmed(cellOf(record, column->second));
        const auto problem = [&](const std::string& why) {
            file.problems.push_back(
                {record.line, mac, std::string(key) + " '" + value + "': " + why});
        };
        if (value.empty()) {
            continue;
        }
        if (value == kClearValue) {
            if (isOneOf(key, wire::kClearKeys)) {
                settings.push_back({std::string(key), value});
            } else {
                problem("'-' clears only ntpip, syslogip and nameserver");
            }
        } else if (key == wire::key::kUtcclock) {
            if (krv::lowerCased(value) == kClockNow) {
                settings.push_back({std::string(key), std::string(kClockNow)});
            } else {
                problem(
                    "utcclock takes only now: this machine's clock, set where the "
                    "controller's is off by more than 2 s");
            }
        } else if (isAddressKey(key) && looksLikeAnEatenAddress(value)) {
            problem(std::string(kEatenAddressAdvice));
        } else {
            const AssignmentCheck check = checkSettings({{std::string(key), value}});
            if (check.problems.empty()) {
                settings.push_back(check.assignment.settings.front());
            } else {
                problem(check.problems.front().problem);
            }
        }
    }
    return settings;
}

bool blank(const CsvRecord& record) {
    return std::all_of(record.cells.begin(), record.cells.end(),
                       [](const std::string& cell) { return trimmed(cell).empty(); });
}

void readRows(const std::vector<CsvRecord>& records, PlanFile& file) {
    if (records.empty()) {
        file.problems.push_back({1, "",
                                 "the file is empty: the first row names the columns, "
                                 "mac and the settings to plan"});
        file.complete = false;
        return;
    }
    const CsvRecord& header = records.front();
    const Columns columns = readHeader(header, file);
    if (columns.mac < 0) {
        file.problems.push_back({header.line, "",
                                 "no column mac: the first row names the columns, mac and the "
                                 "settings to plan"});
        file.complete = false;
        return;
    }
    std::map<std::string, int> firstLineOf;
    for (auto record = records.begin() + 1; record != records.end(); ++record) {
        if (blank(*record)) {
            continue;
        }
        const auto problem = [&](const std::string& mac, const std::string& why) {
            file.problems.push_back({record->line, mac, why});
        };
        for (std::size_t column = header.cells.size(); column < record->cells.size(); ++column) {
            if (!trimmed(record->cells[column]).empty()) {
                problem("", "a value beyond the last column the header names");
                break;
            }
        }
        for (const int column : columns.unnamed) {
            if (!trimmed(cellOf(*record, column)).empty()) {
                problem("", "a value in column " + std::to_string(column + 1) +
                                ", which has no name in the header");
            }
        }
        const std::string macCell = trimmed(cellOf(*record, columns.mac));
        const auto mac = normalizeMac(macCell);
        if (macCell.empty()) {
            problem("", "no MAC: every row needs the controller's mac");
        } else if (!mac) {
            problem("", "mac '" + macCell + "': " + mac.problem());
        }
        const std::string macText = mac ? mac.value() : "";
        PlanRow row{record->line, macText, readSettings(*record, columns, macText, file), {}};
        for (const int column : columns.labels) {
            row.labels.push_back(cellOf(*record, column));
        }
        if (columns.absent >= 0) {
            const std::string absent = krv::lowerCased(trimmed(cellOf(*record, columns.absent)));
            if (absent == "yes" || absent == "y" || absent == "x" || absent == "1" ||
                absent == "true") {
                row.expectedAbsent = true;
            } else if (!absent.empty() && absent != "no" && absent != "n" && absent != "0" &&
                       absent != "false") {
                problem(macText, "absent '" + absent +
                                     "': yes marks a controller not installed yet; leave the "
                                     "cell empty for one that should answer");
            }
        }
        if (!mac) {
            continue;
        }
        const auto [first, isNew] = firstLineOf.emplace(macText, record->line);
        if (!isNew) {
            problem(macText,
                    macText + " is planned on line " + std::to_string(first->second) + " already");
            continue;
        }
        file.rows.push_back(std::move(row));
    }
}

// The line where each element of the top-level array starts, in text that has parsed already.
std::vector<int> elementLines(std::string_view text) {
    std::vector<int> lines;
    int line = 1;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    bool elementNext = false;
    for (const char c : text) {
        if (inString) {
            escaped = !escaped && c == '\\';
            inString = escaped || c != '"';
            continue;
        }
        if (c == '\n') {
            ++line;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            continue;
        }
        if (depth == 1 && elementNext && c != ']') {
            lines.push_back(line);
            elementNext = false;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
            elementNext = depth == 1;
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 1) {
            elementNext = true;
        }
    }
    return lines;
}

int lineAt(std::string_view text, std::size_t offset) {
    return 1 +
           static_cast<int>(std::count(
               text.begin(),
               text.begin() + static_cast<std::ptrdiff_t>(std::min(offset, text.size())), '\n'));
}

// The array's objects as a table: the header is every key in the order first seen.
std::vector<CsvRecord> recordsOfJson(std::string_view text, PlanFile& file) {
    using Json = nlohmann::ordered_json;
    Json array;
    try {
        array = Json::parse(text);
    } catch (const Json::parse_error& error) {
        file.problems.push_back(
            {lineAt(text, error.byte), "",
             "not JSON: " +
                 std::string(error.what()).substr(std::string(error.what()).find(':') + 2)});
        file.complete = false;
        return {};
    }
    if (!array.is_array()) {
        file.problems.push_back({1, "", "a JSON plan is an array of objects, one per controller"});
        file.complete = false;
        return {};
    }
    const std::vector<int> lines = elementLines(text);
    CsvRecord header{1, {}};
    std::vector<CsvRecord> records;
    for (std::size_t index = 0; index < array.size(); ++index) {
        const Json& element = array[index];
        const int line = index < lines.size() ? lines[index] : 0;
        if (!element.is_object()) {
            file.problems.push_back({line, "", "not an object: each element is one controller"});
            continue;
        }
        CsvRecord record{line, std::vector<std::string>(header.cells.size())};
        for (const auto& [key, value] : element.items()) {
            auto column = std::find(header.cells.begin(), header.cells.end(), key);
            if (column == header.cells.end()) {
                header.cells.push_back(key);
                record.cells.emplace_back();
                column = header.cells.end() - 1;
            }
            std::string& cell =
                record.cells[static_cast<std::size_t>(column - header.cells.begin())];
            if (value.is_string()) {
                cell = value.get<std::string>();
            } else if (value.is_number()) {
                cell = value.dump();
            } else if (!value.is_null()) {
                file.problems.push_back({line, "", key + ": a value is text, a number or null"});
            }
        }
        records.push_back(std::move(record));
    }
    records.insert(records.begin(), std::move(header));
    return records;
}

// Dragging a cell down in a spreadsheet counts an address up by one per row. For settings a
// whole site normally shares that is almost never meant, but every value is valid: a warning.
void warnOfFilledSeries(PlanFile& file) {
    for (const std::string_view key :
         {wire::key::kNtpip, wire::key::kSyslogip, wire::key::kNameserver, wire::key::kGateway,
          wire::key::kNetmask}) {
        const PlanRow* previous = nullptr;
        std::uint32_t previousAddress = 0;
        const PlanRow* seriesStart = nullptr;
        const PlanRow* seriesEnd = nullptr;
        const auto warn = [&] {
            if (seriesStart == nullptr) {
                return;
            }
            file.warnings.push_back(
                {seriesStart->line, "",
                 std::string(key) + " rises by one from row to row on lines " +
                     std::to_string(seriesStart->line) + " to " + std::to_string(seriesEnd->line) +
                     ": a spreadsheet's fill handle does that when a cell is dragged down, and " +
                     std::string(key) +
                     " is normally one value for the whole site; check the cells"});
            seriesStart = nullptr;
        };
        for (const PlanRow& row : file.rows) {
            const auto setting = std::find_if(row.settings.begin(), row.settings.end(),
                                              [&](const Setting& s) { return s.key == key; });
            const auto address = setting == row.settings.end() ? Result<std::uint32_t>::failure("")
                                                               : parseDottedQuad(setting->value);
            if (!address) {
                continue;
            }
            if (previous != nullptr && address.value() == previousAddress + 1) {
                seriesStart = seriesStart == nullptr ? previous : seriesStart;
                seriesEnd = &row;
            } else {
                warn();
            }
            previous = &row;
            previousAddress = address.value();
        }
        warn();
    }
}

bool endsWith(std::string_view name, std::string_view ending) {
    return name.size() >= ending.size() &&
           krv::lowerCased(std::string(name.substr(name.size() - ending.size()))) == ending;
}

}  // namespace

PlanFile readPlanFile(std::string name, std::string_view bytes) {
    PlanFile file;
    file.name = std::move(name);
    if (endsWith(file.name, ".json")) {
        std::vector<CsvRecord> records = recordsOfJson(bytes, file);
        if (file.complete) {
            readRows(records, file);
        }
    } else {
        const CsvTable table = readCsv(bytes);
        file.separator = table.separator;
        if (!table.note.empty()) {
            file.warnings.push_back({0, "", table.note});
        }
        if (!table.problem.empty()) {
            file.problems.push_back({table.problemLine, "", table.problem});
            file.complete = false;
        } else {
            readRows(table.records, file);
        }
    }
    warnOfFilledSeries(file);
    std::stable_sort(file.problems.begin(), file.problems.end(),
                     [](const PlanProblem& a, const PlanProblem& b) { return a.line < b.line; });
    return file;
}

}  // namespace krvctl
