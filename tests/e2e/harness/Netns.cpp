#include "harness/Netns.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/Error.h"

namespace velqorin::e2e {

std::string netnsPath(const std::string& name) { return "/run/netns/" + name; }

namespace {

Fd openOrThrow(const std::string& path, int flags, const std::string& hint) {
    Fd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (!fd) throw HarnessError(systemError("cannot open " + path, errno) + hint);
    return fd;
}

}  // namespace

NetnsGuard::NetnsGuard(const std::string& name, Sysfs sysfs) {
    originalNet_ = openOrThrow("/proc/self/ns/net", O_RDONLY, "");
    Fd target = openOrThrow(netnsPath(name), O_RDONLY,
                            "; is the lab up? (lab/lab up, or the CTest fixture lab_*_up)");
    if (::setns(target.get(), CLONE_NEWNET) != 0)
        throw HarnessError(systemError("setns into network namespace " + name, errno) +
                           "; entering a namespace needs root");
    if (sysfs == Sysfs::Keep) return;

    try {
        originalMnt_ = openOrThrow("/proc/self/ns/mnt", O_RDONLY, "");
        // Entering the old mount namespace again puts the process at its root directory.
        originalCwd_ = openOrThrow(".", O_RDONLY | O_DIRECTORY, "");
        if (::unshare(CLONE_NEWNS) != 0) throw HarnessError(systemError("unshare(CLONE_NEWNS)", errno));
        // Slave, so that nothing mounted here leaks back into the machine's namespace.
        if (::mount(nullptr, "/", nullptr, MS_SLAVE | MS_REC, nullptr) != 0)
            throw HarnessError(systemError("making / a slave mount", errno));
        ::umount2("/sys", MNT_DETACH);
        if (::mount(name.c_str(), "/sys", "sysfs", 0, nullptr) != 0)
            throw HarnessError(systemError("mounting sysfs of " + name + " on /sys", errno));
    } catch (...) {
        leave();
        throw;
    }
}

NetnsGuard::~NetnsGuard() { leave(); }

void NetnsGuard::leave() noexcept {
    if (originalMnt_) {
        if (::setns(originalMnt_.get(), CLONE_NEWNS) != 0) {
            std::fprintf(stderr, "cannot return to the original mount namespace: %s\n",
                         std::strerror(errno));
            std::abort();
        }
        if (originalCwd_ && ::fchdir(originalCwd_.get()) != 0) {
            std::fprintf(stderr, "cannot return to the working directory: %s\n",
                         std::strerror(errno));
            std::abort();
        }
        originalMnt_.reset();
        originalCwd_.reset();
    }
    if (originalNet_) {
        if (::setns(originalNet_.get(), CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "cannot return to the original network namespace: %s\n",
                         std::strerror(errno));
            std::abort();
        }
        originalNet_.reset();
    }
}

}  // namespace velqorin::e2e
