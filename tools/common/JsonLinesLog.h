// A test tool's log: one JSON object a line, flushed line by line, since tests read the log
// while the tool runs. Wire texts need not be UTF-8: bad bytes come out as U+FFFD instead
// of failing the whole line.
#pragma once

#include <cerrno>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>

namespace velqorin::tools {

// The record as one line of JSON and a newline.
inline std::string logLine(const nlohmann::ordered_json& record) {
    std::string line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line.push_back('\n');
    return line;
}

class JsonLinesLog {
public:
    // Standard error when `path` is empty. Throws std::system_error when it cannot open it.
    explicit JsonLinesLog(const std::string& path)
        : path_(path.empty() ? "standard error" : path) {
        if (path.empty()) {
            file_ = stderr;
            return;
        }
        file_ = std::fopen(path.c_str(), "w");
        if (!file_) throw std::system_error(errno, std::generic_category(), "fopen log " + path);
        owned_.reset(file_);
    }

    // Throws std::system_error when the line cannot be written whole: a reader that went
    // away must end the tool with a message.
    void write(const nlohmann::ordered_json& record) {
        const std::string line = logLine(record);
        if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
            std::fflush(file_) != 0)
            throw std::system_error(errno, std::generic_category(), "write log " + path_);
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::string path_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<std::FILE, Closer> owned_;
};

}  // namespace velqorin::tools
