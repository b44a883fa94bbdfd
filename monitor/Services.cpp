#include "Services.h"

#include <cstdlib>

#include <QDesktopServices>
#include <QProcess>

#include "Reinit.h"
#include "velqorin/Extern.h"

namespace velqorin::monitor {

namespace {

bool realSweep(CVelqorinNetworkAnalyse& analyser, bool withDialUp, const SweepObservers& observers) {
    const bool swept = oneAdapterAtATime()
                           ? analyser.AnalyseAdapters(nullptr, 0, observers.ethernet)
                           : analyser.AnalyseConcurrently(nullptr, 0, observers.ethernet,
                                                          discoveryRequests());
    if (!withDialUp) return swept;
    const bool dialled = analyser.Analyse_Ras(observers.dialUp);
    return swept && dialled;
}

Services realServices() {
    Services s;
    s.sweep = realSweep;
    s.captureCheck = [](CVelqorinNetworkAnalyse& analyser) {
        return analyser.CheckVersion() && analyser.CheckService();
    };
    s.rawAccessProblem = [] {
        char why[1000] = "";
        const int problem = CVelqorinNetworkAnalyse::RawAccessProblem(why, sizeof why);
        return std::pair<int, QString>(problem, QString::fromUtf8(why));
    };
    s.ping = [](const sockaddr_storage& address) { return ExternPingEx(address); };
    s.configNetwork = [](CVelqorinBoxOnNetwork& box, const char* password, bool dhcp,
                         sockaddr_storage address, sockaddr_storage mask, bool neighbourhood,
                         bool restart) {
        return box.ConfigNetwork(password, dhcp, address, mask, neighbourhood, restart);
    };
    s.effacerMdp = [](CVelqorinBoxOnNetwork& box, const char* code) { return box.EffacerMdp(code); };
    s.configSynchro = [](CVelqorinBoxOnNetwork& box, const char* password, bool masterMode,
                         unsigned int master, int floor, bool syncNow) {
        return box.ConfigSynchro(password, masterMode, master, floor, syncNow);
    };
    s.browserRegistration = [] { return QString::fromLocal8Bit(qgetenv("BROWSER")); };
    s.startBrowser = [](const QString& program, const QString& url) {
        QProcess::startDetached(program, {url});
    };
    s.openWithDesktop = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return s;
}

}  // namespace

Services& services() {
    static Services table = realServices();
    return table;
}

void resetServices() { services() = realServices(); }

}  // namespace velqorin::monitor
