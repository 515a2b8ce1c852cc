#include "krvctl/fleet/CsvText.h"

#include <csv.h>

#include <memory>

namespace krvctl {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// The first line's choice, outside quotes; a comma when it has neither.
char separatorOf(std::string_view text) {
    int commas = 0;
    int semicolons = 0;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == '\n' || c == '\r')) {
            break;
        } else if (!quoted) {
            commas += c == ',' ? 1 : 0;
            semicolons += c == ';' ? 1 : 0;
        }
    }
    return semicolons > commas ? ';' : ',';
}

// Counts lines as an editor does: CRLF, LF and a lone CR each end one.
class LineCounter {
  public:
    int line() const { return line_; }
    void take(char c) {
        if (c == '\r' || (c == '\n' && !afterCarriageReturn_)) {
            ++line_;
        }
        afterCarriageReturn_ = c == '\r';
    }
    // A stretch of text of its own: a break before it does not pair with one inside.
    void take(std::string_view text) {
        afterCarriageReturn_ = false;
        for (const char c : text) {
            take(c);
        }
    }

  private:
    int line_ = 1;
    bool afterCarriageReturn_ = false;
};

// Gathers libcsv's cells into records, each with the line it starts on.
struct Gatherer {
    CsvTable& table;
    LineCounter lines;
    CsvRecord record;
    bool inRecord = false;

    static void cell(void* bytes, std::size_t size, void* self) {
        auto& gatherer = *static_cast<Gatherer*>(self);
        const std::string_view text(static_cast<const char*>(bytes), bytes == nullptr ? 0 : size);
        if (!gatherer.inRecord) {
            gatherer.record.line = gatherer.lines.line();
            gatherer.inRecord = true;
        }
        gatherer.record.cells.emplace_back(text);
        // A quoted cell may hold line breaks; the next record starts after them.
        gatherer.lines.take(text);
    }
    // Called at the end of a record, and (with CSV_REPALL_NL) for every line break between.
    static void recordEnd(int ending, void* self) {
        auto& gatherer = *static_cast<Gatherer*>(self);
        if (gatherer.inRecord) {
            gatherer.table.records.push_back(std::move(gatherer.record));
            gatherer.record = {};
            gatherer.inRecord = false;
        }
        if (ending >= 0) {
            gatherer.lines.take(static_cast<char>(ending));
        }
    }
};

struct ParserFree {
    void operator()(csv_parser* parser) const { csv_free(parser); }
};

}  // namespace

CsvTable readCsv(std::string_view bytes) {
    CsvTable table;
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
        table.problemLine = 1;
        table.problem = "the file is UTF-16 text; save the sheet as CSV (UTF-8)";
        return table;
    }
    if (bytes.starts_with(kUtf8Mark)) {
        bytes.remove_prefix(kUtf8Mark.size());
    }
    table.separator = separatorOf(bytes);
    csv_parser parser;
    // Strict: a stray quote is named with its line rather than swallowing the rows after it.
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL) != 0) {
        table.problem = "cannot read CSV: out of memory";
        return table;
    }
    const std::unique_ptr<csv_parser, ParserFree> owner(&parser);
    csv_set_delim(&parser, static_cast<unsigned char>(table.separator));
    Gatherer gatherer{table, {}, {}, false};
    const std::size_t read = csv_parse(&parser, bytes.data(), bytes.size(), Gatherer::cell,
                                       Gatherer::recordEnd, &gatherer);
    if (read < bytes.size()) {
        LineCounter where;
        where.take(bytes.substr(0, read));
        table.problemLine = where.line();
        table.problem = csv_error(&parser) == CSV_EPARSE
                            ? "a quote inside a cell that is not quoted, or text after a "
                              "closing quote: quote the whole cell and double the quotes in it"
                            : "the cell is too large";
        return table;
    }
    if (csv_fini(&parser, Gatherer::cell, Gatherer::recordEnd, &gatherer) != 0) {
        // The open cell's line breaks were never counted, so the counter stands where it began.
        table.problemLine = gatherer.lines.line();
        table.problem = "a quoted cell that starts here never ends: a closing quote is missing";
    }
    return table;
}

std::string csvRecord(const std::vector<std::string>& cells, char separator) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::string& cell = cells[i];
        if (i > 0) {
            line += separator;
        }
        const bool quote =
            cell.find_first_of(std::string("\"\r\n") + separator) != std::string::npos ||
            (!cell.empty() && (cell.front() == ' ' || cell.front() == '\t' || cell.back() == ' ' ||
                               cell.back() == '\t'));
        if (!quote) {
            line += cell;
            continue;
        }
        line += '"';
        for (const char c : cell) {
            line += c;
            if (c == '"') {
                line += '"';
            }
        }
        line += '"';
    }
    return line + '\n';
}

std::string spreadsheetText(std::string_view text) {
    if (!text.empty() && std::string_view("=+-@").find(text.front()) != std::string_view::npos) {
        // Appended, not "'" + text: GCC 12's -Wrestrict misfires on that at -O3.
        std::string guarded = "'";
        guarded += text;
        return guarded;
    }
    return std::string(text);
}

}  // namespace krvctl
