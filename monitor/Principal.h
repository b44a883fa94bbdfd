// The main window: the box list, its refresh and order, the commands on a box; the
// second tab, the synchronisation list with its panel, is TSyncTab (SyncTab.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "Messages.h"
#include "Reinit.h"
#include "velqorin/NetworkAnalyse.h"

class QLabel;
class QMenu;
class QTreeWidgetItem;
class TSyncTab;

namespace Ui {
class TMainForm;
}

namespace velqorin::monitor {
class TWaitIndicator;
}

class TMainForm : public QMainWindow, public velqorin::monitor::TReinitializable {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    std::unique_ptr<Ui::TMainForm> ui;
    QTimer TimerConfig;
    QMenu* PopupMenu = nullptr;
    QLabel* StatusPanel0 = nullptr;  // refresh status, 356 pixels
    QLabel* StatusPanel1 = nullptr;  // synchronisation messages
    // Between the two panels while an exchange runs: the sweep's listening window and the
    // adapters asked, or that a box is waited for.
    velqorin::monitor::TWaitIndicator* StatusProgress = nullptr;

    CVelqorinNetworkAnalyse NetworkAnalyse;
    bool FirstPaint = false;
    std::uint8_t SortColumn = 0;
    std::uint8_t LastSortColumn = 0;
    bool SortDescending = false;
    QString BrowserCommand;

    // Line `line` of the window's message table.
    QString Message(int line) const;
    QString Message(velqorin::monitor::MainMessage id) const { return Message(static_cast<int>(id)); }
    // The start-up error when raw access fails for `problem` (a RawAccess value), `why`
    // being the library's text of it.
    QString RawAccessMessage(int problem, const QString& why) const;

    void FormCreate();
    void FormPaint();
    // Runs Ctrl+D and F5; never consumes the key.
    void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
    void TimerConfigTimer();
    void QuitterExecute();
    void Image1DblClick();

    // The refresh cycle, in the order of its steps; the sweep runs off the window thread.
    void RafraichirExecute();
    // True while a refresh or a command is under way, or once the window is closing:
    // nothing may then start another exchange.
    bool ExchangeUnderWay() const;

    void VelqorinListViewSelectItem();
    void VelqorinListView2SelectItem();
    void CheckBox1Click();
    void ConfigurerExecute();
    static void VelqorinPrintfDate(std::uint32_t seconds, QString& text);

    void VelqorinListViewColumnClick(int column);
    int VelqorinListViewCompare(QTreeWidgetItem* row1, QTreeWidgetItem* row2) const;
    void SortBoxList();

    void OuvrirExecute();
    void OuvrirExecuteSpec(const QString& url);
    QString GetBrowserCommand();

    void ReinitializeForm() override;

    // The second tab's handlers that the window and its users reach.
    void VelqorinListView2DblClick();
    void ButtonValidConfigClick();
    void ButtonSyncClick();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The steps of the refresh cycle.
    void refreshBegins();
    bool refreshSweeps(bool withDialUp);
    void refreshRebuildsLists();
    void refreshKeepsLastRows();
    void refreshEnds();
    // While an exchange runs on another thread, no row may be selected or reach the
    // analyser's records: the sweep frees them, a command uses its box.
    void letGoOfRecords();
    void setCommandsEnabled(bool open, bool configure);
    void setStatus(const QString& text);
    void applyCaption();
    // Parts of the window's construction.
    void createStatusBar();
    void connectCommands();
    void fillRowTexts(QTreeWidgetItem* row) const;
    // A synchronisation command to `box` on the exchange's thread, the window held
    // meanwhile; kCommandNoAnswer when it could not run.
    int sendToBox(CVelqorinBoxOnNetwork& box, const std::function<int(CVelqorinBoxOnNetwork&)>& command);

    // The tab works the window's controls and exchanges as the window's own code does.
    friend class TSyncTab;

    bool busy_ = false;     // a refresh or a command, from its first step to its last
    int beyondLimit_ = 0;   // replies the last sweep dropped past the boxes it lists
    bool closing_ = false;  // closed: the exchange under way ends, no other starts
    std::optional<velqorin::monitor::BusyCursor> busyCursor_;
    QString versionCaption_;
    const QEvent* lastKeyEvent_ = nullptr;
    QPointer<QWidget> lastKeyReceiver_;
    // Last, so that it goes first, while the widgets it is connected to are all there.
    std::unique_ptr<TSyncTab> syncTab_;
};

extern TMainForm* MainForm;

// The maker's site, opened by a double-click on the logo.
inline constexpr const char* kMakerUrl = "https://www.quarvel.example/";
