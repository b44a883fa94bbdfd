// velqorin-tun-relay: joins pairs of TUN devices, each end in a network namespace of its
// own, into point-to-point links: every packet one end's stack sends comes out of the
// other end. The lab uses it for dial-up links without PPP support in the kernel.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "support/Handles.h"
#include "ReadyFile.h"
#include "StopSignals.h"

namespace {

using velqorin::UniqueFd;

constexpr const char* kProgram = "velqorin-tun-relay";

[[noreturn]] void failSystem(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct End {
    std::string netns;  // a name under /run/netns
    std::string device;
};

// "NETNS:DEVICE"
End parseEnd(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
        text.find('/') != std::string::npos)
        throw CLI::ValidationError("link", "'" + text + "' is not NETNS:DEVICE");
    return {text.substr(0, colon), text.substr(colon + 1)};
}

// Attaches to `end`'s TUN device from inside its namespace, then comes back: the file
// descriptor keeps working wherever the process is.
UniqueFd attach(const End& end, bool asPpp, int home) {
    const std::string path = "/run/netns/" + end.netns;
    const UniqueFd ns(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (ns.get() < 0) failSystem("open " + path);
    if (::setns(ns.get(), CLONE_NEWNET) != 0) failSystem("setns " + path);
    UniqueFd tun(::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK));
    const int openError = errno;
    auto back = [&] {
        if (::setns(home, CLONE_NEWNET) != 0) failSystem("setns back to the starting namespace");
    };
    if (tun.get() < 0) {
        back();
        errno = openError;
        failSystem("open /dev/net/tun");
    }
    ifreq request{};
    if (end.device.size() >= sizeof request.ifr_name) {
        back();
        throw std::runtime_error("device name too long: " + end.device);
    }
    std::memcpy(request.ifr_name, end.device.data(), end.device.size());
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(tun.get(), TUNSETIFF, &request) != 0) {
        const int e = errno;
        back();
        errno = e;
        failSystem("TUNSETIFF " + end.netns + ":" + end.device);
    }
    // A PPP link type, so the link reads as a dial-up connection; the kernel takes it
    // only while the device is down.
    if (asPpp && ::ioctl(tun.get(), TUNSETLINK, static_cast<unsigned long>(ARPHRD_PPP)) != 0) {
        const int e = errno;
        back();
        errno = e;
        failSystem("TUNSETLINK " + end.netns + ":" + end.device + " (is it down?)");
    }
    back();
    return tun;
}

// Moves every packet waiting on `from` to `to`. A packet the other end cannot take (its
// device is down) is dropped, as a line would.
void forward(int from, int to) {
    char packet[65536];
    for (;;) {
        const ssize_t n = ::read(from, packet, sizeof packet);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        while (::write(to, packet, static_cast<std::size_t>(n)) < 0 && errno == EINTR) {
        }
    }
}

int run(const std::vector<std::string>& links, bool firstAsPpp, const std::string& readyFile) {
    const UniqueFd stop = velqorin::tools::stopSignals();
    const UniqueFd home(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (home.get() < 0) failSystem("open /proc/self/ns/net");

    std::vector<UniqueFd> ends;  // pairs: 2i and 2i+1
    for (const std::string& link : links) {
        const auto equals = link.find('=');
        if (equals == std::string::npos)
            throw CLI::ValidationError("link", "'" + link + "' is not NETNS:DEVICE=NETNS:DEVICE");
        ends.push_back(attach(parseEnd(link.substr(0, equals)), firstAsPpp, home.get()));
        ends.push_back(attach(parseEnd(link.substr(equals + 1)), false, home.get()));
    }
    const velqorin::tools::ReadyFile ready(readyFile);

    std::vector<pollfd> fds;
    for (const UniqueFd& e : ends) fds.push_back({e.get(), POLLIN, 0});
    fds.push_back({stop.get(), POLLIN, 0});
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            failSystem("poll");
        }
        if (fds.back().revents != 0) break;
        for (std::size_t i = 0; i + 1 < fds.size(); ++i)
            if (fds[i].revents != 0) forward(fds[i].fd, fds[i ^ 1].fd);
    }
    if (!readyFile.empty()) std::remove(readyFile.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Joins TUN devices in pairs across network namespaces, so that each pair is a "
        "point-to-point link. The devices must exist (ip tuntap add DEV mode tun). Runs until "
        "SIGTERM or SIGINT.",
        kProgram};
    std::vector<std::string> links;
    bool firstAsPpp = false;
    std::string readyFile;
    app.add_option("link", links, "NETNS:DEVICE=NETNS:DEVICE, NETNS a name under /run/netns")
        ->required();
    app.add_flag("--first-as-ppp", firstAsPpp,
                 "Give the first device of each pair the PPP link type (it must be down)");
    app.add_option("--ready-file", readyFile,
                   "Write the process id to FILE once every device is attached")
        ->type_name("FILE");
    CLI11_PARSE(app, argc, argv);
    try {
        return run(links, firstAsPpp, readyFile);
    } catch (const CLI::ValidationError& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    }
}
