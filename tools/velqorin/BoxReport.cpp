#include "BoxReport.h"
#include "velqorin/Address.h"

#include <netinet/in.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "SafeText.h"
#include "velqorin/AddressNotes.h"
#include "velqorin/NetworkAnalyse.h"
#include "velqorin/SyncOrder.h"

namespace velqorin::cli {
namespace {

const char* linkName(LinkKind kind) {
    switch (kind) {
        case LinkKind::Usb: return "usb";
        case LinkKind::Serial: return "serial";
        case LinkKind::Network: break;
    }
    return "network";
}

// The monitor's way of showing the mode: DHCP yes/no, or the automatic kinds.
std::string modeShown(const std::string& mode) {
    if (mode == "dhcp") return "yes";
    if (mode == "autoip") return "Auto IP";
    if (mode == "rarp") return "RARP";
    return "no";
}

// "master", or "follows 2555, floor -2", as the synchronisation list shows a box.
std::string syncShown(const BoxRow& r) {
    if (!r.syncFollower) return "master";
    return "follows " + std::to_string(r.syncMaster) + ", floor " + std::to_string(r.syncFloor);
}

std::string blockIp(const sockaddr_storage& block) { return blockText(block); }


std::string boxCount(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " box" : " boxes");
}

}  // namespace

const char* modeWord(std::uint8_t value) {
    switch (addressMode(value)) {
        case AddressMode::Dhcp: return "dhcp";
        case AddressMode::AutoIp: return "autoip";
        case AddressMode::Rarp: return "rarp";
        case AddressMode::Fixed: break;
    }
    return "fixed";
}

BoxRow rowOf(const TAnalyseBuffer& record, const std::string& adapter) {
    BoxRow row;
    row.serial = std::string(fieldText(record.serialNumber));
    row.mac = macText(record.sourceMac);
    row.addressMode = modeWord(record.addressMode);
    row.ip = ipText(record.currentIp);
    row.mask = ipText(record.currentMask);
    row.neighbourhood = record.neighbourhood == 1;
    row.link = linkName(linkKind(record));
    row.softwareVersion = loadLe<std::uint32_t>(record.softwareVersion);
    row.version = versionText(row.softwareVersion);
    row.adapter = adapter;
    row.syncFollower = loadLe<std::uint32_t>(record.syncSlave) != 0;
    row.syncMaster = loadLe<std::uint32_t>(record.syncMaster);
    row.syncFloor = loadLe<std::int32_t>(record.syncFloor);
    row.syncFault = loadLe<std::uint32_t>(record.syncFault) != 0;
    row.syncDone = loadLe<std::uint32_t>(record.syncDone) != 0;
    row.syncAge = loadLe<std::uint32_t>(record.syncAge);
    return row;
}

