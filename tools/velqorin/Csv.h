// A small strict CSV reader for the files a spreadsheet writes: quoted cells with doubled
// quotes and line breaks inside, CRLF or LF line ends, a UTF-8 byte order mark, and comma
// or semicolon as the separator.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velqorin::cli {

struct CsvCell {
    std::string text;     // without its quotes; doubled quotes made single
    bool quoted = false;  // spaces around an unquoted cell are the caller's to drop
};

struct CsvRecord {
    std::size_t line = 0;  // the line the record starts on, 1 first
    std::vector<CsvCell> cells;
};

struct CsvError {
    std::size_t line = 0;
    std::string reason;
};

struct CsvTable {
    std::vector<CsvRecord> records;  // blank lines left out
    std::optional<CsvError> error;   // the records stop at the first malformed one
};

// ';' when the first line has semicolons and no comma outside quotes (the export of a
// spreadsheet set to a language that writes decimal commas), else ','.
char csvSeparator(std::string_view text);

CsvTable readCsv(std::string_view text);

}  // namespace velqorin::cli
