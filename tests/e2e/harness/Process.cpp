#include "harness/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "harness/Error.h"
#include "harness/Fd.h"

namespace velqorin::e2e {

std::string systemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

std::string describeStatus(int waitStatus) {
    if (WIFEXITED(waitStatus)) return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    if (WIFSIGNALED(waitStatus)) return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
    return "ended with wait status " + std::to_string(waitStatus);
}

bool CommandResult::succeeded() const {
    return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        if (::access(name.c_str(), X_OK) != 0) throw HarnessError(systemError("cannot run " + name, errno));
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    throw HarnessError("cannot find " + name + " in PATH; is it installed?");
}

namespace {

std::string commandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& arg : argv) {
        if (!line.empty()) line += ' ';
        line += arg;
    }
    return line;
}

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

Child Child::spawn(const std::vector<std::string>& argv, Redirect redirect) {
    if (argv.empty()) throw HarnessError("cannot start a program from an empty command line");
    const std::string program = findProgram(argv[0]);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!devNull) throw HarnessError(systemError("cannot open /dev/null", errno));
    // The child writes errno here when execv fails; a clean exec closes it empty.
    int execPipe[2];
    if (::pipe2(execPipe, O_CLOEXEC) != 0) throw HarnessError(systemError("pipe2", errno));
    Fd execRead(execPipe[0]);
    Fd execWrite(execPipe[1]);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw HarnessError(systemError("fork", errno));
    if (pid == 0) {
        // Only async-signal-safe calls from here to execv.
        const int in = redirect.stdinFd >= 0 ? redirect.stdinFd : devNull.get();
        if (::dup2(in, STDIN_FILENO) < 0) ::_exit(127);
        if (redirect.stdoutFd >= 0 && ::dup2(redirect.stdoutFd, STDOUT_FILENO) < 0) ::_exit(127);
        if (redirect.stderrFd >= 0 && ::dup2(redirect.stderrFd, STDERR_FILENO) < 0) ::_exit(127);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::execv(program.c_str(), args.data());
        const int error = errno;
        [[maybe_unused]] auto n = ::write(execWrite.get(), &error, sizeof error);
        ::_exit(127);
    }
    execWrite.reset();
    Child child;
    child.pid_ = pid;
    int error = 0;
    ssize_t n;
    do n = ::read(execRead.get(), &error, sizeof error);
    while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof error)) {
        child.waitFor(5s);
        throw HarnessError(systemError("cannot run " + program, error));
    }
    return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(std::exchange(other.status_, std::nullopt)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (running()) terminate(0ms);
        pid_ = std::exchange(other.pid_, -1);
        status_ = std::exchange(other.status_, std::nullopt);
    }
    return *this;
}

Child::~Child() {
    if (running()) terminate(0ms);
}

std::optional<int> Child::poll() {
    if (!running()) return status_;
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid_, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return std::nullopt;
    // ECHILD means someone else reaped it; nothing better to report than a kill.
    status_ = r == pid_ ? status : SIGKILL;
    pid_ = -1;
    return status_;
}

std::optional<int> Child::waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto s = poll()) return s;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

int Child::terminate(std::chrono::milliseconds grace) {
    if (!running()) return status_.value_or(0);
    if (grace > 0ms) {
        ::kill(pid_, SIGTERM);
        if (auto s = waitFor(grace)) return *s;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid_, &status, 0);
    while (r < 0 && errno == EINTR);
    status_ = r == pid_ ? status : SIGKILL;
    pid_ = -1;
    return *status_;
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw HarnessError(systemError("pipe2", errno));
    Fd readEnd(out[0]);
    Fd writeEnd(out[1]);
    Child child = Child::spawn(argv, {-1, writeEnd.get(), writeEnd.get()});
    writeEnd.reset();

    CommandResult result;
    const auto deadline = Clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        pollfd p{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            result.output += "\n(" + commandLine(argv) + " did not finish within " +
                             std::to_string(timeout.count()) + " ms and was killed)";
            break;
        }
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer has closed: the command has ended or is ending
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    std::optional<int> status = child.waitFor(std::chrono::milliseconds(remainingMs(deadline)));
    result.waitStatus = status ? *status : child.terminate(0ms);
    return result;
}

namespace {

// Everything written to an anonymous file, from its start.
std::string readAll(int fd) {
    std::string text;
    if (::lseek(fd, 0, SEEK_SET) < 0) throw HarnessError(systemError("lseek", errno));
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw HarnessError(systemError("read", errno));
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

bool SplitResult::exitedWith(int code) const {
    return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == code;
}

SplitResult runCommandSplit(const std::vector<std::string>& argv,
                            std::chrono::milliseconds timeout) {
    // Anonymous files rather than pipes: nothing has to be read while the command runs.
    Fd out(::memfd_create("stdout", MFD_CLOEXEC));
    Fd err(::memfd_create("stderr", MFD_CLOEXEC));
    if (!out || !err) throw HarnessError(systemError("memfd_create", errno));
    Child child = Child::spawn(argv, {-1, out.get(), err.get()});
    const std::optional<int> status = child.waitFor(timeout);
    SplitResult result;
    result.waitStatus = status ? *status : child.terminate(0ms);
    result.out = readAll(out.get());
    result.err = readAll(err.get());
    if (!status)
        result.err += "\n(" + commandLine(argv) + " did not finish within " +
                      std::to_string(timeout.count()) + " ms and was killed)";
    return result;
}

std::string runChecked(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    CommandResult result = runCommand(argv, timeout);
    if (!result.succeeded())
        throw HarnessError("`" + commandLine(argv) + "` " + describeStatus(result.waitStatus) +
                           (result.output.empty() ? "" : ": " + result.output));
    return result.output;
}

}  // namespace velqorin::e2e
