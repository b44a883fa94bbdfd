// Entering a lab's network namespace from the test process itself.
//
// setns() moves only the calling thread. The e2e tests are single-threaded (GoogleTest
// starts no threads, and nothing here does), so the whole process moves with it. A test
// that starts threads must not use these guards while those threads touch the network.
#pragma once

#include <string>

#include "harness/Fd.h"

namespace velqorin::e2e {

// The namespace file of a named namespace: /run/netns/NAME.
std::string netnsPath(const std::string& name);

class NetnsGuard {
public:
    // Sysfs shows the interfaces of the namespace that mounted it. Code that reads
    // /sys/class/net (as `ip netns exec` programs may) needs Sysfs::Remount, which gives
    // this process a private mount namespace with a fresh /sys until the guard ends.
    enum class Sysfs { Keep, Remount };

    // Enters the named namespace (e.g. "lab-ws"). Throws HarnessError, still in the
    // original namespaces, when it cannot.
    explicit NetnsGuard(const std::string& name, Sysfs sysfs = Sysfs::Keep);
    // Returns to the namespaces the guard was made in. Staying in the wrong one would make
    // every later test lie, so a failure to return aborts the process.
    ~NetnsGuard();

    NetnsGuard(const NetnsGuard&) = delete;
    NetnsGuard& operator=(const NetnsGuard&) = delete;

private:
    void leave() noexcept;

    Fd originalNet_;
    Fd originalMnt_;
    Fd originalCwd_;
};

}  // namespace velqorin::e2e
