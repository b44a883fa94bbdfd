// The velqorin tool run as a script runs it: in the lab's workstation namespace, in a
// session of its own so that it has no terminal to ask (secrets come on standard input
// with --password-stdin), its output caught in anonymous files.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "harness/Error.h"
#include "harness/Fd.h"
#include "harness/Process.h"

namespace velqorin::e2e {

struct CliRun {
    int exitCode = -1;  // -1: killed, or ended by a signal
    std::string out;
    std::string err;
    double seconds = 0;
};

inline std::ostream& operator<<(std::ostream& os, const CliRun& run) {
    return os << "exit " << run.exitCode << "\n--- stdout\n" << run.out << "--- stderr\n" << run.err;
}

// An anonymous file holding `text`, read from its start.
inline Fd memoryFile(const char* name, const std::string& text = {}) {
    Fd fd(::memfd_create(name, MFD_CLOEXEC));
    if (!fd) throw HarnessError(systemError("memfd_create", errno));
    if (!text.empty() &&
        ::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw HarnessError(systemError("write memfd", errno));
    ::lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

// All that the file holds, from its start.
inline std::string readBack(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// `cli args...` in namespace `workstation`, `input` on its standard input; killed after
// `timeout`.
inline CliRun runCli(const std::string& workstation, const std::string& cli,
                     const std::vector<std::string>& args, const std::string& input,
                     std::chrono::milliseconds timeout) {
    std::vector<std::string> argv{"setsid", "--wait", "ip", "netns", "exec", workstation, cli};
    argv.insert(argv.end(), args.begin(), args.end());
    Fd in = memoryFile("stdin", input);
    Fd out = memoryFile("stdout");
    Fd err = memoryFile("stderr");
    const auto started = std::chrono::steady_clock::now();
    Child child = Child::spawn(argv, {in.get(), out.get(), err.get()});
    const auto status = child.waitFor(timeout);
    CliRun run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int waitStatus = status ? *status : child.terminate(std::chrono::milliseconds(0));
    run.exitCode = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    run.out = readBack(out.get());
    run.err = readBack(err.get()) +
              (status ? "" : "\n(killed: no end after " +
                                 std::to_string(timeout.count() / 1000) + " s)");
    return run;
}

}  // namespace velqorin::e2e
