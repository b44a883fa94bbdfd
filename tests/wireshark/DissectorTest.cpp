// The Wireshark dissector (packaging/wireshark/velqorin.lua) read back through tshark,
// field by field against the library's own decoding of the same bytes: the capture files
// of tests/captures, then frames and answers made here for what the lab cannot send
// (texts without NUL, every kind, broken frames, odd answers). Skipped without tshark.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CaptureFile.h"
#include "Frames.h"
#include "dialup/InfoAnswer.h"

using namespace velqorin;
using namespace velqorin::test;
namespace fs = std::filesystem;

namespace {

// ---- tshark and its PDML

std::optional<std::string> findTshark() {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/tshark";
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

std::string shellWord(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct PdmlField {
    std::string name, showname, show;
    std::size_t pos = 0, size = 0;
};

struct Packet {
    std::size_t number = 0;
    std::vector<PdmlField> fields;

    const PdmlField* get(const std::string& name) const {
        for (const PdmlField& f : fields)
            if (f.name == name) return &f;
        return nullptr;
    }
    std::string show(const std::string& name) const {
        const PdmlField* f = get(name);
        return f ? f->show : std::string();
    }
};

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t end = text.find(';', i);
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 2 && entity[0] == '#' && entity[1] == 'x')
            out += static_cast<char>(std::stoi(entity.substr(2), nullptr, 16));
        else if (entity.size() > 1 && entity[0] == '#')
            out += static_cast<char>(std::stoi(entity.substr(1)));
        else
            out += "&" + entity + ";";
        i = end;
    }
    return out;
}

std::string attribute(const std::string& line, const std::string& key) {
    const std::string open = " " + key + "=\"";
    const std::size_t start = line.find(open);
    if (start == std::string::npos) return {};
    const std::size_t from = start + open.size();
    return unescaped(line.substr(from, line.find('"', from) - from));
}

// tshark writes one element a line; only our fields and the few others the checks need.
std::vector<Packet> parsePdml(const std::string& xml) {
    std::vector<Packet> packets;
    std::istringstream lines(xml);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("<packet>") != std::string::npos) {
            packets.emplace_back();
            continue;
        }
        if (packets.empty() || line.find("<field ") == std::string::npos) continue;
        PdmlField f;
        f.name = attribute(line, "name");
        if (f.name == "frame.number") packets.back().number = std::stoul(attribute(line, "show"));
        if (f.name.rfind("velqorin", 0) != 0 && f.name != "tcp.srcport" && f.name != "tcp.dstport")
            continue;
        f.showname = attribute(line, "showname");
        f.show = attribute(line, "show");
        const std::string pos = attribute(line, "pos"), size = attribute(line, "size");
        f.pos = pos.empty() ? 0 : std::stoul(pos);
        f.size = size.empty() ? 0 : std::stoul(size);
        packets.back().fields.push_back(f);
    }
    return packets;
}

class Dissector : public ::testing::Test {
protected:
    void SetUp() override {
        program_ = findTshark();
        if (!program_) GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
        char folder[] = "/tmp/velqorin-dissector.XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        work_ = folder;
    }

    void TearDown() override {
        if (!work_.empty()) fs::remove_all(work_);
    }

    // The capture file decoded with the source tree's dissector. A home of its own keeps
    // the user's preferences and personal plugins out.
    std::vector<Packet> dissect(const fs::path& capture) {
        const fs::path out = work_ / "out.pdml", err = work_ / "err.txt";
        const std::string command =
            "HOME=" + shellWord(work_.string()) + " XDG_CONFIG_HOME=" + shellWord(work_.string()) + " " +
            shellWord(*program_) + " -n -r " + shellWord(capture.string()) + " -X lua_script:" +
            shellWord(VELQORIN_DISSECTOR) + " -T pdml >" + shellWord(out.string()) + " 2>" +
            shellWord(err.string());
        const int status = std::system(command.c_str());
        const std::string errors = fileText(err);
        EXPECT_EQ(status, 0) << command << "\n" << errors;
        // A Lua error loses the dissector; a copy installed in Wireshark's plugin folder
        // would then decode in its place, unnoticed.
        EXPECT_EQ(errors.find("Lua"), std::string::npos)
            << "tshark could not load " << VELQORIN_DISSECTOR << " (is another velqorin.lua "
            << "installed in Wireshark's plugin folders? tshark -G plugins):\n" << errors;
        return parsePdml(fileText(out));
    }

