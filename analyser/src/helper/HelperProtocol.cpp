#include "helper/HelperProtocol.h"

#include <cstring>

namespace velqorin::helper {

Writer::Writer(Kind kind) {
    out_.push_back(static_cast<char>(kProtocolVersion));
    out_.push_back(static_cast<char>(kind));
}

Writer& Writer::u8(std::uint8_t v) {
    out_.push_back(static_cast<char>(v));
    return *this;
}

Writer& Writer::u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8)); }

Writer& Writer::u32(std::uint32_t v) {
    return u16(static_cast<std::uint16_t>(v)).u16(static_cast<std::uint16_t>(v >> 16));
}

Writer& Writer::bytes(const void* data, std::size_t length) {
    out_.append(static_cast<const char*>(data), length);
    return *this;
}

Writer& Writer::text(std::string_view t) {
    return u16(static_cast<std::uint16_t>(t.size())).bytes(t.data(), t.size());
}

Reader::Reader(std::string_view message) : in_(message) {
    if (in_.size() < 2 || static_cast<std::uint8_t>(in_[0]) != kProtocolVersion) {
        failed_ = true;
        return;
    }
    kind_ = static_cast<Kind>(static_cast<std::uint8_t>(in_[1]));
    at_ = 2;
}

std::string_view Reader::bytes(std::size_t length) {
    if (failed_ || in_.size() - at_ < length) {
        failed_ = true;
        return {};
    }
    const std::string_view part = in_.substr(at_, length);
    at_ += length;
    return part;
}

std::uint8_t Reader::u8() {
    const std::string_view b = bytes(1);
    return b.empty() ? 0 : static_cast<std::uint8_t>(b[0]);
}

std::uint16_t Reader::u16() {
    const std::uint16_t low = u8();
    return static_cast<std::uint16_t>(low | (u8() << 8));
}

std::uint32_t Reader::u32() {
    const std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
}

std::string Reader::text(std::size_t max) {
    const std::size_t length = u16();
    if (length > max) failed_ = true;
    return std::string(bytes(failed_ ? 0 : length));
}

namespace {

// An interface name: what the kernel allows and nothing that reads as a path.
bool plainName(const std::string& name) {
    return !name.empty() && name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

}  // namespace

std::optional<Request> decodeRequest(std::string_view bytes) {
    if (bytes.size() > kMaxMessage) return std::nullopt;
    Reader r(bytes);
    if (r.failed()) return std::nullopt;
    Request request;
    switch (r.kind()) {
        case Kind::Hello: request = Hello{}; break;
        case Kind::List: request = List{}; break;
        case Kind::QueryMac: {
            std::string name = r.text(kMaxName);
            if (!plainName(name)) return std::nullopt;
            request = QueryMac{std::move(name)};
            break;
        }
        case Kind::Open: {
            std::string name = r.text(kMaxName);
            if (!plainName(name)) return std::nullopt;
            request = Open{std::move(name)};
            break;
        }
        case Kind::Send: {
            Send send{r.u32(), {}};
            const std::size_t length = r.u16();
            if (length > kMaxFrame) return std::nullopt;
            const std::string_view frame = r.bytes(length);
            send.frame.assign(frame.begin(), frame.end());
            request = std::move(send);
            break;
        }
        case Kind::Receive: {
            Receive receive{r.u32(), {}};
            const std::size_t count = r.u16();
            if (count > kMaxHandles) return std::nullopt;
            for (std::size_t i = 0; i < count; ++i) receive.handles.push_back(r.u32());
            request = std::move(receive);
            break;
        }
        case Kind::Dropped: request = Dropped{r.u32()}; break;
        case Kind::Close: request = Close{r.u32()}; break;
        case Kind::Ping: {
            Ping ping{};
            const std::string_view address = r.bytes(4);
            if (address.size() == 4) std::memcpy(ping.address, address.data(), 4);
            request = ping;
            break;
        }
        case Kind::PingAll: {
            const std::size_t count = r.u16();
            if (count > kMaxPings) return std::nullopt;
            const std::string_view addresses = r.bytes(count * 4);
            request = PingAll{{addresses.begin(), addresses.end()}};
            break;
        }
        default: return std::nullopt;
    }
    if (!r.atEnd()) return std::nullopt;
    return request;
}

std::string encode(const Request& request) {
    struct Encoder {
        std::string operator()(const Hello&) const { return Writer(Kind::Hello).message(); }
        std::string operator()(const List&) const { return Writer(Kind::List).message(); }
        std::string operator()(const QueryMac& q) const { return Writer(Kind::QueryMac).text(q.name).message(); }
        std::string operator()(const Open& o) const { return Writer(Kind::Open).text(o.name).message(); }
        std::string operator()(const Send& s) const {
            return Writer(Kind::Send)
                .u32(s.handle)
                .u16(static_cast<std::uint16_t>(s.frame.size()))
                .bytes(s.frame.data(), s.frame.size())
                .message();
        }
        std::string operator()(const Receive& r) const {
            Writer w(Kind::Receive);
            w.u32(r.timeoutMs).u16(static_cast<std::uint16_t>(r.handles.size()));
            for (const std::uint32_t h : r.handles) w.u32(h);
            return w.message();
        }
        std::string operator()(const Dropped& d) const { return Writer(Kind::Dropped).u32(d.handle).message(); }
        std::string operator()(const Close& c) const { return Writer(Kind::Close).u32(c.handle).message(); }
        std::string operator()(const Ping& p) const { return Writer(Kind::Ping).bytes(p.address, 4).message(); }
        std::string operator()(const PingAll& p) const {
            return Writer(Kind::PingAll)
                .u16(static_cast<std::uint16_t>(p.addresses.size() / 4))
                .bytes(p.addresses.data(), p.addresses.size())
                .message();
        }
    };
    return std::visit(Encoder{}, request);
}

}  // namespace velqorin::helper
