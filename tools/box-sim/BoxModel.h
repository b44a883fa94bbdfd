// The box side of the protocol, without any I/O: what each simulated box holds, and what it
// sends back, and when, for a frame it hears. The program around it owns the clock and the wire.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "velqorin/Frame.h"

namespace velqorin::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Milliseconds = std::chrono::milliseconds;
using Mac = std::array<std::uint8_t, kMacSize>;
using Ipv4 = std::array<std::uint8_t, 4>;

// What a box writes into the token field of its discovery replies.
enum class TokenMode { Echo, Empty, Foreign };

// No analyser draws a token made only of 'F', so a reply carrying it reads as an answer to
// another analyser's request.
inline constexpr std::string_view kForeignToken = "FFFFFFFFFFFFFFFFFFFFFFFFFFF";

// Answers to a command that is not for the box itself come this long before the real one.
inline constexpr Milliseconds kDecoyLead{100};

inline constexpr std::size_t kSerialMax = sizeof(TAnalyseBuffer::serialNumber) - 1;
inline constexpr std::size_t kSecretMax = kPasswordMax;  // password and unlock code
inline constexpr std::size_t kChallengeMax = sizeof(TAnalyseBuffer::challenge) - 1;
inline constexpr std::size_t kReservedSize = sizeof(TAnalyseBuffer::reserved);
inline constexpr std::size_t kBoxDataSize = sizeof(TAnalyseBuffer::boxData);

struct SyncSettings {
    std::uint32_t stateIconShown = 0;
    std::uint32_t stateIconAlt = 0;
    std::uint32_t fault = 0;
    std::uint32_t done = 0;
    std::uint32_t age = 0;  // seconds at start-up; the box's clock runs on from there
    std::uint32_t slave = 0;
    std::int32_t floor = 0;
    std::uint32_t master = 0;
};

// How a box spoils its first discovery reply, so the analyser's checks can be tried.
struct ReplyFault {
    std::optional<std::size_t> length;  // cut, or padded with zeros
    std::optional<std::size_t> reservedIndex;
    std::uint8_t reservedValue = 0;
    std::optional<std::uint8_t> protocolVersion;
    std::optional<std::uint8_t> kind;
};

// A well-formed second discovery reply, later, with some fields of its own.
struct SecondReply {
    Milliseconds delay{200};
    std::optional<TokenMode> token;  // the box's own mode when not given
    std::optional<Ipv4> currentIp;
    std::optional<Ipv4> currentMask;
    std::optional<bool> neighbourhood;
    std::optional<std::uint8_t> addressMode;
};

struct AnswerFault {
    bool fromOtherMacFirst = false;
    bool discoveryReplyFirst = false;
    Milliseconds delay{0};
};

struct BoxConfig {
    std::string origin;  // where the box was defined, for messages: "boxes[3]", "generated[7]"
    std::string serial;
    Mac mac{};
    std::string password = "admin";
    std::string unlockCode;  // empty: the box accepts no unlock code at all
    Ipv4 currentIp{};
    Ipv4 currentMask{};
    Ipv4 manualIp{};
    Ipv4 manualMask{};
    std::optional<Ipv4> dhcpIp;
    std::optional<Ipv4> dhcpMask;
    std::uint8_t addressMode = 0;
    std::uint8_t linkSpeed = 0;
    bool neighbourhood = true;
    std::uint32_t softwareVersion = packVersion({1, 1, 5});
    SyncSettings sync;
    std::array<std::uint8_t, kBoxDataSize> boxData{};
    std::optional<std::string> challenge;  // a random one when not given
    Milliseconds replyDelay{0};
    bool silent = false;
    // Answers every command as accepted but takes none of it over, as a box whose settings
    // store is broken would: only reading the settings back shows it.
    bool keepsSettings = false;
    // Draws a new challenge for every discovery reply, so only the latest one it sent
    // authorises a command.
    bool renewsChallenge = false;
    Milliseconds restart{0};
    TokenMode token = TokenMode::Echo;
    std::optional<ReplyFault> reply;
    std::optional<SecondReply> secondReply;
    AnswerFault answer;
};

