// Raw frames on the workstation's Ethernet adapters, behind a seam of ours: the sweep
// and the box commands go through the Link* operations below; the platform's link
// (libpcap on Linux) or a test's fake does the work.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velqorin/Frame.h"

namespace velqorin {

// Offered every captured frame of a batch, with its captured length; returns false to
// end the walk (the rest of the batch is then dropped).
using FrameStep = std::function<bool(const std::uint8_t* frame, std::size_t capturedLength)>;
// Offered every frame of a batch read from several adapters at once, with the position of
// its adapter in the list that was read.
using AdapterFrameStep =
    std::function<void(std::size_t adapter, const std::uint8_t* frame, std::size_t capturedLength)>;

// One open adapter; destroying it closes it.
class LinkAdapter {
public:
    virtual ~LinkAdapter() = default;
    // Sends `length` bytes once.
    virtual bool send(const std::uint8_t* frame, std::size_t length) = 0;
    // Waits at most `timeout` for frames addressed to the adapter, then offers each one
    // that is there to `step`. A timeout with nothing received is a success.
    virtual bool receive(std::chrono::milliseconds timeout, const FrameStep& step) = 0;
    // The adapter's current MAC address, 6 bytes.
    virtual bool queryMac(std::uint8_t* mac) = 0;
    // Frames lost since the adapter was opened because the capture buffer was full.
    virtual unsigned dropped() const = 0;
    // What the last failure was, for a caller that shows it.
    virtual std::string error() const = 0;
};

class Link {
public:
    virtual ~Link() = default;
    // The usable adapters in the platform's order, or nothing when they cannot be listed.
    virtual std::optional<std::vector<std::string>> listAdapters() = 0;
    // Null when the adapter cannot be opened; error() then says why.
    virtual std::unique_ptr<LinkAdapter> open(const std::string& name) = 0;
    // Waits at most `timeout` until frames are there on any of `adapters` (all opened by
    // this link), then offers the frames of every adapter that has some. Returns the
    // positions of the adapters whose read failed; every adapter stays open.
    virtual std::vector<std::size_t> receiveAny(const std::vector<LinkAdapter*>& adapters,
                                                std::chrono::milliseconds timeout,
                                                const AdapterFrameStep& step) = 0;
    virtual std::string error() const = 0;
};

// The whole-second calendar clock that listening windows are measured on, the pause
// between a send and its window, and a steady count of milliseconds for progress reports.
// Tests give the sweep a clock they drive.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::time_t seconds() = 0;
    virtual void pause(std::chrono::milliseconds duration) = 0;
    virtual std::int64_t steadyMilliseconds() = 0;
};

// The link and clock that a ScopedLink / ScopedClock put in place, else the platform's:
// direct when this process may open packet sockets itself, else through the link helper.
Link& currentLink();
Clock& currentClock();

class HelperLink;
// The process's link helper, started on first use; a ScopedHelperLink's while there is one.
HelperLink& processHelperLink();
class ScopedHelperLink {
public:
    explicit ScopedHelperLink(HelperLink& replacement);
    ~ScopedHelperLink();
    ScopedHelperLink(const ScopedHelperLink&) = delete;
    ScopedHelperLink& operator=(const ScopedHelperLink&) = delete;

private:
    HelperLink* previous_;
};
// Whether this process may open packet sockets itself (root or CAP_NET_RAW).
bool hasRawAccess();

// Puts `replacement` behind currentLink() for the object's lifetime; for tests. Not
// thread-safe against a sweep running at the same time.
class ScopedLink {
public:
    explicit ScopedLink(Link& replacement);
    ~ScopedLink();
    ScopedLink(const ScopedLink&) = delete;
    ScopedLink& operator=(const ScopedLink&) = delete;

private:
    Link* previous_;
};

// The same for currentClock().
class ScopedClock {
public:
    explicit ScopedClock(Clock& replacement);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* previous_;
};

// Empty, or one open adapter.
using AdapterSlot = std::unique_ptr<LinkAdapter>;

inline constexpr int kMaxAdapters = 10;
inline constexpr std::size_t kMaxAdapterNameLength = 1022;
inline constexpr std::chrono::milliseconds kReadTimeout{1000};

// At most 10 names in the platform's order; a name over 1022 characters ends the list.
// Nothing when the platform cannot list its adapters.
std::optional<std::vector<std::string>> LinkListAdapters();
// Closes what the slot holds, then opens `name` into it. False leaves the slot empty.
bool LinkOpen(AdapterSlot& slot, const std::string& name);
// False when the slot is already empty.
bool LinkClose(AdapterSlot& slot);
// One frame, once. A failed send closes the adapter: the slot is then empty.
bool LinkSend(AdapterSlot& slot, const TAnalyseBuffer& frame);
// One batch: returns when a frame is there or after about a second. The slot stays open
// whatever happens.
bool LinkReceive(AdapterSlot& slot, const FrameStep& step);
// One batch over several slots, each holding an open adapter: returns when frames are
// there on any of them or after `timeout`, having offered each frame with its slot's
// position in `slots`. Returns the positions whose read failed, in order; every slot
// stays open.
std::vector<std::size_t> LinkReceiveAny(const std::vector<AdapterSlot*>& slots,
                                        const AdapterFrameStep& step,
                                        std::chrono::milliseconds timeout = kReadTimeout);
// The adapter's current MAC into `mac` (6 bytes).
bool LinkQueryMac(AdapterSlot& slot, std::uint8_t* mac);
// The text of the last failure of a Link* operation.
const std::string& linkError();

}  // namespace velqorin
