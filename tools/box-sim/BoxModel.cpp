#include "BoxModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "model/Response.h"
#include "support/FrameKinds.h"
#include "support/Mac.h"

namespace velqorin::sim {

namespace {

constexpr std::size_t kKindOffset = offsetof(TAnalyseBuffer, frameKind);
constexpr std::size_t kReservedOffset = offsetof(TAnalyseBuffer, reserved);
constexpr std::size_t kVersionOffset = offsetof(TAnalyseBuffer, protocolVersion);
constexpr std::size_t kSyncAgeOffset = offsetof(TAnalyseBuffer, syncAge);

// Why the bytes 12 to 44 are not the ones every PC frame carries; empty when they are.
std::string protocolFault(const TAnalyseBuffer& frame) {
    if (frame.etherType[0] != (kEtherType >> 8) || frame.etherType[1] != (kEtherType & 0xFF))
        return "ether type";
    if (std::memcmp(frame.magic, kMagic, sizeof frame.magic) != 0) return "magic";
    for (std::size_t i = 0; i < kReservedSize; ++i)
        if (frame.reserved[i] != 0) return "reserved byte " + std::to_string(i) + " not zero";
    if (frame.protocolVersion != kProtocolVersion)
        return "protocol version " + std::to_string(frame.protocolVersion);
    return {};
}

void putTokenMode(TAnalyseBuffer& frame, TokenMode mode) {
    switch (mode) {
        case TokenMode::Echo:
            break;  // boxFrame copied the request's field already
        case TokenMode::Empty:
            std::memset(frame.analyserToken, 0, sizeof frame.analyserToken);
            break;
        case TokenMode::Foreign:
            setFieldText(frame.analyserToken, kForeignToken);
            break;
    }
}

const char* tokenModeName(TokenMode mode) {
    switch (mode) {
        case TokenMode::Echo: return "echo";
        case TokenMode::Empty: return "empty";
        case TokenMode::Foreign: return "foreign";
    }
    return "?";
}

std::string faultNote(const ReplyFault& fault) {
    std::string note;
    auto add = [&note](const std::string& part) {
        note += note.empty() ? "malformed reply: " : ", ";
        note += part;
    };
    if (fault.length) add("length " + std::to_string(*fault.length));
    if (fault.reservedIndex)
        add("reserved byte " + std::to_string(*fault.reservedIndex) + " = " +
            std::to_string(fault.reservedValue));
    if (fault.protocolVersion) add("protocol version " + std::to_string(*fault.protocolVersion));
    if (fault.kind) add("kind " + std::to_string(*fault.kind));
    return note;
}

void applyFault(std::vector<std::uint8_t>& bytes, const ReplyFault& fault) {
    if (fault.reservedIndex && *fault.reservedIndex < kReservedSize)
        bytes[kReservedOffset + *fault.reservedIndex] = fault.reservedValue;
    if (fault.protocolVersion) bytes[kVersionOffset] = *fault.protocolVersion;
    if (fault.kind) bytes[kKindOffset] = *fault.kind;
    if (fault.length) bytes.resize(*fault.length, 0);
}

}  // namespace

std::string macText(const std::uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

void stampSyncAge(Outgoing& frame, TimePoint sendTime) {
    if (!frame.syncedAt || frame.bytes.size() < kSyncAgeOffset + 4) return;
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(sendTime - *frame.syncedAt).count();
    const auto age = static_cast<std::uint32_t>(std::clamp<decltype(seconds)>(
        seconds, 0, std::numeric_limits<std::uint32_t>::max()));
    std::uint8_t field[4];
    storeLe<std::uint32_t>(field, age);
    std::memcpy(frame.bytes.data() + kSyncAgeOffset, field, sizeof field);
}

Fleet::Fleet(std::vector<BoxConfig> boxes, TimePoint start, std::uint64_t seed)
    : configs_(std::move(boxes)), random_(seed) {
    states_.reserve(configs_.size());
    for (std::size_t i = 0; i < configs_.size(); ++i) {
        const BoxConfig& c = configs_[i];
        BoxState s;
        s.password = c.password;
        s.currentIp = c.currentIp;
        s.currentMask = c.currentMask;
        s.manualIp = c.manualIp;
        s.manualMask = c.manualMask;
        s.addressMode = c.addressMode;
        s.linkSpeed = c.linkSpeed;
        s.neighbourhood = c.neighbourhood ? 1 : 0;
        s.sync = c.sync;
        s.syncedAt = start - std::chrono::seconds(c.sync.age);
        s.challenge = c.challenge ? *c.challenge : newChallenge();
        s.deafUntil = start;
        states_.push_back(std::move(s));
        // A second box with the same MAC could never be told apart on the wire; the fleet
        // reader refuses such files, and here the first one wins.
        byMac_.emplace(macKey(c.mac.data()), i);
    }
}

std::optional<std::size_t> Fleet::find(const std::uint8_t* mac) const {
    const auto it = byMac_.find(macKey(mac));
    if (it == byMac_.end()) return std::nullopt;
    return it->second;
}

std::string Fleet::newChallenge() {
    static constexpr char kAlphabet[] =
        "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::string challenge(kChallengeMax, ' ');
    for (char& c : challenge) c = kAlphabet[pick(random_)];
    return challenge;
}

Reaction Fleet::receive(std::span<const std::uint8_t> frame, TimePoint now) {
    Reaction r;
    if (frame.size() != kFrameSize) {
        r.verdict = "ignored: length " + std::to_string(frame.size()) + ", not " +
                    std::to_string(kFrameSize);
        if (frame.size() >= kMacSize) r.box = find(frame.data());
        return r;
    }
    TAnalyseBuffer heard;
    std::memcpy(&heard, frame.data(), kFrameSize);
    r.box = find(heard.destinationMac);

    if (const std::string fault = protocolFault(heard); !fault.empty()) {
        r.verdict = "ignored: " + fault;
        return r;
    }
    const bool toGroup =
        std::memcmp(heard.destinationMac, kDiscoveryGroupMac.data(), kMacSize) == 0;
    if (heard.frameKind == static_cast<std::uint8_t>(FrameKind::DiscoveryRequest)) {
        if (!toGroup && !r.box) {
            r.verdict = "ignored: not addressed to a simulated box";
            return r;
        }
        // A reply to a group source would go to every station, not to the asking adapter.
        if (heard.sourceMac[0] & 0x01) {
            r.verdict = "ignored: group source address";
            return r;
        }
        return discover(heard, toGroup ? std::nullopt : r.box, now);
    }
    if (!isCommandKind(heard.frameKind)) {
        r.verdict = "ignored: kind " + std::to_string(heard.frameKind) + " is not a request";
        return r;
    }
    if (!r.box) {
        r.verdict = "ignored: not addressed to a simulated box";
        return r;
    }
    return command(*r.box, heard, now);
}

Reaction Fleet::discover(const TAnalyseBuffer& request, std::optional<std::size_t> only,
                         TimePoint now) {
    Reaction r;
    r.box = only;
    const std::size_t first = only ? *only : 0;
    const std::size_t end = only ? *only + 1 : configs_.size();
    r.sends.reserve(end - first);
    for (std::size_t i = first; i < end; ++i) {
        if (now < states_[i].deafUntil) continue;
        if (configs_[i].renewsChallenge) states_[i].challenge = newChallenge();
        addReplies(i, request, now, r.sends);
        ++r.answering;
    }
    if (r.answering > 0)
        r.verdict = "reply";
    else
        r.verdict = only ? "ignored: restarting" : "ignored: every box is restarting";
    return r;
}

void Fleet::addReplies(std::size_t box, const TAnalyseBuffer& request, TimePoint now,
                       std::vector<Outgoing>& sends) const {
    const BoxConfig& c = configs_[box];
    const TimePoint due = now + c.replyDelay;

    TAnalyseBuffer reply = boxFrame(box, request, FrameKind::DiscoveryReply);
    putTokenMode(reply, c.token);
    Outgoing first = outgoing(box, reply, due, "reply", {});
    if (c.reply) {
        applyFault(first.bytes, *c.reply);
        first.note = faultNote(*c.reply);
    }
    sends.push_back(std::move(first));

    if (!c.secondReply) return;
    const SecondReply& s = *c.secondReply;
    TAnalyseBuffer again = boxFrame(box, request, FrameKind::DiscoveryReply);
    const TokenMode mode = s.token.value_or(c.token);
    putTokenMode(again, mode);
    if (s.currentIp) std::memcpy(again.currentIp, s.currentIp->data(), 4);
    if (s.currentMask) std::memcpy(again.currentMask, s.currentMask->data(), 4);
    if (s.neighbourhood) again.neighbourhood = *s.neighbourhood ? 1 : 0;
    if (s.addressMode) again.addressMode = *s.addressMode;
    sends.push_back(outgoing(box, again, due + s.delay, "reply",
                             std::string("second reply, token ") + tokenModeName(mode)));
}

Reaction Fleet::command(std::size_t box, const TAnalyseBuffer& heard, TimePoint now) {
    Reaction r;
    r.box = box;
    const BoxConfig& c = configs_[box];
    if (now < states_[box].deafUntil) {
        r.verdict = "ignored: restarting";
        return r;
    }
    if (c.silent) {
        r.verdict = "ignored: silent box";
        return r;
    }

    r.why = authorise(box, heard);
    const bool accepted = r.why.empty();
    r.verdict = accepted ? "accepted" : "refused";
    if (accepted && !c.keepsSettings) apply(box, heard, now);
    // Every answer spends the challenge, so a captured response cannot be replayed.
    states_[box].challenge = newChallenge();

    const TAnalyseBuffer answer =
        boxFrame(box, heard, accepted ? FrameKind::CommandAccepted : FrameKind::CommandRefused);
    TimePoint due = now + c.answer.delay;
    bool decoy = false;
    if (c.answer.fromOtherMacFirst) {
        TAnalyseBuffer other = answer;
        other.frameKind = static_cast<std::uint8_t>(FrameKind::CommandAccepted);
        other.sourceMac[kMacSize - 1] ^= 0x80;
        r.sends.push_back(outgoing(box, other, due, "accepted", "answer from another MAC"));
        decoy = true;
    }
    if (c.answer.discoveryReplyFirst) {
        TAnalyseBuffer reply = answer;
        reply.frameKind = static_cast<std::uint8_t>(FrameKind::DiscoveryReply);
        r.sends.push_back(outgoing(box, reply, due, "reply", "discovery reply before the answer"));
        decoy = true;
    }
    if (decoy) due += kDecoyLead;
    r.sends.push_back(outgoing(box, answer, due, r.verdict, {}));

    if (accepted && heard.frameKind == static_cast<std::uint8_t>(FrameKind::ApplyNetworkAndRestart))
        states_[box].deafUntil = due + c.restart;
    return r;
}

std::string Fleet::authorise(std::size_t box, const TAnalyseBuffer& heard) const {
    const BoxConfig& c = configs_[box];
    const BoxState& s = states_[box];
    const std::string_view credential = fieldText(heard.credential);
    switch (heard.clearPassword) {
        case 0: {
            char expected[kResponseLength + 1];
            if (!makeResponse(s.password, s.challenge, expected))
                return "password response cannot be computed";
            return credential == expected ? std::string() : "wrong password response";
        }
        case 1:
            // Only the network command carries an unlock code; a box without one accepts none,
            // or an empty credential would unlock it.
            if (heard.frameKind != static_cast<std::uint8_t>(FrameKind::ApplyNetwork))
                return "unlock code with kind " + std::to_string(heard.frameKind);
            if (c.unlockCode.empty()) return "no unlock code set";
            return credential == c.unlockCode ? std::string() : "wrong unlock code";
        default:
            return "clearPassword " + std::to_string(heard.clearPassword);
    }
}

void Fleet::apply(std::size_t box, const TAnalyseBuffer& heard, TimePoint now) {
    const BoxConfig& c = configs_[box];
    BoxState& s = states_[box];
    if (heard.clearPassword == 1) {
        s.password.clear();
        return;
    }
    switch (static_cast<FrameKind>(heard.frameKind)) {
        case FrameKind::ApplyNetwork:
        case FrameKind::ApplyNetworkAndRestart:
            s.addressMode = heard.addressMode;
            std::memcpy(s.manualIp.data(), heard.manualIp, 4);
            std::memcpy(s.manualMask.data(), heard.manualMask, 4);
            s.linkSpeed = heard.linkSpeed;
            s.neighbourhood = heard.neighbourhood;
            // Any mode but DHCP means the fixed address, as the analyser reads it.
            if (s.addressMode == 1) {
                if (c.dhcpIp) s.currentIp = *c.dhcpIp;
                if (c.dhcpMask) s.currentMask = *c.dhcpMask;
            } else {
                s.currentIp = s.manualIp;
                s.currentMask = s.manualMask;
            }
            break;
        case FrameKind::ApplySynchroAndSynchronise:
            s.sync.done = 1;
            s.sync.fault = 0;
            s.syncedAt = now;
            [[fallthrough]];
        case FrameKind::ApplySynchro:
            s.sync.slave = loadLe<std::uint32_t>(heard.syncSlave);
            s.sync.floor = loadLe<std::int32_t>(heard.syncFloor);
            s.sync.master = loadLe<std::uint32_t>(heard.syncMaster);
            break;
        default:
            break;
    }
}

TAnalyseBuffer Fleet::boxFrame(std::size_t box, const TAnalyseBuffer& heard,
                               FrameKind kind) const {
    const BoxConfig& c = configs_[box];
    const BoxState& s = states_[box];
    TAnalyseBuffer f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(f.destinationMac, heard.sourceMac, kMacSize);
    std::memcpy(f.sourceMac, c.mac.data(), kMacSize);
    std::memcpy(reinterpret_cast<std::uint8_t*>(&f) + kProtocolBytesOffset,
                frameBytes(heard) + kProtocolBytesOffset, kProtocolBytesSize);
    f.frameKind = static_cast<std::uint8_t>(kind);
    std::memcpy(f.currentIp, s.currentIp.data(), 4);
    std::memcpy(f.currentMask, s.currentMask.data(), 4);
    std::memcpy(f.manualIp, s.manualIp.data(), 4);
    std::memcpy(f.manualMask, s.manualMask.data(), 4);
    f.addressMode = s.addressMode;
    f.linkSpeed = s.linkSpeed;
    f.neighbourhood = s.neighbourhood;
    setFieldText(f.serialNumber, c.serial);
    std::memcpy(f.analyserToken, heard.analyserToken, sizeof f.analyserToken);
    storeLe<std::uint32_t>(f.softwareVersion, c.softwareVersion);
    storeLe<std::uint32_t>(f.stateIconShown, s.sync.stateIconShown);
    storeLe<std::uint32_t>(f.stateIconAlt, s.sync.stateIconAlt);
    storeLe<std::uint32_t>(f.syncFault, s.sync.fault);
    storeLe<std::uint32_t>(f.syncDone, s.sync.done);
    storeLe<std::uint32_t>(f.syncSlave, s.sync.slave);
    storeLe<std::int32_t>(f.syncFloor, s.sync.floor);
    storeLe<std::uint32_t>(f.syncMaster, s.sync.master);
    std::memcpy(f.boxData, c.boxData.data(), kBoxDataSize);
    setFieldText(f.challenge, s.challenge);
    return f;
}

Outgoing Fleet::outgoing(std::size_t box, const TAnalyseBuffer& frame, TimePoint due,
                         std::string verdict, std::string note) const {
    Outgoing o;
    o.due = due;
    o.bytes.assign(frameBytes(frame), frameBytes(frame) + kFrameSize);
    o.box = box;
    o.verdict = std::move(verdict);
    o.note = std::move(note);
    o.syncedAt = states_[box].syncedAt;
    return o;
}

}  // namespace velqorin::sim
