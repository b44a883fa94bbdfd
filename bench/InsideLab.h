// Raw frames leave a benchmark only from inside a lab: the process's network namespace
// must be the lab's workstation namespace, which `ip netns` keeps at /run/netns/NAME-ws.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace velqorin::bench {

// Why this process may not send, or nothing when it runs inside lab `lab`'s workstation.
inline std::optional<std::string> outsideLab(const std::string& lab) {
    if (lab.empty()) return "no --lab given; this benchmark sends frames only inside a lab";
    struct stat mine {}, theirs {};
    const std::string path = "/run/netns/" + lab + "-ws";
    if (::stat("/proc/self/ns/net", &mine) != 0 || ::stat(path.c_str(), &theirs) != 0)
        return "lab " + lab + " is not up (no " + path + ")";
    if (mine.st_dev != theirs.st_dev || mine.st_ino != theirs.st_ino)
        return "not inside " + lab + "-ws; run it with `lab/lab exec " + lab + " ws ...`";
    return std::nullopt;
}

}  // namespace velqorin::bench
