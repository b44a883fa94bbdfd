// The file by which a test tool tells whoever started it that it is ready: its pid, written
// aside and renamed into place so that a reader never sees half of it; removed on exit.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace velqorin::tools {

class ReadyFile {
public:
    // Nothing when `path` is empty. Throws std::system_error naming the failing step.
    explicit ReadyFile(std::string path) : path_(std::move(path)) {
        if (path_.empty()) return;
        const std::string aside = path_ + ".tmp" + std::to_string(::getpid());
        std::FILE* f = std::fopen(aside.c_str(), "w");
        if (!f) fail("fopen " + aside);
        const bool written = std::fprintf(f, "%d\n", static_cast<int>(::getpid())) > 0;
        if (std::fclose(f) != 0 || !written) {
            const int e = errno;
            std::remove(aside.c_str());
            fail("write " + aside, e);
        }
        if (std::rename(aside.c_str(), path_.c_str()) != 0) {
            const int e = errno;
            std::remove(aside.c_str());
            fail("rename " + aside + " to " + path_, e);
        }
    }
    ~ReadyFile() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    ReadyFile(const ReadyFile&) = delete;
    ReadyFile& operator=(const ReadyFile&) = delete;

private:
    [[noreturn]] static void fail(const std::string& what, int error = errno) {
        throw std::system_error(error, std::generic_category(), what);
    }
    std::string path_;
};

}  // namespace velqorin::tools
