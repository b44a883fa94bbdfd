// The analyser: the one object through which a caller drives the library. It owns the
// boxes found by the last sweep and the records of the workstation's interfaces.
// The monitor embeds it by value and walks firstBox / next, so the member order is
// interface.
#pragma once

#include <cstddef>

#include "velqorin/BoxOnNetwork.h"
#include "velqorin/Export.h"
#include "velqorin/Frame.h"
#include "velqorin/NetworkInterface.h"

class VELQORIN_API CVelqorinNetworkAnalyse {
public:
    // Told as the sweep turns to each adapter, so a caller can show progress.
    using SweepProgress = void (*)(void* context, const char* adapterName, int index, int count);
    // How a diagnostic report wants to be shown.
    enum ReportIcon { ReportInformation = 0, ReportWarning = 1, ReportError = 2 };
    // Shows one diagnostic report: its title and its text (lines ending in '\n').
    using ReportSink = void (*)(void* context, const char* title, const char* text,
                                ReportIcon icon);

    // One adapter's window in figures. Boxes that answered fewer times than requests were
    // sent are a sign that frames were lost on the way.
    struct AdapterTally {
        const char* adapter;  // valid during the call only
        int requests;       // discovery requests sent on it
        int replies;        // replies accepted, answers to every request counted
        int boxes;          // boxes listed from it
        int boxesShort;     // boxes that answered fewer times than `requests`
        unsigned dropped;   // frames lost because the capture buffer was full
        int beyondLimit;    // replies of boxes beyond the kMaxBoxes a sweep lists, dropped
    };
    // What a sweep tells its caller as it goes, on the caller's thread. Any member may be
    // null.
    struct SweepObserver {
        void* context;
        // Turning to an adapter: opening it and sending the request. The dial-up pass tells
        // each point-to-point link (its interface name) in the same way.
        SweepProgress adapter;
        // After every read of a listening window: the adapters listened to, and the
        // milliseconds since the request went out (a window lasts about kWindowMs).
        void (*listening)(void* context, const char* const* adapters, int count, int elapsedMs);
        // An adapter's window is over: the replies accepted on it, and the frames lost
        // because the capture buffer was full or dropped beyond kMaxBoxes boxes.
        void (*adapterDone)(void* context, const char* adapter, int accepted, unsigned dropped);
        // Asked between adapters and after every read; true ends the sweep (or the dial-up
        // pass) there, with what was found so far on the list.
        bool (*stopRequested)(void* context);
        // An adapter's window is over: what it gave, in more detail than adapterDone.
        void (*adapterTally)(void* context, const AdapterTally* tally);
    };
    // About how long one listening window lasts after its request: the 100 ms pause and
    // three one-second reads.
    static constexpr int kWindowMs = 3100;
    // How often the sweep with one window for every adapter sends its request on each: a
    // request or a reply lost on the way then seldom costs a box. Repeats go out every
    // kRepeatSpacingMs from the first, early in the window, with the same token; while an
    // adapter's replies show loss it is asked again, up to kMaxRequests in all.
    static constexpr int kDefaultRequests = 3;
    static constexpr int kMaxRequests = 5;
    static constexpr int kRepeatSpacingMs = 250;

    // A sweep lists at most this many boxes; replies of further boxes are dropped and
    // counted, so that a flood of made-up serial numbers cannot exhaust memory.
    static constexpr int kMaxBoxes = 65536;

    static constexpr std::size_t kTokenSize = 30;
    static constexpr std::size_t kTokenLength = 27;

    CVelqorinBoxOnNetwork* firstBox;
    CVelqorinBoxOnNetwork* lastBox;
    CVelqorinNetworkInterface* firstInterface;
    int boxCount;
    int interfaceCount;
    char analyserToken[kTokenSize];

    // Empty lists and a token of 27 characters from '0' to 'y', fixed for the object's
    // life, drawn from a generator of the object's own seeded from the system's random
    // source.
    CVelqorinNetworkAnalyse();
    ~CVelqorinNetworkAnalyse();

    CVelqorinNetworkAnalyse(const CVelqorinNetworkAnalyse&) = delete;
    CVelqorinNetworkAnalyse& operator=(const CVelqorinNetworkAnalyse&) = delete;