    fs::path work_;

private:
    std::optional<std::string> program_;
};

// ---- what the library makes of one record

std::string utf8OfLatin1(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t size) {
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, i == 0 ? "%02x" : ":%02x", bytes[i]);
        out += two;
    }
    return out;
}

const std::map<std::uint8_t, std::string> kKindNames = {
    {0, "request"},          {1, "reply"},   {2, "accepted"},
    {3, "apply network"},    {4, "apply and restart"},
    {5, "refused"},          {7, "apply synchronisation"},
    {8, "apply and synchronise"},
};

// The monitor's DHCP column, in English.
std::string dhcpShown(std::uint8_t mode) {
    switch (addressMode(mode)) {
        case AddressMode::Dhcp: return "yes";
        case AddressMode::AutoIp: return "Auto IP";
        case AddressMode::Rarp: return "RARP";
        case AddressMode::Fixed: break;
    }
    return "no";
}

std::string linkShown(LinkKind kind) {
    switch (kind) {
        case LinkKind::Usb: return "USB";
        case LinkKind::Serial: return "serial";
        case LinkKind::Network: break;
    }
    return "network";
}

// A field derived from bytes before the record's own (the Ethernet header).
constexpr std::size_t kNoRange = static_cast<std::size_t>(-1);

struct Wanted {
    std::string name;
    std::size_t offset, size;
    std::string show;
    std::string showname;  // empty: the label is not checked
};

#define AT(member) offsetof(TAnalyseBuffer, member), sizeof(TAnalyseBuffer::member)

std::vector<Wanted> wantedFields(const TAnalyseBuffer& r) {
    const auto u32 = [](const std::uint8_t(&f)[4]) { return std::to_string(loadLe<std::uint32_t>(f)); };
    const std::uint8_t kind = r.frameKind;
    const std::string serial = utf8OfLatin1(fieldText(r.serialNumber));
    const std::string challenge = utf8OfLatin1(fieldText(r.challenge));
    const std::uint32_t age = loadLe<std::uint32_t>(r.syncAge);
    const bool ageShown = loadLe<std::uint32_t>(r.syncFault) == 0 && loadLe<std::uint32_t>(r.syncDone) != 0;
    const std::string lamp = loadLe<std::uint32_t>(r.stateIconShown) == 0 ? "none"
                             : loadLe<std::uint32_t>(r.stateIconAlt) != 0 ? "blue"
                                                                          : "beige";
    char packed[16];
    std::snprintf(packed, sizeof packed, "0x%08x", loadLe<std::uint32_t>(r.softwareVersion));
    const auto kindName = kKindNames.find(kind);
    const std::string code = std::string(fieldText(r.challenge).substr(0, 10));

    std::vector<Wanted> w = {
        {"velqorin.magic", AT(magic), utf8OfLatin1(fieldText(r.magic)), ""},
        {"velqorin.reserved", AT(reserved), hexBytes(r.reserved, sizeof r.reserved), ""},
        {"velqorin.protocol_version", AT(protocolVersion), std::to_string(r.protocolVersion), ""},
        {"velqorin.kind", AT(frameKind), std::to_string(kind),
         kindName == kKindNames.end() ? "" : "Kind: " + kindName->second + " (" + std::to_string(kind) + ")"},
        {"velqorin.current_ip", AT(currentIp), ipText(r.currentIp), ""},
        {"velqorin.current_mask", AT(currentMask), ipText(r.currentMask), ""},
        {"velqorin.manual_ip", AT(manualIp), ipText(r.manualIp), ""},
        {"velqorin.manual_mask", AT(manualMask), ipText(r.manualMask), ""},
        {"velqorin.dhcp", AT(addressMode), std::to_string(r.addressMode),
         "DHCP: " + std::to_string(r.addressMode) + " (" + dhcpShown(r.addressMode) + ")"},
        {"velqorin.link_speed", AT(linkSpeed), std::to_string(r.linkSpeed), ""},
        {"velqorin.neighbourhood", AT(neighbourhood), std::to_string(r.neighbourhood),
         "Neighbourhood: " + std::to_string(r.neighbourhood) + (r.neighbourhood == 1 ? " (yes)" : " (no)")},
        {"velqorin.serial", AT(serialNumber), serial, ""},
        {"velqorin.credential", AT(credential), utf8OfLatin1(fieldText(r.credential)), ""},
        {"velqorin.token", AT(analyserToken), utf8OfLatin1(fieldText(r.analyserToken)), ""},
        {"velqorin.version", AT(softwareVersion), versionText(r), ""},
        {"velqorin.version_packed", AT(softwareVersion), packed, ""},
        {"velqorin.state_icon_shown", AT(stateIconShown), u32(r.stateIconShown), ""},
        {"velqorin.state_icon_alt", AT(stateIconAlt), u32(r.stateIconAlt), ""},
        {"velqorin.state_icon", offsetof(TAnalyseBuffer, stateIconShown), 8, lamp, ""},
        {"velqorin.sync_fault", AT(syncFault), u32(r.syncFault), ""},
        {"velqorin.sync_done", AT(syncDone), u32(r.syncDone), ""},
        {"velqorin.sync_age", AT(syncAge), std::to_string(age),
         "Last synchronisation, seconds ago: " + std::to_string(age) +
             (ageShown ? " (" + durationText(age) + ")" : " (not shown)")},
        {"velqorin.sync_slave", AT(syncSlave), u32(r.syncSlave), ""},
        {"velqorin.sync_floor", AT(syncFloor), std::to_string(loadLe<std::int32_t>(r.syncFloor)), ""},
        {"velqorin.sync_reserved", AT(syncReserved), u32(r.syncReserved), ""},
        {"velqorin.sync_master", AT(syncMaster), u32(r.syncMaster), ""},
        {"velqorin.box_data", AT(boxData), hexBytes(r.boxData, sizeof r.boxData), ""},
        {"velqorin.challenge", AT(challenge), challenge, ""},
        {"velqorin.support_code", offsetof(TAnalyseBuffer, challenge), std::max<std::size_t>(code.size(), 1),
         utf8OfLatin1(code), ""},
        {"velqorin.clear_password", AT(clearPassword), std::to_string(r.clearPassword), ""},
    };
    const auto from = static_cast<FrameKind>(kind);
    if (from == FrameKind::DiscoveryReply || from == FrameKind::CommandAccepted ||
        from == FrameKind::CommandRefused)
        w.push_back({"velqorin.link", kNoRange, 0, linkShown(linkKind(r)), ""});
    return w;
}

