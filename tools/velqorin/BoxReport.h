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
};

BoxRow rowOf(const TAnalyseBuffer& record, const std::string& adapter);
// Every box of the last sweep, in list order.
std::vector<BoxRow> rowsOf(const CVelqorinNetworkAnalyse& analyser);

std::string tableText(const std::vector<BoxRow>& rows);
std::string jsonText(const std::vector<BoxRow>& rows);
std::string csvText(const std::vector<BoxRow>& rows);

// The workstation's interfaces as the inventory recorded them.
std::string interfacesText(const CVelqorinNetworkAnalyse& analyser);
std::string interfacesJson(const CVelqorinNetworkAnalyse& analyser);

}  // namespace velqorin::cli
