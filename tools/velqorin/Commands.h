// The velqorin subcommands. Each returns the process's exit code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "velqorin/NetworkAnalyse.h"

namespace velqorin::cli {

enum ExitCode {
    kOk = 0,
    kFailed = 1,         // e.g. no ping answer
    kUsage = 2,
    kNoRawAccess = 3,
    kNoAdapterList = 4,
    kRefused = 5,        // wrong password or unlock code, or expired challenge
    kNoAnswer = 6,       // the box did not answer, or the adapter failed
    kNotFound = 7,       // no box with that serial number answered
    kAmbiguous = 8,      // it answered on several adapters (pick one with --interface), or from
                         // several stations (name it with --mac)
    kBadInput = 9,       // nothing was sent
    kDeclined = 10,      // the user said no to a question
};

inline constexpr const char* kExitCodesHelp =
    "Exit codes: 0 done; 1 failed (no ping answer, diag could not list the dial-up links, or a "
    "row of apply neither done nor unchanged); "
    "2 bad usage; 3 no raw network access; 4 the adapters (or, with --dial-up, the "
    "point-to-point links) cannot be listed; 5 refused by the box (wrong password or unlock code, "
    "or expired challenge); 6 no answer from the box; 7 no box with that serial number; "
    "8 the box answers on several adapters (use --interface) or from several stations (use "
    "--mac); 9 bad input (for apply: a bad plan), nothing sent; 10 declined at a question; "
    "130 scan --watch ended by Ctrl+C.";

inline constexpr int kDefaultRequests = CVelqorinNetworkAnalyse::kDefaultRequests;
inline constexpr int kDefaultGoneAfter = 2;

struct ScanOptions {
    std::vector<std::string> interfaces;
    bool json = false;
    bool csv = false;
    bool dialUp = false;  // also ask the boxes behind the point-to-point links
    bool sync = false;    // the synchronisation chains instead of the boxes
    bool oneByOne = false;  // one adapter's window after the other, as ExternAnalyse sweeps
    bool verbose = false;   // each adapter's replies and lost frames on standard error
    int requests = kDefaultRequests;  // discovery requests on each adapter
    int goneAfter = kDefaultGoneAfter;  // --watch: sweeps a box must miss to count as gone
};


struct BoxTarget {
    std::string serial;
    std::vector<std::string> interfaces;
    bool passwordStdin = false;
    int requests = kDefaultRequests;
    std::string mac;  // the box's own MAC, when several stations answer with its serial
};

struct ConfigureOptions {
    BoxTarget target;
    bool dhcp = false;
    std::string ip;
    std::string mask;
    std::optional<bool> neighbourhood;
    bool restart = false;
    bool yes = false;
};

struct SyncOptions {
    BoxTarget target;
    bool master = false;
    std::optional<long long> follow;
    std::optional<int> floor;
    bool now = false;
};

int scan(const ScanOptions& options);
int interfaces(bool json);
int ping(std::string address);
// The three network diagnostic reports on standard output; 1 when one of them says that
// the links could not be listed.
int diag();
int configure(const ConfigureOptions& options);
int sync(const SyncOptions& options);
int unlock(const BoxTarget& target);

}  // namespace velqorin::cli
