// Opening an adapter with libpcap for the boxes' frames: one sequence of calls for the
// library's direct link, the link helper and the box simulator, each with its settings.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velqorin {

struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

struct PcapOpenSettings {
    int snapLength = 0;   // 0: libpcap's default
    int bufferBytes = 0;  // 0: libpcap's default
    bool promiscuous = false;
    // The kernel filter; {dst} in it stands for the adapter's own MAC address.
    std::string filter = "ether proto 0x0e0f";
    // The filter cannot be replaced or removed once set (SO_LOCK_FILTER).
    bool lockFilter = false;
};

// The adapter opened for inbound frames only, non-blocking, filtered. Null, with `error`
// naming the failing call and what to do, when it cannot be opened so; pcap_activate's
// warnings go to `warn` and leave the handle usable.
PcapHandle openPcap(const std::string& name, const PcapOpenSettings& settings, std::string& error,
                    const std::function<void(const std::string&)>& warn = {});

// The Ethernet adapters that are up, in libpcap's order: no loopback, no "any", nothing
// whose connection status does not apply (bluetooth, nflog, dbus...). Nothing, with
// `error` set, when libpcap cannot list them.
std::optional<std::vector<std::string>> listEthernetAdapters(std::string& error);

// What the library's direct link and the link helper open an adapter with: one byte more
// than our frames (a longer frame still shows another captured length, and the ring's
// slots stay small: the default makes libpcap size them for 64 KiB on offloading devices)
// and a ring of 8 MiB, about 20,000 replies at 400 bytes a slot; only frames of our
// EtherType sent to the adapter itself.
inline constexpr int kSnapLength = 317;
inline constexpr int kCaptureBufferBytes = 8 * 1024 * 1024;
inline PcapOpenSettings directLinkSettings() {
    PcapOpenSettings settings;
    settings.snapLength = kSnapLength;
    settings.bufferBytes = kCaptureBufferBytes;
    settings.filter = "ether proto 0x0e0f and ether dst {dst}";
    return settings;
}

// The hardware address of a network interface, when it is an Ethernet one.
bool readEthernetMac(const std::string& name, std::uint8_t* mac, std::string& error);

}  // namespace velqorin