// Compares one dissected frame whose record is `length` bytes long (`r` holds its first
// 316, zero-padded); the capture's link header is `shift` bytes longer than Ethernet's.
void expectDissected(const Packet& p, const TAnalyseBuffer& r, std::size_t length, std::size_t shift) {
    for (const Wanted& w : wantedFields(r)) {
        SCOPED_TRACE(w.name);
        const PdmlField* f = p.get(w.name);
        // The synchronisation fields are shown as a group, or not at all.
        const bool group = w.name.rfind("velqorin.sync_", 0) == 0 || w.name.rfind("velqorin.state_icon", 0) == 0;
        const bool fits = (w.offset == kNoRange || w.offset + w.size <= length) &&
                          (!group || offsetof(TAnalyseBuffer, boxData) <= length);
        if (!fits) {
            EXPECT_EQ(f, nullptr) << "shown although the frame ends before it";
            continue;
        }
        ASSERT_NE(f, nullptr) << "missing";
        EXPECT_EQ(f->show, w.show);
        if (w.offset != kNoRange) {
            EXPECT_EQ(f->pos, w.offset + shift);
            EXPECT_EQ(f->size, w.size);
        }
        if (!w.showname.empty()) {
            EXPECT_EQ(f->showname, w.showname);
        }
    }

    // Warned exactly when the library's acceptance test would refuse the frame as a reply.
    TAnalyseBuffer request;
    buildDiscoveryRequest(request, "");
    const bool accepted = length == kFrameSize && sameProtocolBytes(request, frameBytes(r));
    const bool warned = p.get("velqorin.expert.length") || p.get("velqorin.expert.magic") ||
                        p.get("velqorin.expert.reserved") || p.get("velqorin.expert.protocol_version");
    EXPECT_EQ(warned, !accepted);
    EXPECT_EQ(p.get("velqorin.expert.length") != nullptr, length != kFrameSize);
    const auto* b = frameBytes(r);
    EXPECT_EQ(p.get("velqorin.expert.protocol_version") != nullptr, length > 44 && b[44] != 1);
    EXPECT_EQ(p.get("velqorin.expert.kind") != nullptr, length > 45 && !kKindNames.count(b[45]));
    EXPECT_EQ(p.get("velqorin.expert.unlock") != nullptr, length >= kFrameSize && r.clearPassword == 1);
    if (length > kFrameSize) {
        const PdmlField* trailing = p.get("velqorin.trailing");
        ASSERT_NE(trailing, nullptr);
        EXPECT_EQ(trailing->pos, kFrameSize + shift);
        EXPECT_EQ(trailing->size, length - kFrameSize);
    }
}

