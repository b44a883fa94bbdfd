// The main window: the box list, its refresh and order, the commands on a box, and the
// second tab that the synchronisation pieces fill.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "Reinit.h"
#include "velqorin/NetworkAnalyse.h"

class QComboBox;
class QLabel;
class QMenu;
class QTreeWidgetItem;

namespace Ui {
class TMainForm;
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

    CVelqorinNetworkAnalyse NetworkAnalyse;
    bool FirstPaint = false;
    std::uint8_t SortColumn = 0;
    std::uint8_t LastSortColumn = 0;
    bool SortDescending = false;
    QString BrowserCommand;

    // Line `line` of the window's message table.
    QString Message(int line) const;

    void FormCreate();
    void FormPaint();
    // Runs Ctrl+D and F5; never consumes the key.
    void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
    void TimerConfigTimer();
    void QuitterExecute();
    void Image1DblClick();

    void RafraichirExecute();
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

    // The second tab's rows for one network box, added by the refresh after the box's
    // row in the first list; its order; its panel.
    void VelqorinAddSyncRows(CVelqorinBoxOnNetwork* box);
    int VelqorinListView2Compare(QTreeWidgetItem* item1, QTreeWidgetItem* item2) const;
    void SortSyncList();
    void VelqorinListView2Change();
    void VelqorinListView2DblClick();
    void VelqorinInitInfos(bool enable);
    void RefreshModeInfos();
    void CheckBoxModeClick();

    // Sending a set-up from the panel. The check has no value when a master or floor
    // text is no integer: the conversion error has then been shown.
    std::optional<bool> VelqorinListView2VerifSynchroConfig();
    void RefreshValidButton();
    void VelqorinListView2SendSynchroConfig(bool syncNow);
    void ButtonValidConfigClick();
    void ButtonSyncClick();
    void ComboBoxMasterChange();
    void ComboBoxFloorChange();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setCommandsEnabled(bool open, bool configure);
    void setStatus(const QString& text);
    void applyCaption();
    void fillRowTexts(QTreeWidgetItem* row) const;
    void setSyncStatus(const QString& text);
    // Texts the program puts into the two combo boxes, which must not run their handlers.
    void setComboText(QComboBox* combo, const QString& text);
    void selectComboItem(QComboBox* combo, int index);
    // A master or floor text as an integer in [low, high]; shows the conversion error
    // and gives nothing otherwise.
    std::optional<std::int64_t> integerOf(const QString& text, std::int64_t low, std::int64_t high);

    QString versionCaption_;
    const QEvent* lastKeyEvent_ = nullptr;
    QPointer<QWidget> lastKeyReceiver_;
};

extern TMainForm* MainForm;

// The maker's site, opened by a double-click on the logo.
inline constexpr const char* kMakerUrl = "https://www.quarvel.example/";
