// Child processes without a shell: argv goes to execv as it is.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velqorin::e2e {

using namespace std::chrono_literals;

// A wait status as text: "exited with status 3", "killed by signal 9".
std::string describeStatus(int waitStatus);

// argv[0] as execv needs it: searched in PATH unless it holds a '/'. Throws HarnessError
// when there is no such program.
std::string findProgram(const std::string& name);

struct CommandResult {
    int waitStatus = 0;
    std::string output;  // stdout and stderr, interleaved as written
    bool succeeded() const;
};

// Runs argv and collects its output; a command still running after `timeout` is killed
// and reported as such in the output.
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = 30s);

struct SplitResult {
    int waitStatus = 0;
    std::string out;  // standard output alone
    std::string err;  // standard error alone
    bool exitedWith(int code) const;
};

// Runs argv with its standard output and standard error kept apart; a command still
// running after `timeout` is killed (its status then says so).
SplitResult runCommandSplit(const std::vector<std::string>& argv,
                            std::chrono::milliseconds timeout = 30s);

// runCommand that throws HarnessError, with the command line and its output, unless the
// command exits with 0. Returns the output.
std::string runChecked(const std::vector<std::string>& argv,
                       std::chrono::milliseconds timeout = 30s);

// A started program, reaped by its owner. The child gets SIGTERM should the test process
// die first, so no simulator outlives a crashed test.
class Child {
public:
    struct Redirect {
        int stdinFd = -1;  // -1: /dev/null
        int stdoutFd = -1;  // -1: inherited
        int stderrFd = -1;
    };

    // Throws HarnessError when the program cannot be started.
    static Child spawn(const std::vector<std::string>& argv, Redirect redirect);

    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Kills a child still running: a test that forgot stop() leaves nothing behind.
    ~Child();

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // The wait status once the child has ended (and has been reaped), without blocking.
    std::optional<int> poll();
    std::optional<int> waitFor(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL if it has not ended after `grace`. Returns the wait status,
    // or the one already collected.
    int terminate(std::chrono::milliseconds grace = 5s);
    std::optional<int> status() const { return status_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace velqorin::e2e
