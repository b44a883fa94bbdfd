// SIGINT and SIGTERM as readable data, so that a test tool's main loop ends where it
// chooses to, with its log complete. They are blocked at once, so a signal that comes
// during start-up still counts.
#pragma once

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <system_error>

#include "support/Handles.h"

namespace velqorin::tools {

// Throws std::system_error naming the failing call.
inline UniqueFd stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (const int e = pthread_sigmask(SIG_BLOCK, &set, nullptr); e != 0)
        throw std::system_error(e, std::generic_category(), "pthread_sigmask");
    UniqueFd fd(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd) throw std::system_error(errno, std::generic_category(), "signalfd");
    return fd;
}

}  // namespace velqorin::tools
