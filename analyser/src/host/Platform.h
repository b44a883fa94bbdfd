// The workstation as the analyser sees it: its table of network adapters and whether
// this process may capture raw frames. The analyser's logic asks through this seam only;
// tests put a fake table behind it, and each operating system has its own source file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velqorin {

struct Ipv4Pair {
    std::array<std::uint8_t, 4> address;  // network order
    std::array<std::uint8_t, 4> mask;
};

struct Adapter {
    std::string name;  // the identifier the link layer opens: "eth0"
    std::array<std::uint8_t, 6> mac{};
    std::vector<Ipv4Pair> ipv4;
    std::optional<bool> dhcp;  // empty when the platform cannot tell
    std::string dhcpServer;    // dotted text as a lease names it; empty when none does
};

class Platform {
public:
    virtual ~Platform() = default;
    // Every network adapter but loopback, in interface-index order; empty when the
    // table cannot be read at all.
    virtual std::optional<std::vector<Adapter>> adapters() const = 0;
    // 0 when a raw packet socket can be opened, else the errno of the attempt.
    virtual int rawSocketError() const = 0;
};

// The platform the analyser uses: the one a ScopedPlatform put in place, else the system's.
const Platform& platform();

// This system's platform. Lease files are looked up below the folder named by
// VELQORIN_LEASE_ROOT (ignored in privileged-elevated processes), else below "/".
const Platform& systemPlatform();
// The same platform with lease files looked up below `leaseRoot` instead.
std::unique_ptr<Platform> makeSystemPlatform(std::filesystem::path leaseRoot);

// Puts `replacement` behind platform() for the object's lifetime. Not thread-safe
// against a sweep running at the same time; meant for tests.
class ScopedPlatform {
public:
    explicit ScopedPlatform(const Platform& replacement);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    const Platform* previous_;
};

// True for a dotted IPv4 address that names a real server: not 0.0.0.0, not
// 255.255.255.255, not unparsable.
bool usableServerAddress(std::string_view dotted);

// One sentence saying why raw capture is impossible for this process, or an empty text
// when it is possible. For the command-line tool and the monitor to show.
std::string rawAccessProblem();
std::string rawAccessProblem(int rawSocketError);

}  // namespace velqorin
