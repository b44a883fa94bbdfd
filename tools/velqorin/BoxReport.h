// What `velqorin scan` prints about each box, as a table for people and as JSON or CSV
// for scripts. Field names of the JSON and CSV forms are stable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "velqorin/Frame.h"

class CVelqorinNetworkAnalyse;
class CVelqorinNetworkInterface;

namespace velqorin::cli {

struct BoxRow {
    std::string serial;
    std::string mac;
    std::string addressMode;  // dhcp, autoip, rarp, fixed
    std::string ip;
    std::string mask;
    bool neighbourhood = false;
    std::string link;  // network, usb, serial
    std::string version;
    std::uint32_t softwareVersion = 0;
    std::string adapter;
    // The synchronisation set-up; master and floor mean something for a follower only.
    bool syncFollower = false;
    std::uint32_t syncMaster = 0;
    std::int32_t syncFloor = 0;
    // Its state, as the synchronisation list shows it: the age (seconds since the last
    // synchronisation) means something only without a fault and once one is done.
    bool syncFault = false;
    bool syncDone = false;
    std::uint32_t syncAge = 0;
    // What the list flags about the address (velqorin/AddressNotes.h): the serial numbers
    // of the other boxes on it, whether it is the workstation's own, and whether the
    // workstation reaches it from the adapter.
    std::vector<std::string> addressConflict;
    bool workstationAddress = false;
    bool reachable = true;
    // The MACs of the other stations that answered with this serial number on this
    // adapter: two boxes given one serial number, or a station answering in its name.
    std::vector<std::string> serialConflict;
};

BoxRow rowOf(const TAnalyseBuffer& record, const std::string& adapter);
// Every box of the last sweep, in list order, with what is flagged about its address.
std::vector<BoxRow> rowsOf(const CVelqorinNetworkAnalyse& analyser);

// A box's addressing mode as the reports and the plan write it: dhcp, autoip, rarp, fixed.
const char* modeWord(std::uint8_t value);

// The table's "Note": "address also used by 2556, 2557; not reachable from vq0"; empty
// when nothing is flagged. The table shows every cell through terminalText.
std::string noteText(const BoxRow& row);
// One line counting the boxes flagged, for standard error; empty when none is.
std::string addressSummary(const std::vector<BoxRow>& rows);

std::string tableText(const std::vector<BoxRow>& rows);
// The parts one after the other with `separator` between them.
std::string joinedText(const std::vector<std::string>& parts, const char* separator);
// Lines of cells in columns two spaces apart, each column as wide as its widest cell.
std::string columnsText(const std::vector<std::vector<std::string>>& cells);
std::string jsonText(const std::vector<BoxRow>& rows);
std::string csvText(const std::vector<BoxRow>& rows);

// One row of the synchronisation chains, as the monitor's second tab shows it: a box, or
// the separator above each master.
struct SyncListRow {
    bool separator = false;
    std::string serial;
    bool follower = false;
    std::uint32_t master = 0;     // a follower's master
    std::int32_t floor = 0;       // a follower's floor
    bool synchronised = false;    // a follower without fault that has synchronised
    std::uint32_t age = 0;        // seconds since then
};

SyncListRow syncListRowOf(const TAnalyseBuffer& record, bool separator);
// The LAN boxes of the last sweep in the chains' order.
std::vector<SyncListRow> syncListOf(const CVelqorinNetworkAnalyse& analyser);

std::string syncTableText(const std::vector<SyncListRow>& rows);
std::string syncJsonText(const std::vector<SyncListRow>& rows);
std::string syncCsvText(const std::vector<SyncListRow>& rows);

// The workstation's interfaces as the inventory recorded them.
std::string interfacesText(const CVelqorinNetworkAnalyse& analyser);
std::string interfacesJson(const CVelqorinNetworkAnalyse& analyser);

}  // namespace velqorin::cli
