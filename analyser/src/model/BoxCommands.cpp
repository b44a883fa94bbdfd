#include <openssl/crypto.h>

#include <cstring>
#include <optional>
#include <string_view>

#include "link/Link.h"
#include "model/BoxIndex.h"
#include "model/CommandFrame.h"
#include "model/Response.h"
#include "velqorin/Address.h"
#include "velqorin/BoxOnNetwork.h"

namespace velqorin {
namespace {

constexpr std::size_t kNetworkPasswordMax = kPasswordMax;
constexpr std::size_t kSynchroPasswordMax = kSyncPasswordMax;

void keepPassword(CVelqorinBoxOnNetwork& box, const char* text, std::size_t max) {
    const std::size_t n = text ? strnlen(text, max) : 0;
    std::memcpy(box.password, text ? text : "", n);
    std::memset(box.password + n, 0, sizeof box.password - n);
}

void copyAddress(std::uint8_t (&field)[4], const sockaddr_storage& address) {
    // bytes 4 to 7 of an IPv4 socket address, whatever its family field says
    std::memcpy(field, blockAddress(address), 4);
}

CommandCode networkCode(bool restart, bool clearPassword = false) {
    return {static_cast<unsigned char>(restart ? FrameKind::ApplyNetworkAndRestart : FrameKind::ApplyNetwork),
            clearPassword};
}

}  // namespace

CommandCode writeNetwork(CVelqorinBoxOnNetwork& box, const char* password, bool dhcp,
                         const sockaddr_storage& address, const sockaddr_storage& mask,
                         bool neighbourhood, bool restart) {
    TAnalyseBuffer& r = box.storedRecord;
    r.addressMode = dhcp ? 1 : 0;
    copyAddress(r.manualIp, address);
    copyAddress(r.manualMask, mask);
    keepPassword(box, password, kNetworkPasswordMax);
    r.neighbourhood = neighbourhood ? 1 : 0;
    return networkCode(restart);
}

CommandCode writeNetworkSpeed(CVelqorinBoxOnNetwork& box, const char* password,
                              T_INI_VITESSE_RESEAU speed, bool restart) {
    keepPassword(box, password, kNetworkPasswordMax);
    box.storedRecord.linkSpeed = static_cast<std::uint8_t>(speed);
    return networkCode(restart);
}

CommandCode writeSynchro(CVelqorinBoxOnNetwork& box, const char* password, bool masterMode,
                         unsigned int master, int floor, bool syncNow) {
    TAnalyseBuffer& r = box.storedRecord;
    keepPassword(box, password, kSynchroPasswordMax);
    storeLe<std::uint32_t>(r.syncSlave, masterMode ? 0u : 1u);
    storeLe<std::int32_t>(r.syncFloor, floor);
    storeLe<std::uint32_t>(r.syncReserved, 0u);
    storeLe<std::uint32_t>(r.syncMaster, master);
    return {static_cast<unsigned char>(syncNow ? FrameKind::ApplySynchroAndSynchronise : FrameKind::ApplySynchro),
            false};
}

CommandCode writeUnlock(CVelqorinBoxOnNetwork& box, const char* unlockCode) {
    keepPassword(box, unlockCode, kNetworkPasswordMax);
    return networkCode(false, true);
}

bool buildCommand(const CVelqorinBoxOnNetwork& box, CommandCode code, TAnalyseBuffer& command) {
    command = box.storedRecord;
    std::memcpy(command.destinationMac, box.storedRecord.sourceMac, kMacSize);
    std::memcpy(command.sourceMac, box.storedRecord.destinationMac, kMacSize);
    command.frameKind = code.code;
    const std::string_view secret(box.password, strnlen(box.password, kNetworkPasswordMax));
    if (code.clearPassword) {
        command.clearPassword = 1;
        setFieldText(command.credential, secret);
        return true;
    }
    command.clearPassword = 0;
    // The bytes after the response's NUL go out as stored.
    return makeResponse(box.password, box.storedRecord.challenge, command.credential) != nullptr;
}

void wipeSecrets(CVelqorinBoxOnNetwork& box, TAnalyseBuffer& command) {
    OPENSSL_cleanse(box.password, sizeof box.password);
    OPENSSL_cleanse(command.credential, sizeof command.credential);
}

std::optional<int> takeAnswer(CVelqorinBoxOnNetwork& box, const TAnalyseBuffer& command,
                              const std::uint8_t* frame, std::size_t capturedLength) {
    if (!isCommandAnswer(command, frame, capturedLength)) return std::nullopt;
    std::memcpy(&box.storedRecord, frame, kFrameSize);
    noteRecordRewritten(box);
    return static_cast<FrameKind>(box.storedRecord.frameKind) == FrameKind::CommandAccepted ? kCommandAccepted
                                                                                            : kCommandRefused;
}

}  // namespace velqorin