    // Destroys every box and every interface record.
    void reset();
    int CountBox() const;
    int CountNetworkInterfaces() const;
    // Destroys a box of this list and returns the new count. A pointer that is not on
    // the list changes nothing.
    int Delete(CVelqorinBoxOnNetwork* box);
    // Puts a reply on the list, one entry per adapter and serial number: a second reply
    // replaces the first (moving it last) only when it carries this analyser's token.
    // `reply` must be a whole 316-byte record. Returns the box count.
    int AddBox(const TAnalyseBuffer* reply, const char* adapterName);
    // The sweep: empties both lists, records the workstation's interfaces, sends one
    // discovery request on each usable adapter and lists every box that answers within
    // about three seconds. False only when the adapters cannot be listed; the previous
    // lists are gone in any case.
    bool Analyse();
    // The same sweep over the listed adapters only (all when `only` is null), telling
    // `progress` (which may be null) as it turns to each adapter.
    bool AnalyseAdapters(const char* const* only, int onlyCount, SweepProgress progress,
                         void* context);
    // The same sweep (one adapter after the other) with an observer, which may be null.
    bool AnalyseAdapters(const char* const* only, int onlyCount, const SweepObserver* observer);
    // The sweep with one listening window for every adapter: each usable adapter (all, or
    // the listed ones) is opened and sent the request, then all are listened to at once
    // for about three seconds. The list is the one the sweep above gives for the same
    // replies: adapter by adapter in the platform's order, in order of arrival within
    // each. `observer` may be null. False only when the adapters cannot be listed.
    // The request goes out kDefaultRequests times on each adapter; a box that answers
    // several times is listed once per adapter, at the place of its first reply, with the
    // content of its latest reply that carries this analyser's token.
    bool AnalyseConcurrently(const char* const* only, int onlyCount,
                             const SweepObserver* observer);
    // The same, with the request sent `requests` times (1 to kMaxRequests; outside that,
    // the nearest), then again while the replies show loss. With 1 it is sent once, and
    // the list is exactly the one the sweep above gives for the same replies, a box
    // answering twice with our token moving last.
    bool AnalyseConcurrently(const char* const* only, int onlyCount,
                             const SweepObserver* observer, int requests);
    // The sweep, then, when `withDialUp` is set, the dial-up pass whatever the sweep
    // returned. True when the sweep and (if it ran) the dial-up pass both were.
    bool Analyse(bool withDialUp);
    // The dial-up pass: asks the box at the far end of every active point-to-point link
    // for its identity and lists it after the boxes already found, under the adapter
    // name "PPP/WAN Velqorin serial/gsm"; a box reached by two links is listed once.
    // False when the links cannot be listed; true otherwise, also when none answers.
    // Blocks for up to about 8 seconds per link whose box does not answer.
    bool Analyse_Ras();
    // The same, telling `observer` (which may be null) each link as it is asked.
    bool Analyse_Ras(const SweepObserver* observer);
    // Asks the box at the dotted IPv4 `address` (TCP port 5000) and, on a usable answer,
    // adds its record to `analyser`'s list. Always true.
    static bool RecupVelqorinInfo(CVelqorinNetworkAnalyse* analyser, const char* address);

    // How many stations (source MACs) answered the last sweep with `box`'s serial number
    // on its adapter: 1 as a rule; 2 or more when two boxes share a serial number or a
    // station answers in a box's name, and a command must not go to either unseen. Copies
    // the reply of each, up to `max`, into `replies` (which may be null): the listed
    // box's record first, then the others' latest in the order they first answered (at
    // most 16 stations are told apart). 0 for a box that is not on the list.
    int SerialAnswers(const CVelqorinBoxOnNetwork* box, TAnalyseBuffer* replies, int max) const;

    // The first record whose 8-byte MAC equals the 8 bytes at `mac`, or null.
    CVelqorinNetworkInterface* getNetworkInterface(const unsigned char* mac) const;
    // Destroys a record of this list and returns the new count. A pointer that is not
    // on the list changes nothing.
    int deleteNetworkInterface(CVelqorinNetworkInterface* rec);

    // Appends one record per network adapter of the workstation (loopback excluded), in
    // interface-index order, with its name, MAC, IPv4 addresses (0.0.0.0 and
    // 255.255.255.255 left out, at most 100) and DHCP flags; counts them in
    // interfaceCount. When the adapter table cannot be read, prints the single line
    // "Call to GetAdaptersInfo failed." on standard output and adds nothing.
    void getIps();
    // The DHCP settings of one adapter, named bare ("eth0") or in device form
    // ("\Device\NPF_eth0"). False, flags untouched, when there is no such adapter or
    // its DHCP state cannot be told; otherwise `dhcp` says whether it uses DHCP and
    // `dhcpServer` whether a usable server address is known for it as well.
    bool getReg(const char* adapterName, bool* dhcp, bool* dhcpServer);
    // Diagnostic reports for support, each shown through the report sink: the host name,
    // domain and DNS servers ("__NetworkTest1()__"); every adapter with its address,
    // gateway and DHCP state ("__NetworkTest2()__"); every active point-to-point link
    // ("__NetworkTest3()__": warning icon when there is none, error icon when the links
    // cannot be listed). A report is never cut, however long.
    void NetworkTest1();
    void NetworkTest2();
    void NetworkTest3();
    // Where the reports go, for the whole process. Null (the start) prints the title,
    // then the text, on standard output. The sink is called on the caller's thread.
    static void SetReportSink(ReportSink sink, void* context);

    // Always true: the library has no separate runtime to match.
    bool CheckVersion();
    // True when this process may capture and send raw frames: itself (root or
    // CAP_NET_RAW), or through the link helper the packages install.
    bool CheckService();
    // Why this process cannot capture and send raw frames: RawAccessOk, or another of the
    // values below with, in `text` (at most `size` bytes with its NUL; may be null), what
    // the user is to do, in English.
    enum RawAccess {
        RawAccessOk = 0,
        RawAccessNotPermitted = 1,             // no capability, and no link helper installed
        RawAccessNotInGroup = 2,               // the helper is for the group velqorin only
        RawAccessHelperWithoutCapability = 3,  // the helper lacks CAP_NET_RAW
        RawAccessHelperFailed = 4,             // the helper could not be started or asked
    };
    static int RawAccessProblem(char* text, int size);
    // The installed suite's version text from the system-wide settings ("Version" in
    // "$XDG_CONFIG_DIRS/Quarvel/Velqorin Network Monitor.conf", first folder only,
    // /etc/xdg by default). `text` holds 1000 characters; it gets at most 998 and a NUL,
    // and stays empty when the file or the key is missing.
    void GetDistribVersion(char* text);
};
