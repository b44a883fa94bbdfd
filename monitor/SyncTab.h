// The main window's second tab: the synchronisation list, its panel and sending a set-up
// from it. Its widgets are the window's (Principal.ui); the window owns it and runs the
// exchanges it asks for.
#pragma once

#include <cstdint>
#include <optional>

#include <QObject>
#include <QString>

class CVelqorinBoxOnNetwork;
class QComboBox;
class QTreeWidgetItem;
class TMainForm;

namespace Ui {
class TMainForm;
}

class TSyncTab : public QObject {
    Q_OBJECT

public:
    // Connects the tab's controls and sets them up; `form`'s widgets must exist.
    explicit TSyncTab(TMainForm& form);

    // The rows for one network box, added by the refresh after the box's row in the
    // first list; their order.
    void VelqorinAddSyncRows(CVelqorinBoxOnNetwork* box);
    int VelqorinListView2Compare(QTreeWidgetItem* item1, QTreeWidgetItem* item2) const;
    void SortSyncList();

    // The panel for the selected row: shown on a selection, editable on a double-click.
    void VelqorinListView2SelectItem();
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

private:
    void setSyncStatus(const QString& text);
    // Texts the program puts into the two combo boxes, which must not run their handlers.
    void setComboText(QComboBox* combo, const QString& text);
    void selectComboItem(QComboBox* combo, int index);
    // A master or floor text as an integer in [low, high]; shows the conversion error
    // and gives nothing otherwise.
    std::optional<std::int64_t> integerOf(const QString& text, std::int64_t low, std::int64_t high);

    TMainForm& form_;
    Ui::TMainForm* const ui;
};
