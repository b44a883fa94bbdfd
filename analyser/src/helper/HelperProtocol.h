// The messages between the library and the link helper, the one program that holds
// CAP_NET_RAW. One message per datagram of a SOCK_SEQPACKET socket pair: a version byte,
// a kind byte, then the kind's fields, integers little-endian. The client asks one thing
// at a time; every request gets one reply (Ok or Error), a Receive first its Batches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velqorin::helper {

inline constexpr std::uint8_t kProtocolVersion = 1;
// Larger messages are refused; a batch of frames fills at most this much.
inline constexpr std::size_t kMaxMessage = 64 * 1024;
inline constexpr std::size_t kMaxName = 255;
inline constexpr std::size_t kMaxHandles = 16;
inline constexpr std::size_t kMaxFrame = 1514;
// Addresses in one PingAll; a larger set takes several.
inline constexpr std::size_t kMaxPings = 8192;

enum class Kind : std::uint8_t {
    // Requests
    Hello = 1,     // -> Ok{version, mayCapture}
    List = 2,      // -> Ok{names}
    QueryMac = 3,  // name -> Ok{mac}
    Open = 4,      // name -> Ok{handle}
    Send = 5,      // handle, frame -> Ok
    Receive = 6,   // timeout, handles -> Batch..., Ok{failed handles}
    Dropped = 7,   // handle -> Ok{count}
    Close = 8,     // handle -> Ok
    Ping = 9,      // IPv4 -> Ok{answered}
    PingAll = 10,  // IPv4 addresses -> Ok{answered, one byte each}
    // Replies
    Ok = 0x81,
    Error = 0x82,  // text
    Batch = 0x83,  // handle, frames each with its captured length
};

struct Hello {};
struct List {};
struct QueryMac { std::string name; };
struct Open { std::string name; };
struct Send { std::uint32_t handle; std::vector<std::uint8_t> frame; };
struct Receive { std::uint32_t timeoutMs; std::vector<std::uint32_t> handles; };
struct Dropped { std::uint32_t handle; };
struct Close { std::uint32_t handle; };
struct Ping { std::uint8_t address[4]; };
struct PingAll { std::vector<std::uint8_t> addresses; };  // four bytes each
using Request = std::variant<Hello, List, QueryMac, Open, Send, Receive, Dropped, Close, Ping, PingAll>;

// A request's bytes; nothing for one that is malformed, too long or of another version.
std::optional<Request> decodeRequest(std::string_view bytes);
std::string encode(const Request& request);

// The replies, built by the helper and read by the library.
class Writer {
public:
    explicit Writer(Kind kind);
    Writer& u8(std::uint8_t v);
    Writer& u16(std::uint16_t v);
    Writer& u32(std::uint32_t v);
    Writer& bytes(const void* data, std::size_t length);
    Writer& text(std::string_view t);  // u16 length, then the bytes
    const std::string& message() const { return out_; }
    std::size_t size() const { return out_.size(); }

private:
    std::string out_;
};

// Reads a message's fields in order; any read past the end, or a wrong header, sets
// failed() and reads zero from then on.
class Reader {
public:
    explicit Reader(std::string_view message);
    Kind kind() const { return kind_; }
    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::string_view bytes(std::size_t length);
    std::string text(std::size_t max);
    bool atEnd() const { return !failed_ && at_ == in_.size(); }
    bool failed() const { return failed_; }

private:
    std::string_view in_;
    std::size_t at_ = 0;
    Kind kind_{};
    bool failed_ = false;
};

}  // namespace velqorin::helper
