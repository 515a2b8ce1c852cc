#include "krvctl/fleet/CsvText.h"

#include <csv.h>

#include <array>
#include <memory>
#include <optional>
#include <utility>

namespace krvctl {

namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// The first line's choice, outside quotes: the separator it holds most of, a comma when none.
char separatorOf(std::string_view text) {
    int commas = 0;
    int semicolons = 0;
    int tabs = 0;
    bool quoted = false;
    for (const char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == '\n' || c == '\r')) {
            break;
        } else if (!quoted) {
            commas += c == ',' ? 1 : 0;
            semicolons += c == ';' ? 1 : 0;
            tabs += c == '\t' ? 1 : 0;
        }
    }
    if (tabs > commas && tabs > semicolons) {
        return '\t';
    }
    return semicolons > commas ? ';' : ',';
}

// Excel's "sep=;" first line (quoted when another program wrote it): the separator it names,
// and the length of the line with its break.
std::optional<std::pair<char, std::size_t>> excelSeparatorLine(std::string_view text) {
    std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    if (line.size() >= 2 && line.front() == '"' && line.back() == '"') {
        line = line.substr(1, line.size() - 2);
    }
    if (line.size() != 5 || !line.starts_with("sep=") ||
        std::string_view(",;\t|").find(line[4]) == std::string_view::npos) {
        return std::nullopt;
    }
    if (end == std::string_view::npos) {
        end = text.size();
    } else if (text.substr(end).starts_with("\r\n")) {
        end += 2;
    } else {
        end += 1;
    }
    return std::pair{line[4], end};
}

// The length of a well-formed UTF-8 sequence at the start, 0 when it is not one.
std::size_t utf8SequenceAt(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned lowest = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    unsigned codePoint = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < lowest || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

bool isUtf8(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = utf8SequenceAt(text);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

void appendUtf8(std::string& out, unsigned codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Windows-1252 to UTF-8: Latin-1 but for 0x80-0x9F, where it keeps typographic signs; the five
// bytes it leaves undefined become U+FFFD.
std::string fromWindows1252(std::string_view text) {
    static constexpr std::array<unsigned, 32> kHighControls = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        appendUtf8(out, byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : byte);
    }
    return out;
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

// libcsv trims tabs as spaces by default, which would swallow the empty cells of a tab-separated
// file; there only the space is trimmed.
int isSpaceButNotTab(unsigned char c) {
    return c == ' ' ? 1 : 0;
}

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
    std::string decoded;
    if (!isUtf8(bytes)) {
        decoded = fromWindows1252(bytes);
        bytes = decoded;
        table.note =
            "not UTF-8: read as Windows-1252, what older Excel saves; save the sheet as "
            "CSV UTF-8 to be sure of every letter";
    }
    LineCounter skipped;
    if (const auto named = excelSeparatorLine(bytes)) {
        table.separator = named->first;
        skipped.take(bytes.substr(0, named->second));
        bytes.remove_prefix(named->second);
    } else {
        table.separator = separatorOf(bytes);
    }
    csv_parser parser;
    // Strict: a stray quote is named with its line rather than swallowing the rows after it.
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_REPALL_NL) != 0) {
        table.problem = "cannot read CSV: out of memory";
        return table;
    }
    const std::unique_ptr<csv_parser, ParserFree> owner(&parser);
    csv_set_delim(&parser, static_cast<unsigned char>(table.separator));
    if (table.separator == '\t') {
        csv_set_space_func(&parser, isSpaceButNotTab);
    }
    Gatherer gatherer{table, skipped, {}, false};
    const std::size_t read = csv_parse(&parser, bytes.data(), bytes.size(), Gatherer::cell,
                                       Gatherer::recordEnd, &gatherer);
    if (read < bytes.size()) {
        LineCounter where = skipped;
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