// Every frame of our EtherType in `capture`, dissected as the library reads it.
void expectFrames(const Capture& capture, const std::vector<Packet>& packets,
                  const std::vector<std::string>& names = {}) {
    // A Linux cooked header is 16 bytes where Ethernet's is 14.
    const std::size_t shift = capture.linkType == DLT_LINUX_SLL ? 2 : 0;
    std::size_t ours = 0;
    for (const CapturedFrame& frame : capture.frames) {
        TAnalyseBuffer r;
        std::size_t length = 0;
        if (!recordOf(capture, frame, r, length)) continue;
        ++ours;
        SCOPED_TRACE("frame " + std::to_string(frame.number) +
                     (names.size() >= frame.number ? ": " + names[frame.number - 1] : ""));
        ASSERT_GE(packets.size(), frame.number);
        const Packet& p = packets[frame.number - 1];
        ASSERT_EQ(p.number, frame.number);
        expectDissected(p, r, length, shift);
    }
    EXPECT_GT(ours, 0u);
}

// The info query and answer of every TCP exchange, as the library reads the answer.
void expectExchanges(const Capture& capture, const std::vector<Packet>& packets,
                     const std::vector<std::string>& names = {}) {
    const auto exchanges = tcpExchanges(capture, kInfoPort);
    ASSERT_FALSE(exchanges.empty());
    for (std::size_t i = 0; i < exchanges.size(); ++i) {
        const TcpExchange& x = exchanges[i];
        SCOPED_TRACE("exchange " + std::to_string(i) + (i < names.size() ? ": " + names[i] : ""));
        const std::string port = std::to_string(x.clientPort);
        const Packet* query = nullptr;
        const Packet* answer = nullptr;
        for (const Packet& p : packets) {
            if (p.get("velqorin_info.query") && p.show("tcp.srcport") == port) query = &p;
            if (p.get("velqorin_info.box") && !p.get("velqorin_info.query") && p.show("tcp.dstport") == port)
                answer = &p;
        }
        ASSERT_NE(query, nullptr) << "query not dissected";
        EXPECT_EQ(query->show("velqorin_info.query"), utf8OfLatin1(x.toServer));
        EXPECT_EQ(query->show("velqorin_info.box"), ipText(x.server.data()));
        EXPECT_EQ(query->get("velqorin_info.expert.query") != nullptr, x.toServer != kInfoRequest);

        ASSERT_NE(answer, nullptr) << "answer not dissected";
        EXPECT_EQ(answer->show("velqorin_info.box"), ipText(x.server.data()));
        // The monitor reads no more than this of an answer.
        const auto parsed = parseInfoAnswer(std::string_view(x.toClient).substr(0, kInfoAnswerLimit));
        EXPECT_EQ(answer->get("velqorin_info.expert.no_box") != nullptr, !parsed);
        if (!parsed) {
            EXPECT_EQ(answer->get("velqorin_info.serial"), nullptr);
            continue;
        }
        const TAnalyseBuffer record = dialUpRecord(*parsed, x.server);
        EXPECT_EQ(answer->show("velqorin_info.serial"), utf8OfLatin1(parsed->serial));
        EXPECT_EQ(answer->show("velqorin_info.mac"), macText(parsed->mac.data()));
        EXPECT_EQ(answer->show("velqorin_info.listed_mac"), macText(record.sourceMac));
        EXPECT_EQ(answer->show("velqorin_info.version"), versionText(record));
        EXPECT_EQ(answer->get("velqorin_info.expert.serial_cut") != nullptr,
                  parsed->serial.size() > sizeof record.serialNumber - 1);
    }
}

// ---- the capture files

class DissectedCapture : public Dissector, public ::testing::WithParamInterface<const char*> {};