// What a box is now; starts as its configuration says and changes with accepted commands.
struct BoxState {
    std::string password;
    Ipv4 currentIp{};
    Ipv4 currentMask{};
    Ipv4 manualIp{};
    Ipv4 manualMask{};
    std::uint8_t addressMode = 0;
    std::uint8_t linkSpeed = 0;
    std::uint8_t neighbourhood = 0;
    SyncSettings sync;  // `age` unused: see syncedAt
    TimePoint syncedAt{};
    std::string challenge;
    TimePoint deafUntil{};  // restarting: hears nothing before this
};

// One frame to put on the wire at `due`.
struct Outgoing {
    TimePoint due{};
    std::vector<std::uint8_t> bytes;
    std::size_t box = 0;
    std::string verdict;  // "reply", "accepted" or "refused"
    std::string note;     // the misbehaviour this frame shows, empty for a plain frame
    std::optional<TimePoint> syncedAt;  // syncAge is written from it when the frame leaves
    bool lost = false;  // dropped on the way instead of sent
};

// Writes the seconds since the box's last synchronisation into the frame, as of `sendTime`.
void stampSyncAge(Outgoing& frame, TimePoint sendTime);

// The verdict on one received frame and what it causes.
struct Reaction {
    std::optional<std::size_t> box;  // the box it was addressed to, when one
    std::string verdict;  // "reply", "accepted", "refused" or "ignored: <why>"
    std::string why;      // why a command was refused
    std::size_t answering = 0;  // boxes that answer a discovery
    std::vector<Outgoing> sends;
};

class Fleet {
public:
    // `start` is the moment the configured sync ages refer to; `seed` draws the challenges.
    Fleet(std::vector<BoxConfig> boxes, TimePoint start, std::uint64_t seed);

    // The frame as captured, `now` the moment it arrived.
    Reaction receive(std::span<const std::uint8_t> frame, TimePoint now);

    std::size_t size() const { return configs_.size(); }
    const BoxConfig& config(std::size_t box) const { return configs_.at(box); }
    const BoxState& state(std::size_t box) const { return states_.at(box); }
    std::optional<std::size_t> find(const std::uint8_t* mac) const;

private:
    Reaction discover(const TAnalyseBuffer& request, std::optional<std::size_t> only,
                      TimePoint now);
    void addReplies(std::size_t box, const TAnalyseBuffer& request, TimePoint now,
                    std::vector<Outgoing>& sends) const;
    Reaction command(std::size_t box, const TAnalyseBuffer& command, TimePoint now);
    std::string authorise(std::size_t box, const TAnalyseBuffer& command) const;
    void apply(std::size_t box, const TAnalyseBuffer& command, TimePoint now);
    TAnalyseBuffer boxFrame(std::size_t box, const TAnalyseBuffer& heard, FrameKind kind) const;
    Outgoing outgoing(std::size_t box, const TAnalyseBuffer& frame, TimePoint due,
                      std::string verdict, std::string note) const;
    std::string newChallenge();

    std::vector<BoxConfig> configs_;
    std::vector<BoxState> states_;
    std::unordered_map<std::uint64_t, std::size_t> byMac_;
    std::mt19937_64 random_;
};

std::string macText(const std::uint8_t* mac);

// Frames lost on the way, each with the same chance, drawn from a seeded generator so a
// test sees the same losses for the same frames.
class Loss {
public:
    Loss(double percent, std::uint64_t seed)
        : lose_(std::clamp(percent, 0.0, 100.0) / 100.0), random_(seed) {}
    bool strikes() { return lose_.p() > 0 && lose_(random_); }

private:
    std::bernoulli_distribution lose_;
    std::mt19937_64 random_;
};

}  // namespace velqorin::sim
