#include "Reinit.h"

#include <algorithm>
#include <memory>
#include <optional>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTranslator>
#include <QWidget>

#include "support/SettingsFile.h"
#include "velqorin/NetworkAnalyse.h"

namespace velqorin::monitor {

namespace {

constexpr const char* kModuleBase = "VelqorinNetworkMonitor_";

std::unique_ptr<QTranslator>& loadedModule() {
    static std::unique_ptr<QTranslator> module;
    return module;
}

std::optional<QStringList>& folderOverride() {
    static std::optional<QStringList> folders;
    return folders;
}

// The abbreviated language name Windows gives for a locale identifier.
QString abbreviatedLanguageName(int locale) {
    switch (locale) {
        case 1033: return QStringLiteral("enu");
        case 2057: return QStringLiteral("eng");
        case 1036: return QStringLiteral("fra");
        case 1031: return QStringLiteral("deu");
        default: return {};
    }
}

}  // namespace

QString userSettingsFile() {
    QString folder = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(folder)) folder = QDir::homePath() + QStringLiteral("/.config");
    return folder + QLatin1Char('/') + QLatin1String(velqorin::kSettingsFileInFolder);
}

QString machineSettingsFile() {
    QString folder = QStringLiteral("/etc/xdg");
    const QStringList dirs = qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'));
    for (const QString& dir : dirs) {
        // Relative entries do not count; the library reads the version from the same file.
        if (QDir::isAbsolutePath(dir)) {
            folder = dir;
            break;
        }
    }
    return folder + QLatin1Char('/') + QLatin1String(velqorin::kSettingsFileInFolder);
}

QString readLanguage(const QString& settingsFile) {
    if (!QFileInfo(settingsFile).isFile()) return {};
    QSettings settings(settingsFile, QSettings::IniFormat);
    const QVariant value = settings.value(QStringLiteral("Language"));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

namespace {

// The user's value of `key` when the user's file sets it, else the machine's.
QVariant sweepSetting(const QString& key) {
    for (const QString& file : {userSettingsFile(), machineSettingsFile()}) {
        if (!QFileInfo(file).isFile()) continue;
        const QSettings settings(file, QSettings::IniFormat);
        const QVariant value = settings.value(key);
        if (value.isValid()) return value;
    }
    return {};
}

}  // namespace

bool oneAdapterAtATime() {
    const QVariant value = sweepSetting(QStringLiteral("OneAdapterAtATime"));
    return value.isValid() &&
           value.toString().compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
}

int discoveryRequests() {
    bool number = false;
    const int requests = sweepSetting(QStringLiteral("Requests")).toString().trimmed().toInt(&number);
    if (!number) return CVelqorinNetworkAnalyse::kDefaultRequests;
    return std::clamp(requests, 1, CVelqorinNetworkAnalyse::kMaxRequests);
}

bool wantsEnglish(const QString& userLanguage, const QString& machineLanguage) {
    const QString en = QStringLiteral("en");
    if (userLanguage == en) return true;
    return (userLanguage.isEmpty() || userLanguage == QStringLiteral("0")) && machineLanguage == en;
}

QStringList resourceModuleFolders() {
    if (folderOverride()) return *folderOverride();
    return {QCoreApplication::applicationDirPath(), QStringLiteral(VELQORIN_TRANSLATIONS_DIR)};
}

void setResourceModuleFolders(const QStringList& folders) { folderOverride() = folders; }

QTranslator* LoadNewResourceModule(int locale) {
    const QString abbreviation = abbreviatedLanguageName(locale);
    if (abbreviation.isEmpty()) return nullptr;
    auto module = std::make_unique<QTranslator>();
    bool loaded = false;
    for (const QString& folder : resourceModuleFolders()) {
        for (const QString& name : {abbreviation, abbreviation.left(2)}) {
            const QString file = folder + QLatin1Char('/') + QLatin1String(kModuleBase) + name +
                                 QStringLiteral(".qm");
            if (QFileInfo(file).isFile() && module->load(file)) {
                loaded = true;
                break;
            }
        }
        if (loaded) break;
    }
    if (!loaded) return nullptr;
    if (loadedModule()) QCoreApplication::removeTranslator(loadedModule().get());
    loadedModule() = std::move(module);
    QCoreApplication::installTranslator(loadedModule().get());
    return loadedModule().get();
}

QTranslator* currentResourceModule() { return loadedModule().get(); }

void UnloadResourceModule() {
    if (!loadedModule()) return;
    QCoreApplication::removeTranslator(loadedModule().get());
    loadedModule().reset();
}

void ReinitializeForms() {
    // Installing a translator only posts the change to the windows; the caller expects the
    // new texts at once (the version caption goes on top of them).
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* form = dynamic_cast<TReinitializable*>(window)) form->ReinitializeForm();
}

}  // namespace velqorin::monitor
