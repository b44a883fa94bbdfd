// The language switch: the English module is a Qt translation file beside the program,
// and switching re-reads the texts of every window, message tables included.
#pragma once

#include <QString>
#include <QStringList>

class QTranslator;

namespace velqorin::monitor {

inline constexpr int kLocaleEnglishUs = 1033;

// A window that can re-read its texts from the current language module.
class TReinitializable {
public:
    virtual void ReinitializeForm() = 0;

protected:
    ~TReinitializable() = default;
};

// The settings files, as QSettings lays them out in the XDG layout: the user's
// ($XDG_CONFIG_HOME, else ~/.config) and the machine's (first folder of $XDG_CONFIG_DIRS,
// else /etc/xdg), each + "/Quarvel/Velqorin Network Monitor.conf".
QString userSettingsFile();
QString machineSettingsFile();
// "Language" of one file alone; empty when the file or the key is missing.
QString readLanguage(const QString& settingsFile);
// OneAdapterAtATime=true in the user's settings (or, when the user's file does not set
// it, in the machine's): sweep one adapter after the other, as the library's
// ExternAnalyse does, instead of listening to all adapters at once.
bool oneAdapterAtATime();
// Requests=N in the same files, the same way: how often the sweep that listens to every
// adapter at once sends its request on each (1 to 5; 3 when neither file gives a number).
int discoveryRequests();
// English when the user says "en", or says nothing (or "0") and the machine says "en".
// Exact, case-sensitive comparisons.
bool wantsEnglish(const QString& userLanguage, const QString& machineLanguage);

// Where the modules are looked for, in order: beside the program, then the installed
// translations folder. Tests put folders of their own here.
QStringList resourceModuleFolders();
void setResourceModuleFolders(const QStringList& folders);

// Loads VelqorinNetworkMonitor_<three letters>.qm, else _<two letters>.qm, from the first
// folder that has either, installs it in place of a module loaded before and returns it;
// null (and nothing changed) when there is none. Unknown locales load nothing.
QTranslator* LoadNewResourceModule(int locale);
// The module last loaded, or null.
QTranslator* currentResourceModule();
// Back to the built-in French texts (windows re-read them when they next get the change).
void UnloadResourceModule();
// Every window of ours that exists re-reads its texts now.
void ReinitializeForms();

}  // namespace velqorin::monitor
