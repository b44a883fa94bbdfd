// What the windows ask of the world outside the process: the sweep, the capture check,
// the ping, the box commands, starting a browser. The windows call through this one
// table so that the tests can put a box list of their own behind the real windows.
// The sweep, the ping and the commands are called on the exchange's thread (Exchange.h).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <utility>

#include <QString>
#include <QUrl>

#include "velqorin/NetworkAnalyse.h"

namespace velqorin::monitor {

// Whom the refresh's sweep tells as it goes, and asks whether to stop: the Ethernet
// sweep and the dial-up pass each their own (either may be null).
struct SweepObservers {
    const CVelqorinNetworkAnalyse::SweepObserver* ethernet = nullptr;
    const CVelqorinNetworkAnalyse::SweepObserver* dialUp = nullptr;
};

struct Services {
    // The refresh's sweep: Ethernet, plus the dial-up pass when `withDialUp`.
    std::function<bool(CVelqorinNetworkAnalyse&, bool withDialUp, const SweepObservers&)> sweep;
    // The start-up check: CheckVersion, then CheckService.
    std::function<bool(CVelqorinNetworkAnalyse&)> captureCheck;
    // Why raw access failed: a CVelqorinNetworkAnalyse::RawAccess value and the library's
    // text (English) of what to do.
    std::function<std::pair<int, QString>()> rawAccessProblem;
    // True when the address answered one echo.
    std::function<bool(const sockaddr_storage&)> ping;
    std::function<int(CVelqorinBoxOnNetwork&, const char* password, bool dhcp,
                      sockaddr_storage address, sockaddr_storage mask, bool neighbourhood,
                      bool restart)>
        configNetwork;
    std::function<int(CVelqorinBoxOnNetwork&, const char* unlockCode)> effacerMdp;
    std::function<int(CVelqorinBoxOnNetwork&, const char* password, bool masterMode,
                      unsigned int master, int floor, bool syncNow)>
        configSynchro;
    // The browser registration before reduction: $BROWSER.
    std::function<QString()> browserRegistration;
    std::function<void(const QString& program, const QString& url)> startBrowser;
    std::function<void(const QUrl&)> openWithDesktop;
};

// The process's table, filled with the real operations until someone replaces them.
Services& services();
// Puts the real operations back.
void resetServices();

}  // namespace velqorin::monitor
