// Checks of what a user types, made before anything is sent: bad input changes nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/Mac.h"
#include "velqorin/Frame.h"

class CVelqorinNetworkAnalyse;
class CVelqorinBoxOnNetwork;

namespace velqorin::cli {

using Ipv4 = std::array<std::uint8_t, 4>;

// Exactly four decimal octets 0 to 255: "192.0.2.7". Nothing otherwise.
std::optional<Ipv4> parseIpv4(std::string_view text);
// Ones then zeros: 255.255.255.0 is a mask, 255.0.255.0 is not.
bool isSubnetMask(const Ipv4& mask);
// An address a box can be given: not 0.0.0.0, not 255.255.255.255, not a group address,
// not loopback, and not the network or broadcast address of its subnet under `mask`.
std::optional<std::string> addressProblem(const Ipv4& address, const Ipv4& mask);

// Where a server listens: "ADDRESS:PORT" with a numeric IPv4 address, "[IPv6]:PORT", or
// ":PORT" for every IPv4 address (0.0.0.0); the port 1 to 65535. Nothing otherwise.
struct ListenAddress {
    std::string host;
    int port = 0;
};
std::optional<ListenAddress> parseListenAddress(std::string_view text);

// Floors of a synchronisation chain: -5 to -1 and 1 to 5.
bool validFloor(int floor);

// The boxes of the last sweep whose serial number is exactly `serial`.
std::vector<CVelqorinBoxOnNetwork*> boxesWithSerial(const CVelqorinNetworkAnalyse& analyser,
                                                    std::string_view serial);

using Mac = MacBytes;
using velqorin::parseMac;

// The stations that answered one sweep with one serial number on one adapter, as
// CVelqorinNetworkAnalyse::SerialAnswers gives them, the listed box's first. A command
// goes to the only one, or to the one `mac` names; with several and no `mac` it would go
// to a station nobody chose.
struct StationChoice {
    enum class Outcome { Chosen, Several, NoSuchMac };
    Outcome outcome = Outcome::Chosen;
    std::size_t index = 0;  // Chosen: which of the replies
};
StationChoice chooseStation(const std::vector<TAnalyseBuffer>& stations, const std::optional<Mac>& mac);
// "02:...:0a, 02:...:0b": the stations' MACs.
std::string stationMacs(const std::vector<TAnalyseBuffer>& stations);
// The stations of `box` in the last sweep of `analyser`.
std::vector<TAnalyseBuffer> stationsOf(const CVelqorinNetworkAnalyse& analyser,
                                       const CVelqorinBoxOnNetwork& box);

// The one box a serial number names in the last sweep, and, when several stations answer
// with it on its adapter, the one `mac` names. configure, sync, unlock and apply all find
// their box so; each says in its own words what to do when it is not one.
struct BoxLookup {
    enum class Outcome { Found, NotFound, OnSeveralAdapters, FromSeveralStations, NotFromThatMac };
    Outcome outcome = Outcome::NotFound;
    CVelqorinBoxOnNetwork* box = nullptr;  // Found: the listed box
    // Found, when `mac` chose another station than the listed box's: that station's record.
    std::optional<TAnalyseBuffer> station;
    std::string adapter;                   // where it answered
    std::vector<std::string> adapters;     // OnSeveralAdapters, in name order
    std::vector<TAnalyseBuffer> stations;  // FromSeveralStations, NotFromThatMac
};
BoxLookup lookUpBox(const CVelqorinNetworkAnalyse& analyser, std::string_view serial,
                    const std::optional<Mac>& mac);
// The identifier of the adapter a box answered on ("eth1").
std::string adapterOf(const CVelqorinBoxOnNetwork& box);

}  // namespace velqorin::cli
