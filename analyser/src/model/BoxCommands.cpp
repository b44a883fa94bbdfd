#include <openssl/crypto.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>

#include "model/BoxIndex.h"
#include "velqorin/Address.h"
#include "link/Link.h"
#include "model/Response.h"
#include "velqorin/BoxOnNetwork.h"

using namespace std::chrono_literals;

namespace velqorin {
namespace {

constexpr std::size_t kNetworkPasswordMax = kPasswordMax;
constexpr std::size_t kSynchroPasswordMax = kSyncPasswordMax;
// The answer window is measured like the sweep's: whole seconds, checked after each batch.
constexpr std::time_t kAnswerWindowSeconds = 2;

void keepPassword(CVelqorinBoxOnNetwork& box, const char* text, std::size_t max) {
    const std::size_t n = text ? strnlen(text, max) : 0;
    std::memcpy(box.password, text ? text : "", n);
    std::memset(box.password + n, 0, sizeof box.password - n);
}

void copyAddress(std::uint8_t (&field)[4], const sockaddr_storage& address) {
    // bytes 4 to 7 of an IPv4 socket address, whatever its family field says
    std::memcpy(field, blockAddress(address), 4);
}

}  // namespace
}  // namespace velqorin

using namespace velqorin;

int CVelqorinBoxOnNetwork::ConfigNetwork(const char* pass, bool dhcp, sockaddr_storage address,
                                         sockaddr_storage mask, bool neighbourhood, bool restart) {
    storedRecord.addressMode = dhcp ? 1 : 0;
    copyAddress(storedRecord.manualIp, address);
    copyAddress(storedRecord.manualMask, mask);
    keepPassword(*this, pass, kNetworkPasswordMax);
    storedRecord.neighbourhood = neighbourhood ? 1 : 0;
    return Send(restart, false);
}

int CVelqorinBoxOnNetwork::ConfigNetworkSpeed(const char* pass, T_INI_VITESSE_RESEAU speed,
                                              bool restart) {
    keepPassword(*this, pass, kNetworkPasswordMax);
    storedRecord.linkSpeed = static_cast<std::uint8_t>(speed);
    return Send(restart, false);
}

int CVelqorinBoxOnNetwork::ConfigSynchro(const char* pass, bool masterMode, unsigned int master,
                                         int floor, bool syncNow) {
    keepPassword(*this, pass, kSynchroPasswordMax);
    storeLe<std::uint32_t>(storedRecord.syncSlave, masterMode ? 0u : 1u);
    storeLe<std::int32_t>(storedRecord.syncFloor, floor);
    storeLe<std::uint32_t>(storedRecord.syncReserved, 0u);
    storeLe<std::uint32_t>(storedRecord.syncMaster, master);
    return Send(static_cast<unsigned char>(syncNow ? FrameKind::ApplySynchroAndSynchronise
                                                   : FrameKind::ApplySynchro),
                false);
}

int CVelqorinBoxOnNetwork::EffacerMdp(const char* unlockCode) {
    keepPassword(*this, unlockCode, kNetworkPasswordMax);
    return Send(false, true);
}

int CVelqorinBoxOnNetwork::Send(bool restart, bool clearPassword) {
    return Send(static_cast<unsigned char>(restart ? FrameKind::ApplyNetworkAndRestart
                                                   : FrameKind::ApplyNetwork),
                clearPassword);
}

namespace {

// The password, and a command frame that carries its response or an unlock code in clear,
// are wiped from memory as soon as the command is out, whatever became of it.
class Wiped {
public:
    Wiped(char* password, std::size_t passwordSize, TAnalyseBuffer& command)
        : password_(password), passwordSize_(passwordSize), command_(command) {}
    ~Wiped() {
        OPENSSL_cleanse(password_, passwordSize_);
        OPENSSL_cleanse(command_.credential, sizeof command_.credential);
    }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;

private:
    char* password_;
    std::size_t passwordSize_;
    TAnalyseBuffer& command_;
};

}  // namespace

int CVelqorinBoxOnNetwork::Send(unsigned char code, bool clearPassword) {
    TAnalyseBuffer command = storedRecord;
    std::optional<Wiped> wiped(std::in_place, password, sizeof password, command);
    std::memcpy(command.destinationMac, storedRecord.sourceMac, kMacSize);
    std::memcpy(command.sourceMac, storedRecord.destinationMac, kMacSize);
    command.frameKind = code;
    const std::string_view secret(password, strnlen(password, kNetworkPasswordMax));
    if (clearPassword) {
        command.clearPassword = 1;
        setFieldText(command.credential, secret);
    } else {
        command.clearPassword = 0;
        // The bytes after the response's NUL go out as stored.
        if (makeResponse(password, storedRecord.challenge, command.credential) == nullptr)
            return kCommandNoAnswer;
    }

    AdapterSlot slot;
    if (!LinkOpen(slot, adapterName)) return kCommandNoAnswer;
    const bool sent = LinkSend(slot, command);
    wiped.reset();
    if (!sent) return kCommandNoAnswer;

    Clock& clock = currentClock();
    clock.pause(100ms);
    const std::time_t start = clock.seconds();
    int result = kCommandNoAnswer;
    bool answered = false;
    while (!answered) {
        LinkReceive(slot, [&](const std::uint8_t* frame, std::size_t length) {
            if (!isCommandAnswer(command, frame, length)) return true;
            std::memcpy(&storedRecord, frame, kFrameSize);
            noteRecordRewritten(*this);
            result = static_cast<FrameKind>(storedRecord.frameKind) == FrameKind::CommandAccepted
                         ? kCommandAccepted
                         : kCommandRefused;
            answered = true;
            return false;
        });
        if (!answered && clock.seconds() - start > kAnswerWindowSeconds) break;
    }
    LinkClose(slot);
    return result;
}