std::vector<BoxRow> rowsOf(const CVelqorinNetworkAnalyse& analyser) {
    std::vector<BoxRow> rows;
    auto notes = addressNotes(analyser.firstBox, analyser.firstInterface);
    std::size_t at = 0;
    for (const CVelqorinBoxOnNetwork* box = analyser.firstBox; box != nullptr; box = box->next) {
        char name[CVelqorinBoxOnNetwork::kAdapterNameSize];
        BoxRow row = rowOf(box->storedRecord, box->getInterfaceName(name));
        AddressNote& note = notes[at++];
        row.addressConflict = std::move(note.alsoUsedBy);
        row.workstationAddress = note.workstationAddress;
        row.reachable = note.reachable;
        TAnalyseBuffer stations[16];
        const int answered = analyser.SerialAnswers(box, stations, 16);
        for (int i = 1; i < std::min(answered, 16); ++i)
            row.serialConflict.push_back(macText(stations[i].sourceMac));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string noteText(const BoxRow& r) {
    std::vector<std::string> notes;
    if (!r.serialConflict.empty())
        notes.push_back("serial also answered from " + joinedText(r.serialConflict, ", ") +
                        "; name the box with --mac");
    if (!r.addressConflict.empty())
        notes.push_back("address also used by " + joinedText(r.addressConflict, ", "));
    if (r.workstationAddress) notes.emplace_back("address of this workstation");
    if (!r.reachable) notes.push_back("not reachable from " + r.adapter);
    return joinedText(notes, "; ");
}

std::string addressSummary(const std::vector<BoxRow>& rows) {
    std::size_t shared = 0, own = 0, unreachable = 0, spoofed = 0;
    for (const BoxRow& r : rows) {
        if (!r.addressConflict.empty()) ++shared;
        if (r.workstationAddress) ++own;
        if (!r.reachable) ++unreachable;
        if (!r.serialConflict.empty()) ++spoofed;
    }
    std::string text;
    if (shared + own + unreachable > 0)
        text = boxCount(shared) + " on an address another box also uses, " + boxCount(own) +
               " on this workstation's address, " + boxCount(unreachable) +
               " not reachable from the adapter " + (unreachable == 1 ? "it" : "they") +
               " answered on";
    if (spoofed > 0)
        text += (text.empty() ? "" : "; ") + boxCount(spoofed) +
                " whose serial number several stations answered with: two boxes share it, or "
                "one answers in another's name";
    return text;
}

std::string joinedText(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

std::string columnsText(const std::vector<std::vector<std::string>>& cells) {
    // Every cell as a terminal may show it: box texts come from the wire.
    std::vector<std::vector<std::string>> shownCells;
    for (const auto& line : cells) {
        auto& shownLine = shownCells.emplace_back();
        for (const auto& cell : line) shownLine.push_back(terminalText(cell));
    }
    std::vector<std::size_t> width;
    for (const auto& line : shownCells) {
        width.resize(std::max(width.size(), line.size()), 0);
        for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
    }
    std::ostringstream out;
    for (const auto& line : shownCells) {
        // Empty last cells are left out, so no line ends in spaces.
        std::size_t shown = line.size();
        while (shown > 0 && line[shown - 1].empty()) --shown;
        for (std::size_t i = 0; i < shown; ++i) {
            out << line[i];
            if (i + 1 < shown) out << std::string(width[i] - line[i].size() + 2, ' ');
        }
        out << '\n';
    }
    return out.str();
}

std::string tableText(const std::vector<BoxRow>& rows) {
    const std::vector<std::string> header = {"Serial", "MAC",     "DHCP",    "IP address",
                                             "Mask",   "Neighbourhood", "Link", "Version",
                                             "Adapter", "Synchronisation", "Note"};
    std::vector<std::vector<std::string>> cells{header};
    for (const BoxRow& r : rows)
        cells.push_back({r.serial, r.mac, modeShown(r.addressMode), r.ip, r.mask,
                         r.neighbourhood ? "yes" : "no", r.link, r.version, r.adapter,
                         syncShown(r), noteText(r)});
    return columnsText(cells);
}

std::string jsonText(const std::vector<BoxRow>& rows) {
    auto list = nlohmann::json::array();
    for (const BoxRow& r : rows) {
        // A master follows nobody and sits on no floor.
        const nlohmann::json master = r.syncFollower ? nlohmann::json(r.syncMaster) : nullptr;
        const nlohmann::json floor = r.syncFollower ? nlohmann::json(r.syncFloor) : nullptr;
        list.push_back({{"serial", r.serial},
                        {"mac", r.mac},
                        {"addressMode", r.addressMode},
                        {"dhcp", r.addressMode == "dhcp"},
                        {"ip", r.ip},
                        {"mask", r.mask},
                        {"neighbourhood", r.neighbourhood},
                        {"link", r.link},
                        {"version", r.version},
                        {"softwareVersion", r.softwareVersion},
                        {"adapter", r.adapter},
                        {"syncMode", r.syncFollower ? "follower" : "master"},
                        {"syncMaster", master},
                        {"syncFloor", floor},
                        {"addressConflict", r.addressConflict},
                        {"workstationAddress", r.workstationAddress},
                        {"reachable", r.reachable},
                        {"serialConflict", r.serialConflict}});
    }
    // Serial numbers come from the wire: bytes that are not UTF-8 are replaced, not fatal.
    return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string csvText(const std::vector<BoxRow>& rows) {
    std::ostringstream out;
    out << "serial,mac,addressMode,dhcp,ip,mask,neighbourhood,link,version,softwareVersion,adapter,"
           "syncMode,syncMaster,syncFloor,addressConflict,workstationAddress,reachable,"
           "serialConflict\n";
    for (const BoxRow& r : rows) {
        out << csvField(r.serial) << ',' << r.mac << ',' << r.addressMode << ','
            << (r.addressMode == "dhcp" ? "true" : "false") << ',' << r.ip << ',' << r.mask << ','
            << (r.neighbourhood ? "true" : "false") << ',' << r.link << ',' << csvField(r.version)
            << ',' << r.softwareVersion << ',' << csvField(r.adapter) << ',';
        if (r.syncFollower)
            out << "follower," << r.syncMaster << ',' << r.syncFloor << ',';
        else
            out << "master,,,";
        // Serial numbers set apart by semicolons, in one field.
        out << csvField(joinedText(r.addressConflict, ";")) << ','
            << (r.workstationAddress ? "true" : "false") << ','
            << (r.reachable ? "true" : "false") << ',' << joinedText(r.serialConflict, ";")
            << '\n';
    }
    return out.str();
}

SyncListRow syncListRowOf(const TAnalyseBuffer& record, bool separator) {
    SyncListRow row;
    row.separator = separator;
    row.serial = std::string(fieldText(record.serialNumber));
    row.follower = !isSyncMaster(record);
    row.master = loadLe<std::uint32_t>(record.syncMaster);
    row.floor = loadLe<std::int32_t>(record.syncFloor);
    row.synchronised = row.follower && loadLe<std::uint32_t>(record.syncFault) == 0 &&
                       loadLe<std::uint32_t>(record.syncDone) != 0;
    row.age = loadLe<std::uint32_t>(record.syncAge);
    return row;
}

std::vector<SyncListRow> syncListOf(const CVelqorinNetworkAnalyse& analyser) {
    std::vector<const TAnalyseBuffer*> records;
    for (const CVelqorinBoxOnNetwork* box = analyser.firstBox; box != nullptr; box = box->next)
        records.push_back(&box->storedRecord);
    std::vector<SyncListRow> rows;
    for (const SyncRow& row : syncRows(records))
        rows.push_back(syncListRowOf(*row.record, row.separator));
    return rows;
}

std::string syncTableText(const std::vector<SyncListRow>& rows) {
    const std::vector<std::string> header = {"Serial", "Mode", "Master", "Floor", "Last sync"};
    std::vector<std::vector<std::string>> cells{header};
    for (const SyncListRow& r : rows) {
        if (r.separator)
            cells.push_back({});
        else if (r.follower)
            cells.push_back({terminalText(r.serial), "E", std::to_string(r.master), std::to_string(r.floor),
                             r.synchronised ? durationText(r.age) : "..."});
        else
            cells.push_back({terminalText(r.serial), "M", "...", "...", "..."});
    }
    std::vector<std::size_t> width(header.size(), 0);
    for (const auto& line : cells)
        for (std::size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
    std::ostringstream out;
    for (const auto& line : cells) {
        // A separator row opens each master's chain, as on the monitor's tab.
        if (line.empty()) {
            std::size_t total = 0;
            for (std::size_t w : width) total += w + 2;
            out << std::string(total - 2, '-') << '\n';
            continue;
        }
        for (std::size_t i = 0; i < line.size(); ++i) {
            out << line[i];
            if (i + 1 < line.size()) out << std::string(width[i] - line[i].size() + 2, ' ');
        }
        out << '\n';
    }
    return out.str();
}

std::string syncJsonText(const std::vector<SyncListRow>& rows) {
    auto list = nlohmann::json::array();
    for (const SyncListRow& r : rows) {
        if (r.separator) {
            list.push_back({{"row", "separator"}, {"serial", r.serial}});
            continue;
        }
        const nlohmann::json none = nullptr;
        list.push_back({{"row", "box"},
                        {"serial", r.serial},
                        {"syncMode", r.follower ? "follower" : "master"},
                        {"syncMaster", r.follower ? nlohmann::json(r.master) : none},
                        {"syncFloor", r.follower ? nlohmann::json(r.floor) : none},
                        {"syncAge", r.synchronised ? nlohmann::json(r.age) : none},
                        {"lastSync", r.synchronised ? durationText(r.age) : "..."}});
    }
    return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string syncCsvText(const std::vector<SyncListRow>& rows) {
    std::ostringstream out;
    out << "row,serial,syncMode,syncMaster,syncFloor,syncAge,lastSync\n";
    for (const SyncListRow& r : rows) {
        out << (r.separator ? "separator," : "box,") << csvField(r.serial) << ',';
        if (r.separator)
            out << ",,,,\n";
        else if (!r.follower)
            out << "master,,,,...\n";
        else if (r.synchronised)
            out << "follower," << r.master << ',' << r.floor << ',' << r.age << ','
                << durationText(r.age) << '\n';
        else
            out << "follower," << r.master << ',' << r.floor << ",,...\n";
    }
    return out.str();
}

std::string interfacesText(const CVelqorinNetworkAnalyse& analyser) {
    std::ostringstream out;
    for (const CVelqorinNetworkInterface* rec = analyser.firstInterface; rec; rec = rec->next) {
        bool dhcp = false, server = false;
        rec->getDhcp(&dhcp, &server);
        out << rec->name << "  " << macText(rec->mac) << "  DHCP "
            << (dhcp ? (server ? "yes (server known)" : "yes (no server known)") : "no") << '\n';
        for (int i = 0; i < rec->getCountIpAddresses(); ++i) {
            sockaddr_storage address{}, mask{};
            rec->getIpAddress(i, &address, &mask);
            out << "    " << blockIp(address) << " mask " << blockIp(mask) << '\n';
        }
    }
    // An interface name may hold control characters.
    return terminalLines(out.str());
}

std::string interfacesJson(const CVelqorinNetworkAnalyse& analyser) {
    auto list = nlohmann::json::array();
    for (const CVelqorinNetworkInterface* rec = analyser.firstInterface; rec; rec = rec->next) {
        bool dhcp = false, server = false;
        rec->getDhcp(&dhcp, &server);
        auto addresses = nlohmann::json::array();
        for (int i = 0; i < rec->getCountIpAddresses(); ++i) {
            sockaddr_storage address{}, mask{};
            rec->getIpAddress(i, &address, &mask);
            addresses.push_back({{"ip", blockIp(address)}, {"mask", blockIp(mask)}});
        }
        list.push_back({{"name", rec->name},
                        {"mac", macText(rec->mac)},
                        {"dhcp", dhcp},
                        {"dhcpServer", server},
                        {"addresses", addresses}});
    }
    return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace velqorin::cli
