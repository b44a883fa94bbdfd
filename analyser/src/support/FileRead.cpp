#include "support/FileRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/Handles.h"

namespace velqorin {

std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t limit) {
    // O_NONBLOCK so that opening a FIFO planted in a lease folder cannot hang the sweep.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

    std::string text;
    char chunk[16384];
    while (text.size() < limit) {
        const std::size_t want = std::min(sizeof chunk, limit - text.size());
        const ssize_t n = ::read(fd.get(), chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace velqorin
