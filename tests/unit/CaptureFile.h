// The capture files of tests/captures as tests read them: frames through libpcap, and the
// bytes each side of a TCP connection sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "velqorin/Frame.h"

namespace velqorin::test {

struct CapturedFrame {
    std::size_t number = 0;  // from 1, as Wireshark counts
    std::vector<std::uint8_t> bytes;
};

struct Capture {
    int linkType = 0;  // DLT_*
    std::vector<CapturedFrame> frames;
};

// Throws std::runtime_error naming the file and libpcap's reason.
Capture readCapture(const std::string& path);

// Writes `frames` as a capture file of `linkType`; throws std::runtime_error on failure.
void writeCapture(const std::string& path, int linkType,
                  const std::vector<std::vector<std::uint8_t>>& frames);

// The frame as a record when it is of our EtherType: its first 316 bytes from the Ethernet
// header on, zero-padded, and their number in `length` (as the frame had on the wire). A
// Linux cooked capture gives the source MAC and no destination. False for other frames.
bool recordOf(const Capture& capture, const CapturedFrame& frame, TAnalyseBuffer& record,
              std::size_t& length);

// The Linux cooked frame that carries `length` bytes of `record` (its source as sender).
std::vector<std::uint8_t> cookedFrame(const TAnalyseBuffer& record, std::size_t length);

// One TCP connection to `port`, what each side sent, in sequence order.
struct TcpExchange {
    std::array<std::uint8_t, 4> client{};
    std::array<std::uint8_t, 4> server{};
    std::uint16_t clientPort = 0;
    std::string toServer;
    std::string toClient;
};

// Every connection to `port` in the capture (Ethernet, Linux cooked or raw IPv4), in the
// order of their first segment.
std::vector<TcpExchange> tcpExchanges(const Capture& capture, std::uint16_t port);

}  // namespace velqorin::test
