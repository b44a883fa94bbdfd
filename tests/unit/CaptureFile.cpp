#include "CaptureFile.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <tuple>

namespace velqorin::test {

namespace {

struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
using Pcap = std::unique_ptr<pcap_t, PcapCloser>;

struct DumperCloser {
    void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
};

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Where the IPv4 packet starts, for the link types the captures use.
std::optional<std::size_t> ipv4Offset(int linkType, const std::vector<std::uint8_t>& b) {
    constexpr std::uint16_t kIpv4 = 0x0800;
    switch (linkType) {
        case DLT_EN10MB:
            if (b.size() >= 14 && be16(&b[12]) == kIpv4) return 14;
            return std::nullopt;
        case DLT_LINUX_SLL:
            if (b.size() >= 16 && be16(&b[14]) == kIpv4) return 16;
            return std::nullopt;
        case DLT_RAW:
            return 0;
        default:
            return std::nullopt;
    }
}

}  // namespace

Capture readCapture(const std::string& path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    const Pcap p(pcap_open_offline(path.c_str(), error));
    if (!p) throw std::runtime_error("pcap_open_offline " + path + ": " + error);
    Capture capture;
    capture.linkType = pcap_datalink(p.get());
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    while ((status = pcap_next_ex(p.get(), &header, &data)) == 1)
        capture.frames.push_back({capture.frames.size() + 1, {data, data + header->caplen}});
    if (status != PCAP_ERROR_BREAK)
        throw std::runtime_error("pcap_next_ex " + path + ": " + pcap_geterr(p.get()));
    return capture;
}

void writeCapture(const std::string& path, int linkType,
                  const std::vector<std::vector<std::uint8_t>>& frames) {
    const Pcap p(pcap_open_dead(linkType, 65535));
    if (!p) throw std::runtime_error("pcap_open_dead failed");
    std::unique_ptr<pcap_dumper_t, DumperCloser> out(pcap_dump_open(p.get(), path.c_str()));
    if (!out) throw std::runtime_error("pcap_dump_open " + path + ": " + pcap_geterr(p.get()));
    long second = 0;
    for (const auto& frame : frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = ++second;
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(out.get()), &header, frame.data());
    }
    if (pcap_dump_flush(out.get()) != 0) throw std::runtime_error("pcap_dump_flush " + path);
}

bool recordOf(const Capture& capture, const CapturedFrame& frame, TAnalyseBuffer& record,
              std::size_t& length) {
    const auto& b = frame.bytes;
    std::memset(&record, 0, sizeof record);
    auto* r = reinterpret_cast<std::uint8_t*>(&record);
    if (capture.linkType == DLT_EN10MB && b.size() >= 14 && be16(&b[12]) == kEtherType) {
        length = b.size();
        std::memcpy(r, b.data(), std::min(length, kFrameSize));
        return true;
    }
    // The cooked header: packet type, address type, address length, 8 address bytes, protocol.
    constexpr std::size_t kCooked = 16;
    if (capture.linkType == DLT_LINUX_SLL && b.size() >= kCooked && be16(&b[14]) == kEtherType) {
        length = b.size() - kCooked + 14;
        if (be16(&b[4]) == kMacSize) std::memcpy(record.sourceMac, &b[6], kMacSize);
        std::memcpy(record.etherType, &b[14], 2);
        std::memcpy(r + 14, b.data() + kCooked, std::min(length, kFrameSize) - 14);
        return true;
    }
    return false;
}

std::vector<std::uint8_t> cookedFrame(const TAnalyseBuffer& record, std::size_t length) {
    std::vector<std::uint8_t> frame = {0, 0, 0, 1, 0, kMacSize};  // to this host, Ethernet
    frame.insert(frame.end(), record.sourceMac, record.sourceMac + kMacSize);
    frame.insert(frame.end(), {0, 0, record.etherType[0], record.etherType[1]});
    const auto* r = frameBytes(record);
    frame.insert(frame.end(), r + 14, r + std::min(length, kFrameSize));
    frame.resize(length - 14 + 16, 0xA5);
    return frame;
}

std::vector<TcpExchange> tcpExchanges(const Capture& capture, std::uint16_t port) {
    std::vector<TcpExchange> exchanges;
    // Per connection (client address and port): the index of its exchange and the next
    // sequence number expected each way, so a retransmitted segment is not read twice.
    struct Progress {
        std::size_t index;
        std::optional<std::uint32_t> next[2];
    };
    std::map<std::tuple<std::uint32_t, std::uint16_t>, Progress> open;

    for (const CapturedFrame& frame : capture.frames) {
        const auto& b = frame.bytes;
        const auto at = ipv4Offset(capture.linkType, b);
        if (!at || b.size() < *at + 20) continue;
        const std::uint8_t* ip = &b[*at];
        const std::size_t ipHeader = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
        const std::size_t total = be16(ip + 2);
        if ((ip[0] >> 4) != 4 || ip[9] != 6 || total > b.size() - *at || total < ipHeader + 20)
            continue;
        const std::uint8_t* tcp = ip + ipHeader;
        const std::size_t tcpHeader = static_cast<std::size_t>(tcp[12] >> 4) * 4;
        if (ipHeader + tcpHeader > total) continue;
        const std::uint16_t source = be16(tcp), destination = be16(tcp + 2);
        const bool toServer = destination == port;
        if (!toServer && source != port) continue;

        const std::uint8_t* clientIp = toServer ? ip + 12 : ip + 16;
        const std::uint16_t clientPort = toServer ? source : destination;
        const auto key = std::make_tuple(be32(clientIp), clientPort);
        auto found = open.find(key);
        if (found == open.end()) {
            TcpExchange e;
            std::memcpy(e.client.data(), clientIp, 4);
            std::memcpy(e.server.data(), toServer ? ip + 16 : ip + 12, 4);
            e.clientPort = clientPort;
            exchanges.push_back(e);
            found = open.emplace(key, Progress{exchanges.size() - 1, {}}).first;
        }
        Progress& progress = found->second;
        auto& next = progress.next[toServer ? 0 : 1];
        const std::uint32_t sequence = be32(tcp + 4);
        const bool syn = (tcp[13] & 0x02) != 0;
        if (syn) {
            next = sequence + 1;
            continue;
        }
        const std::size_t length = total - ipHeader - tcpHeader;
        if (length == 0) continue;
        if (next && sequence != *next) continue;  // a retransmission, or a hole
        next = sequence + static_cast<std::uint32_t>(length);
        const char* payload = reinterpret_cast<const char*>(tcp + tcpHeader);
        TcpExchange& e = exchanges[progress.index];
        (toServer ? e.toServer : e.toClient).append(payload, length);
    }
    return exchanges;
}

}  // namespace velqorin::test
