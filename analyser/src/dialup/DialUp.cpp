// Boxes behind the workstation's dial-up links: found by asking each link's far end over
// TCP, and listed with the boxes of the LAN.
#include <arpa/inet.h>

#include <cstring>
#include <exception>

#include "host/HostNetwork.h"
#include "dialup/InfoAnswer.h"
#include "dialup/InfoQuery.h"
#include "velqorin/NetworkAnalyse.h"

using namespace velqorin;

namespace {

void askAndList(CVelqorinNetworkAnalyse& analyser, const char* address, const StopCheck& stopped) {
    char text[INET_ADDRSTRLEN] = {};
    const std::size_t length = strnlen(address, sizeof text);
    if (length == sizeof text) return;  // longer than any dotted address
    std::memcpy(text, address, length);
    std::array<std::uint8_t, 4> remote{};
    if (inet_pton(AF_INET, text, remote.data()) != 1) return;

    const auto received = fetchInfoAnswer(remote, infoQueryLimits(), stopped);
    if (!received) return;
    const auto answer = parseInfoAnswer(*received);
    if (!answer) return;
    const TAnalyseBuffer record = dialUpRecord(*answer, remote);
    analyser.AddBox(&record, kDialUpAdapterName);
}

// Asks the box at `address` and lists it on the dial-up adapter; a stop ends the
// exchange early, as if the box had not answered in time.
void listDialUpBox(CVelqorinNetworkAnalyse& analyser, const char* address,
                   const StopCheck& stopped) noexcept {
    try {
        askAndList(analyser, address, stopped);
    } catch (const std::exception&) {
        // Out of memory: no box, as for a box that did not answer.
    }
}

}  // namespace

bool CVelqorinNetworkAnalyse::Analyse(bool withDialUp) {
    const bool swept = Analyse();
    if (!withDialUp) return swept;
    const bool dialled = Analyse_Ras();
    return swept && dialled;
}

bool CVelqorinNetworkAnalyse::Analyse_Ras() { return Analyse_Ras(nullptr); }

bool CVelqorinNetworkAnalyse::Analyse_Ras(const SweepObserver* observer) {
    try {
        const auto links = hostNetwork().pointToPointLinks();
        if (!links) return false;
        StopCheck stop;
        if (observer != nullptr && observer->stopRequested != nullptr)
            stop = [observer] { return observer->stopRequested(observer->context); };
        // Every link is asked, however many there are.
        const int count = static_cast<int>(links->size());
        for (int index = 0; index < count && !(stop && stop()); ++index) {
            const PointToPointLink& link = (*links)[static_cast<std::size_t>(index)];
            if (observer != nullptr && observer->adapter != nullptr)
                observer->adapter(observer->context, link.name.c_str(), index, count);
            listDialUpBox(*this, ipText(link.remote.data()).c_str(), stop);
        }
        return true;
    } catch (const std::exception&) {
        return false;  // out of memory: whatever was added stays listed
    }
}

bool CVelqorinNetworkAnalyse::RecupVelqorinInfo(CVelqorinNetworkAnalyse* analyser,
                                                const char* address) {
    if (analyser != nullptr && address != nullptr) listDialUpBox(*analyser, address, {});
    return true;
}
