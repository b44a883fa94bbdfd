#include "Csv.h"

namespace velqorin::cli {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view withoutBom(std::string_view text) {
    if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
    return text;
}

bool isBlank(const CsvRecord& record) {
    for (const CsvCell& cell : record.cells)
        if (cell.quoted || cell.text.find_first_not_of(" \t") != std::string::npos) return false;
    return true;
}

}  // namespace

char csvSeparator(std::string_view text) {
    text = withoutBom(text);
    bool quoted = false, semicolon = false;
    for (const char c : text) {
        if (c == '"') quoted = !quoted;
        if (quoted) continue;
        if (c == '\n' || c == '\r') break;
        if (c == ',') return ',';
        if (c == ';') semicolon = true;
    }
    return semicolon ? ';' : ',';
}

CsvTable readCsv(std::string_view text) {
    text = withoutBom(text);
    const char separator = csvSeparator(text);
    CsvTable table;
    std::size_t line = 1;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        CsvRecord record;
        record.line = line;
        bool endOfRecord = false;
        while (!endOfRecord) {
            CsvCell cell;
            if (i < n && text[i] == '"') {
                cell.quoted = true;
                const std::size_t openedOn = line;
                ++i;
                for (;;) {
                    if (i >= n) {
                        table.error = CsvError{openedOn, "a quoted cell is never closed"};
                        return table;
                    }
                    const char c = text[i++];
                    if (c == '"') {
                        if (i < n && text[i] == '"') {
                            cell.text += '"';
                            ++i;
                            continue;
                        }
                        break;
                    }
                    if (c == '\n') ++line;
                    cell.text += c;
                }
                // Only spaces may stand between the closing quote and the separator.
                while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
                if (i < n && text[i] != separator && text[i] != '\n' && text[i] != '\r') {
                    table.error = CsvError{line, "text after the closing quote of a cell"};
                    return table;
                }
            } else {
                while (i < n && text[i] != separator && text[i] != '\n' && text[i] != '\r') {
                    if (text[i] == '"') {
                        table.error = CsvError{line, "a quote inside a cell that does not start "
                                                     "with one (quote the whole cell and double "
                                                     "the quotes inside)"};
                        return table;
                    }
                    cell.text += text[i++];
                }
            }
            record.cells.push_back(std::move(cell));
            if (i >= n) {
                endOfRecord = true;
            } else if (text[i] == separator) {
                ++i;
            } else {
                // CRLF, LF or a lone CR ends the record.
                if (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
                ++i;
                ++line;
                endOfRecord = true;
            }
        }
        if (!isBlank(record)) table.records.push_back(std::move(record));
    }
    return table;
}

}  // namespace velqorin::cli
