#include "host/Platform.h"

#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace velqorin {

namespace {

std::atomic<const Platform*> replacement{nullptr};

}  // namespace

const Platform& platform() {
    const Platform* p = replacement.load();
    return p != nullptr ? *p : systemPlatform();
}

ScopedPlatform::ScopedPlatform(const Platform& p) : previous_(replacement.exchange(&p)) {}

ScopedPlatform::~ScopedPlatform() { replacement.store(previous_); }

bool usableServerAddress(std::string_view dotted) {
    // inet_pton wants a terminated string; anything longer than a dotted quad is not one.
    char text[INET_ADDRSTRLEN] = {};
    if (dotted.empty() || dotted.size() >= sizeof text) return false;
    dotted.copy(text, dotted.size());
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) return false;
    return address.s_addr != htonl(INADDR_ANY) && address.s_addr != htonl(INADDR_BROADCAST);
}

std::string rawAccessProblem() { return rawAccessProblem(platform().rawSocketError()); }

std::string rawAccessProblem(int error) {
    switch (error) {
        case 0:
            return {};
        case EPERM:
        case EACCES:
            return "raw network access is not permitted: run as root, or install the "
                   "velqorin-network-monitor package, whose link helper holds CAP_NET_RAW";
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
        case ESOCKTNOSUPPORT:
            return "raw packet sockets are not available: the kernel was built without "
                   "AF_PACKET support";
        default:
            return "cannot open a raw packet socket: " +
                   std::error_code(error, std::generic_category()).message();
    }
}

}  // namespace velqorin
