#include "linux/PcapOpen.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace velqorin {
namespace {

std::string macText(const std::uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string hint(int status) {
    switch (status) {
        case PCAP_ERROR_PERM_DENIED: return "; run as root or grant the program CAP_NET_RAW";
        case PCAP_ERROR_NO_SUCH_DEVICE: return "; check the interface name with `ip link`";
        case PCAP_ERROR_IFACE_NOT_UP: return "; bring it up with `ip link set IF up`";
        case PCAP_ERROR_PROMISC_PERM_DENIED: return "; promiscuous mode needs root or CAP_NET_ADMIN";
        default: return {};
    }
}

// The detailed text is in pcap_geterr for the generic statuses only.
std::string statusText(int status, pcap_t* p) {
    std::string why = pcap_statustostr(status);
    const std::string detail = pcap_geterr(p);
    if (!detail.empty() && detail != why) why += " (" + detail + ")";
    return why;
}

}  // namespace

bool readEthernetMac(const std::string& name, std::uint8_t* mac, std::string& error) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        error = "no network interface is called " + name;
        return false;
    }
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    const int status = ::ioctl(sock, SIOCGIFHWADDR, &request);
    const int why = errno;
    ::close(sock);
    if (status != 0) {
        error = "cannot read the MAC address of " + name + ": " + std::strerror(why);
        return false;
    }
    if (request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        error = name + " is not an Ethernet adapter";
        return false;
    }
    std::memcpy(mac, request.ifr_hwaddr.sa_data, 6);
    return true;
}

namespace {

// What must be set before activation: snap length, promiscuity, immediate delivery, buffer.
bool setBeforeActivation(pcap_t* p, const std::string& name, const PcapOpenSettings& settings,
                         std::string& error) {
    const auto setting = [&](const char* call, int status) {
        if (status == 0) return true;
        error = std::string(call) + "(" + name + "): " + pcap_statustostr(status);
        return false;
    };
    return (settings.snapLength <= 0 ||
            setting("pcap_set_snaplen", pcap_set_snaplen(p, settings.snapLength))) &&
           setting("pcap_set_promisc", pcap_set_promisc(p, settings.promiscuous ? 1 : 0)) &&
           setting("pcap_set_immediate_mode", pcap_set_immediate_mode(p, 1)) &&
           (settings.bufferBytes <= 0 ||
            setting("pcap_set_buffer_size", pcap_set_buffer_size(p, settings.bufferBytes)));
}

bool activate(pcap_t* p, const std::string& name, std::string& error,
              const std::function<void(const std::string&)>& warn) {
    // Positive results are warnings (promiscuous mode not supported and the like): the
    // handle works.
    if (const int status = pcap_activate(p); status < 0) {
        error = "cannot open " + name + " for raw capture: pcap_activate: " +
                statusText(status, p) + hint(status);
        return false;
    } else if (status > 0 && warn) {
        warn("pcap_activate(" + name + "): warning: " + statusText(status, p));
    }
    if (pcap_datalink(p) != DLT_EN10MB) {
        error = name + " is not an Ethernet adapter";
        return false;
    }
    return true;
}

// Only frames coming in, and of those only what `filterText` lets through; "{dst}" in it
// stands for the adapter's MAC.
bool setFilter(pcap_t* p, const std::string& name, const std::string& filterText,
               std::string& error) {
    // Our own frames must never come back to us.
    if (pcap_setdirection(p, PCAP_D_IN) != 0) {
        error = "pcap_setdirection(" + name + "): " + pcap_geterr(p);
        return false;
    }
    std::string filter = filterText;
    if (const auto at = filter.find("{dst}"); at != std::string::npos) {
        std::uint8_t mac[6];
        if (!readEthernetMac(name, mac, error)) return false;
        filter.replace(at, 5, macText(mac));
    }
    bpf_program program{};
    if (pcap_compile(p, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        error = "pcap_compile(" + filter + "): " + pcap_geterr(p);
        return false;
    }
    const int filtered = pcap_setfilter(p, &program);
    pcap_freecode(&program);
    if (filtered != 0) {
        error = "pcap_setfilter(" + name + "): " + pcap_geterr(p);
        return false;
    }
    return true;
}

// A blocking read does not come back after its timeout when nothing arrives: callers
// wait with poll and read without blocking.
bool makeWaitable(pcap_t* p, const std::string& name, bool lockFilter, std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    if (pcap_setnonblock(p, 1, errbuf) != 0) {
        error = "pcap_setnonblock(" + name + "): " + errbuf;
        return false;
    }
    const int fd = pcap_get_selectable_fd(p);
    if (fd < 0) {
        error = "pcap_get_selectable_fd(" + name + "): no descriptor to wait on";
        return false;
    }
    if (lockFilter) {
        const int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) != 0) {
            error = "setsockopt(" + name + ", SO_LOCK_FILTER): " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

PcapHandle openPcap(const std::string& name, const PcapOpenSettings& settings, std::string& error,
                    const std::function<void(const std::string&)>& warn) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    PcapHandle p(pcap_create(name.c_str(), errbuf));
    if (!p) {
        error = "pcap_create(" + name + "): " + errbuf;
        return nullptr;
    }
    if (!setBeforeActivation(p.get(), name, settings, error) || !activate(p.get(), name, error, warn) ||
        !setFilter(p.get(), name, settings.filter, error) ||
        !makeWaitable(p.get(), name, settings.lockFilter, error))
        return nullptr;
    return p;
}

std::optional<std::vector<std::string>> listEthernetAdapters(std::string& error) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
        error = std::string("pcap_findalldevs: ") + errbuf;
        return std::nullopt;
    }
    std::unique_ptr<pcap_if_t, decltype(&pcap_freealldevs)> owner(devices, &pcap_freealldevs);
    std::vector<std::string> names;
    for (const pcap_if_t* d = devices; d != nullptr; d = d->next) {
        const std::string name = d->name;
        if (name == "any" || (d->flags & PCAP_IF_LOOPBACK) || !(d->flags & PCAP_IF_UP)) continue;
        // bluetooth, nflog, dbus and the like
        if ((d->flags & PCAP_IF_CONNECTION_STATUS) == PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE)
            continue;
        std::uint8_t mac[6];
        std::string notEthernet;
        if (!readEthernetMac(name, mac, notEthernet)) continue;
        names.push_back(name);
    }
    return names;
}

}  // namespace velqorin