TEST_P(DissectedCapture, AsTheLibraryReadsIt) {
    const fs::path path = fs::path(VELQORIN_CAPTURES) / GetParam();
    const Capture capture = readCapture(path.string());
    const auto packets = dissect(path);
    ASSERT_EQ(packets.size(), capture.frames.size());
    if (std::string(GetParam()) == "dial-up.pcap") {
        expectExchanges(capture, packets);
    } else {
        expectFrames(capture, packets);
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, DissectedCapture,
                         ::testing::Values("sweep.pcap", "commands.pcap", "malformed.pcap", "dial-up.pcap"),
                         [](const auto& test) {
                             std::string name;
                             for (const char* c = test.param; *c != '.'; ++c)
                                 if (*c != '-') name += *c;
                             return name;
                         });

// ---- frames made here

TAnalyseBuffer baseReply() {
    TAnalyseBuffer r = makeReply("2555", "0123456789:;<=>?@ABCDEFGHIJ",
                                 {0x02, 0x00, 0x00, 0xAA, 0x00, 0x00},
                                 {0x02, 0x00, 0x00, 0x10, 0x25, 0x55});
    const std::uint8_t ip[] = {192, 0, 2, 55}, mask[] = {255, 255, 255, 0}, manual[] = {198, 51, 100, 7};
    std::memcpy(r.currentIp, ip, 4);
    std::memcpy(r.currentMask, mask, 4);
    std::memcpy(r.manualIp, manual, 4);
    std::memcpy(r.manualMask, mask, 4);
    r.neighbourhood = 1;
    storeLe(r.softwareVersion, packVersion({2, 5, 17}));
    storeLe<std::uint32_t>(r.stateIconShown, 1);
    storeLe<std::uint32_t>(r.syncDone, 1);
    storeLe<std::uint32_t>(r.syncAge, 3725);
    storeLe<std::uint32_t>(r.syncSlave, 1);
    storeLe<std::int32_t>(r.syncFloor, -2);
    storeLe<std::uint32_t>(r.syncMaster, 2550);
    for (std::size_t i = 0; i < sizeof r.boxData; ++i) r.boxData[i] = static_cast<std::uint8_t>(i * 7);
    setFieldText(r.challenge, "k7Q2mZ9xLp4wR1tB");
    return r;
}

template <std::size_t N>
void fill(char (&field)[N], std::string_view bytes) {
    std::memset(field, 0, N);
    std::memcpy(field, bytes.data(), std::min(bytes.size(), N));
}

struct Made {
    std::string name;
    std::function<void(TAnalyseBuffer&)> change;
    std::size_t length = kFrameSize;
};

std::vector<Made> madeFrames() {
    using R = TAnalyseBuffer;
    std::vector<Made> made = {
        {"as a box sends it", [](R&) {}},
        {"texts filling their fields, no NUL",
         [](R& r) {
             fill(r.serialNumber, "12345678901234567890");
             fill(r.credential, std::string(50, 'c'));
             fill(r.analyserToken, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
             fill(r.challenge, "Support-Code-and-more-29-chars");
         }},
        {"bytes after the NUL",
         [](R& r) {
             fill(r.serialNumber, std::string("123\0junk", 8));
             fill(r.credential, std::string("x\0yz", 4));
             fill(r.challenge, std::string("ab\0cdefghijkl", 13));
         }},
        {"8-bit characters",
         [](R& r) {
             fill(r.serialNumber, "S\xe9" "12");
             fill(r.credential, "mot de passe \xe0 l'\xe9" "cole & <co>");
             fill(r.challenge, "\xc5ngstr\xf6m-\"9\"-\xff\xfe");
         }},
        {"empty texts",
         [](R& r) {
             fill(r.serialNumber, "");
             fill(r.analyserToken, "");
             fill(r.challenge, "");
         }},
        {"no version", [](R& r) { storeLe<std::uint32_t>(r.softwareVersion, 0); }},
        {"widest version", [](R& r) { storeLe<std::uint32_t>(r.softwareVersion, 0xFFFFFFFFu); }},
        {"sync extremes",
         [](R& r) {
             storeLe<std::int32_t>(r.syncFloor, INT32_MIN);
             storeLe<std::uint32_t>(r.syncAge, 0xFFFFFFFFu);
             storeLe<std::uint32_t>(r.syncMaster, 0xFFFFFFFFu);
             storeLe<std::uint32_t>(r.stateIconShown, 5);
             storeLe<std::uint32_t>(r.stateIconAlt, 0);
             storeLe<std::uint32_t>(r.syncReserved, 9);
         }},
        {"sync fault hides the age",
         [](R& r) {
             storeLe<std::uint32_t>(r.syncFault, 1);
             storeLe<std::uint32_t>(r.stateIconShown, 0);
             storeLe<std::uint32_t>(r.stateIconAlt, 3);
         }},
        {"never synchronised", [](R& r) { storeLe<std::uint32_t>(r.syncDone, 0); }},
        {"unlock", [](R& r) {
             r.frameKind = static_cast<std::uint8_t>(FrameKind::ApplyNetwork);
             r.clearPassword = 1;
             fill(r.credential, "UNLOCK-2555");
         }},
        {"clear password on a synchronisation command", [](R& r) {
             r.frameKind = static_cast<std::uint8_t>(FrameKind::ApplySynchro);
             r.clearPassword = 1;
         }},
        {"magic in lower case", [](R& r) { fill(r.magic, std::string("velqorin\0", 9)); }},
        {"magic without its NUL", [](R& r) { fill(r.magic, "Velqorin!"); }},
        {"first reserved byte", [](R& r) { r.reserved[0] = 0xFF; }},
        {"last reserved byte", [](R& r) { r.reserved[20] = 1; }},
        {"protocol version 2", [](R& r) { r.protocolVersion = 2; }},
        {"shortest Ethernet frame", [](R&) {}, 60},
        {"ends before the challenge", [](R&) {}, 285},
        {"one byte short", [](R&) {}, 315},
        {"one byte over", [](R&) {}, 317},
        {"much longer", [](R&) {}, 400},
    };
    for (int mode : {0, 1, 2, 3, 4, 255})
        made.push_back({"address mode " + std::to_string(mode),
                        [mode](R& r) { r.addressMode = static_cast<std::uint8_t>(mode); }});
    for (int value : {0, 2})
        made.push_back({"neighbourhood " + std::to_string(value),
                        [value](R& r) { r.neighbourhood = static_cast<std::uint8_t>(value); }});
    for (int kind : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 255})
        made.push_back({"kind " + std::to_string(kind),
                        [kind](R& r) { r.frameKind = static_cast<std::uint8_t>(kind); }});
    // The fourth octet of the box's MAC tells the link; USB is tested first.
    for (int octet : {0x04, 0x08, 0x0C, 0xF3})
        for (FrameKind kind : {FrameKind::DiscoveryReply, FrameKind::CommandAccepted, FrameKind::CommandRefused})
            made.push_back({"MAC octet " + std::to_string(octet) + ", kind " + std::to_string(static_cast<int>(kind)),
                            [octet, kind](R& r) {
                                r.sourceMac[3] = static_cast<std::uint8_t>(octet);
                                r.frameKind = static_cast<std::uint8_t>(kind);
                            }});
    return made;
}

// The same frames as captured on an Ethernet interface and on "any" (Linux cooked).
TEST_F(Dissector, MadeFramesAreDissectedAsTheLibraryReadsThem) {
    for (const int linkType : {DLT_EN10MB, DLT_LINUX_SLL}) {
        SCOPED_TRACE(pcap_datalink_val_to_name(linkType));
        std::vector<std::vector<std::uint8_t>> frames;
        std::vector<std::string> names;
        for (const Made& m : madeFrames()) {
            TAnalyseBuffer r = baseReply();
            m.change(r);
            std::vector<std::uint8_t> bytes(frameBytes(r), frameBytes(r) + kFrameSize);
            bytes.resize(m.length, 0xA5);
            frames.push_back(linkType == DLT_EN10MB ? bytes : cookedFrame(r, m.length));
            names.push_back(m.name);
        }
        const fs::path path = work_ / "made.pcap";
        writeCapture(path.string(), linkType, frames);
        const auto packets = dissect(path);
        ASSERT_EQ(packets.size(), frames.size());
        expectFrames(readCapture(path.string()), packets, names);
    }
}

// ---- info answers made here

std::vector<std::uint8_t> segment(std::uint16_t from, std::uint16_t to, std::uint32_t sequence,
                                  std::uint32_t acknowledged, const std::string& payload) {
    const std::uint8_t client[] = {203, 0, 113, 129}, box[] = {203, 0, 113, 130};
    const bool toBox = to == kInfoPort;
    std::vector<std::uint8_t> p(40 + payload.size(), 0);
    const std::size_t total = p.size();
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(total >> 8);
    p[3] = static_cast<std::uint8_t>(total);
    p[8] = 64;
    p[9] = 6;  // TCP
    std::memcpy(&p[12], toBox ? client : box, 4);
    std::memcpy(&p[16], toBox ? box : client, 4);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 20; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    p[10] = static_cast<std::uint8_t>(~sum >> 8);
    p[11] = static_cast<std::uint8_t>(~sum);
    std::uint8_t* t = &p[20];
    const auto put16 = [](std::uint8_t* at, std::uint16_t v) { at[0] = static_cast<std::uint8_t>(v >> 8); at[1] = static_cast<std::uint8_t>(v); };
    const auto put32 = [&](std::uint8_t* at, std::uint32_t v) { put16(at, static_cast<std::uint16_t>(v >> 16)); put16(at + 2, static_cast<std::uint16_t>(v)); };
    put16(t, from);
    put16(t + 2, to);
    put32(t + 4, sequence);
    put32(t + 8, acknowledged);
    t[12] = 5 << 4;
    t[13] = 0x18;  // PSH, ACK
    put16(t + 14, 65535);
    std::memcpy(t + 20, payload.data(), payload.size());
    return p;
}

std::string withNul(const std::string& before, const std::string& after) {
    return before + '\0' + after;
}

std::string answerText(const std::string& mac, const std::string& serial, const std::string& software) {
    return "<?xml version=\"1.0\"?><velqorin><mac-address>" + mac + "</mac-address><serial>" + serial +
           "</serial><software>" + software + "</software></velqorin>";
}

TEST_F(Dissector, MadeInfoAnswersAreDissectedAsTheLibraryReadsThem) {
    const std::string query(kInfoRequest);
    struct Case {
        std::string name, query, answer;
    };
    const std::vector<Case> cases = {
        {"a plain answer", query, answerText("02:00:00:12:34:56", "4711", "2.5 build 17")},
        {"blanks and one-digit octets", query, answerText(" 2:0:0:12:34:56", "77", " 2.5   build  17")},
        {"upper-case MAC already on a serial link", query, answerText("02:00:00:1A:34:5F", "78", "1.001 build 5")},
        {"MAC cut short", query, answerText("02:00:zz", "79", "3.020 build 1000")},
        {"software that is no version", query, answerText("02:00:00:12:34:56", "80", "x")},
        {"negative and wide numbers", query, answerText("02:00:00:12:34:56", "81", "-1.5 build 99999999999")},
        {"minor wider than three digits", query, answerText("02:00:00:12:34:56", "82", "7.12345 build 9")},
        {"serial longer than listed", query, answerText("02:00:00:12:34:56", "1234567890123456789012345", "2.5 build 17")},
        {"8-bit serial", query, answerText("02:00:00:12:34:56", "S\xe9rie-\xff", "2.5 build 17")},
        {"empty values", query, answerText("", "", "")},
        {"tags before the root", query,
         "<serial>1</serial><velqorin><mac-address>02:00:00:12:34:56</mac-address><serial>83</serial>"
         "<software>2.5 build 17</software>"},
        {"NUL before the last tag", query,
         withNul("<velqorin><mac-address>02:00:00:12:34:56</mac-address><serial>84</serial>"
                 "<software>2.5 build 17", "</software>")},
        {"no root, ended by a NUL", query,
         withNul("<mac-address>02:00:00:12:34:56</mac-address><serial>85</serial>"
                 "<software>2.5</software>", "")},
        {"answer beyond what the monitor reads", query,
         std::string(kInfoAnswerLimit, 'x') + answerText("02:00:00:12:34:56", "86", "2.5 build 17")},
        {"answer within what the monitor reads, then more", query,
         answerText("02:00:00:12:34:56", "87", "2.5 build 17") + std::string(kInfoAnswerLimit, 'y')},
        {"another query", "<velqorin><read-info/></velqorin>", answerText("02:00:00:12:34:56", "88", "2.5 build 17")},
    };
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto port = static_cast<std::uint16_t>(40000 + i);
        packets.push_back(segment(port, kInfoPort, 1000, 5000, cases[i].query));
        packets.push_back(segment(kInfoPort, port, 5000, 1000 + static_cast<std::uint32_t>(cases[i].query.size()),
                                  cases[i].answer));
        names.push_back(cases[i].name);
    }
    const fs::path path = work_ / "answers.pcap";
    writeCapture(path.string(), DLT_RAW, packets);
    const auto dissected = dissect(path);
    ASSERT_EQ(dissected.size(), packets.size());
    expectExchanges(readCapture(path.string()), dissected, names);
}

}  // namespace
