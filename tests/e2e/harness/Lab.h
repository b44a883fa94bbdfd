// The lab a test runs in, as `lab/lab up` recorded it, and what tests do to it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/RawPort.h"

namespace velqorin::e2e {

inline constexpr const char* kLabStateDir = "/run/velqorin-lab";

struct LabAdapter {
    std::string name;     // vqI, in the workstation namespace
    Mac mac{};
    std::string address;  // "192.0.2.10/24"
    std::string bridge;   // brS, in the LAN namespace
    std::string port;     // lanI, the bridge's end of the veth pair
};

struct LabBridge {
    std::string name;
    Mac mac{};
    std::string address;
};

// A point-to-point link: `name` (pppI) in the workstation namespace, `farDevice` (farI)
// in LAB-far, joined by the lab's TUN relay.
struct LabLink {
    std::string name;
    std::string local;   // "203.0.113.129"
    std::string remote;  // the far end's address
    std::string farDevice;
};

struct LabInfo {
    std::string name;
    unsigned adapterCount = 0;
    unsigned segmentCount = 0;
    std::string macBase;
    std::vector<std::string> namespaces;
    std::vector<LabBridge> bridges;
    std::vector<LabAdapter> adapters;
    unsigned linkCount = 0;
    std::vector<LabLink> links;

    std::string workstation() const { return name + "-ws"; }
    std::string lan() const { return name + "-lan"; }
    std::string far() const { return name + "-far"; }
};

// The state file's text (README in lab/); throws HarnessError naming the bad line.
LabInfo parseLabState(std::string_view text);
// The state of lab `name`; throws HarnessError when the lab is not up.
LabInfo readLab(const std::string& name, const std::string& stateDir = kLabStateDir);

// What CTest passes to an e2e test: VELQORIN_LAB, VELQORIN_LAB_SCRIPT, VELQORIN_BOX_SIM.
// Empty when unset.
std::string labNameFromEnvironment();
std::string labScriptFromEnvironment();
std::string boxSimFromEnvironment();

// Why this process cannot run lab tests (not root, no lab named), or nothing.
std::optional<std::string> labUnavailable();

// `ip -n LAB-ws link set vqI up|down`. Bringing an adapter up returns once its bridge
// port forwards again (the carrier change reaches the bridge asynchronously), so a frame
// sent right after it goes through. Throws HarnessError.
void setAdapterUp(const LabInfo& lab, unsigned index, bool up,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Takes an adapter down for the length of a scope and brings it up again however the
// scope is left, so one failing test does not leave the lab broken for the next.
class AdapterDown {
public:
    AdapterDown(const LabInfo& lab, unsigned index);
    ~AdapterDown();
    AdapterDown(const AdapterDown&) = delete;
    AdapterDown& operator=(const AdapterDown&) = delete;

private:
    LabInfo lab_;
    unsigned index_;
};

}  // namespace velqorin::e2e