using namespace velqorin;

int CVelqorinBoxOnNetwork::ConfigNetwork(const char* pass, bool dhcp, sockaddr_storage address,
                                         sockaddr_storage mask, bool neighbourhood, bool restart) {
    const CommandCode c = writeNetwork(*this, pass, dhcp, address, mask, neighbourhood, restart);
    return Send(c.code, c.clearPassword);
}

int CVelqorinBoxOnNetwork::ConfigNetworkSpeed(const char* pass, T_INI_VITESSE_RESEAU speed,
                                              bool restart) {
    const CommandCode c = writeNetworkSpeed(*this, pass, speed, restart);
    return Send(c.code, c.clearPassword);
}

int CVelqorinBoxOnNetwork::ConfigSynchro(const char* pass, bool masterMode, unsigned int master,
                                         int floor, bool syncNow) {
    const CommandCode c = writeSynchro(*this, pass, masterMode, master, floor, syncNow);
    return Send(c.code, c.clearPassword);
}

int CVelqorinBoxOnNetwork::EffacerMdp(const char* unlockCode) {
    const CommandCode c = writeUnlock(*this, unlockCode);
    return Send(c.code, c.clearPassword);
}

int CVelqorinBoxOnNetwork::Send(bool restart, bool clearPassword) {
    const CommandCode c = networkCode(restart, clearPassword);
    return Send(c.code, c.clearPassword);
}

namespace {

// The password, and a command frame that carries its response or an unlock code in clear,
// are wiped from memory as soon as the command is out, whatever became of it.
class Wiped {
public:
    Wiped(CVelqorinBoxOnNetwork& box, TAnalyseBuffer& command) : box_(box), command_(command) {}
    ~Wiped() { wipeSecrets(box_, command_); }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;

private:
    CVelqorinBoxOnNetwork& box_;
    TAnalyseBuffer& command_;
};

}  // namespace

int CVelqorinBoxOnNetwork::Send(unsigned char code, bool clearPassword) {
    TAnalyseBuffer command;
    std::optional<Wiped> wiped(std::in_place, *this, command);
    if (!buildCommand(*this, {code, clearPassword}, command)) return kCommandNoAnswer;

    AdapterSlot slot;
    if (!LinkOpen(slot, adapterName)) return kCommandNoAnswer;
    const bool sent = LinkSend(slot, command);
    wiped.reset();
    if (!sent) return kCommandNoAnswer;

    Clock& clock = currentClock();
    clock.pause(kCommandPause);
    const std::time_t start = clock.seconds();
    std::optional<int> result;
    while (!result) {
        LinkReceive(slot, [&](const std::uint8_t* frame, std::size_t length) {
            result = takeAnswer(*this, command, frame, length);
            return !result;
        });
        if (!result && clock.seconds() - start > kAnswerWindowSeconds) break;
    }
    LinkClose(slot);
    return result.value_or(kCommandNoAnswer);
}
