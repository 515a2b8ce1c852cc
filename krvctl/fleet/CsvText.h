#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace krvctl {

// CSV as spreadsheets save it: "," ";" or a tab between cells (whichever the first line uses, or
// what Excel's "sep=;" first line names), an optional UTF-8 byte-order mark, CRLF or LF, quoted
// cells with doubled quotes inside, which may also hold separators and line breaks. Unquoted
// cells lose the spaces at either end. Text that is not UTF-8 is read as Windows-1252, what
// older Excel saves, and said so in the table's note.
struct CsvRecord {
    int line = 0;  // where the record starts; the first line of the file is 1
    std::vector<std::string> cells;
};

struct CsvTable {
    char separator = ',';
    std::vector<CsvRecord> records;  // empty lines left out
    std::string note;                // how the text was read, when not as plain UTF-8
    // Where reading stopped and why; empty when the whole text was read.
    int problemLine = 0;
    std::string problem;
};

CsvTable readCsv(std::string_view bytes);

// One record ending in a line feed; a cell is quoted where a reader would otherwise split it,
// trim it or end the line in it.
std::string csvRecord(const std::vector<std::string>& cells, char separator = ',');

// A cell a spreadsheet shows as text even when it begins with = + - @, which it would otherwise
// run as a formula: a value a controller reported must not become one.
std::string spreadsheetText(std::string_view text);

}  // namespace krvctl
