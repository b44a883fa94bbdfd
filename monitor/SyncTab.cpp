#include "SyncTab.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>

#include <QComboBox>
#include <QLabel>

#include "BoxRows.h"
#include "Exchange.h"
#include "Messages.h"
#include "Principal.h"
#include "Progress.h"
#include "Services.h"
#include "ui_Principal.h"
#include "velqorin/Frame.h"
#include "velqorin/SyncOrder.h"

using namespace velqorin::monitor;

namespace {

constexpr int kSyncColumnWidths[5] = {75, 40, 50, 50, 100};

// A master number is a box's serial number: any 32-bit value, written signed or not.
constexpr std::int64_t kMasterLow = INT32_MIN;
constexpr std::int64_t kMasterHigh = UINT32_MAX;

}  // namespace

TSyncTab::TSyncTab(TMainForm& form) : form_(form), ui(form.ui.get()) {
    fixColumns(ui->VelqorinListView2, kSyncColumnWidths, 5, false);
    ui->ComboBoxFloor->setCurrentIndex(4);
    // Enter in either combo box must not add the typed text to its items: the floors
    // are the ten given, the masters those found.
    ui->ComboBoxMaster->setInsertPolicy(QComboBox::NoInsert);
    ui->ComboBoxFloor->setInsertPolicy(QComboBox::NoInsert);

    connect(ui->VelqorinListView2, &QTreeWidget::itemSelectionChanged, this,
            &TSyncTab::VelqorinListView2SelectItem);
    connect(ui->VelqorinListView2, &QTreeWidget::itemSelectionChanged, this,
            &TSyncTab::VelqorinListView2Change);
    connect(ui->CheckBoxMode, &QCheckBox::toggled, this, &TSyncTab::CheckBoxModeClick);
    // Only the operator's edits reach these: the program's own texts are set with the
    // combo boxes' signals blocked.
    connect(ui->ComboBoxMaster, &QComboBox::editTextChanged, this, &TSyncTab::ComboBoxMasterChange);
    connect(ui->ComboBoxFloor, &QComboBox::editTextChanged, this, &TSyncTab::ComboBoxFloorChange);
    connect(ui->ButtonValidConfig, &QPushButton::clicked, this, &TSyncTab::ButtonValidConfigClick);
    connect(ui->ButtonSync, &QPushButton::clicked, this, &TSyncTab::ButtonSyncClick);
}

void TSyncTab::VelqorinListView2SelectItem() {
    const bool valid = selectedBoxItem(ui->VelqorinListView2) != nullptr;
    form_.setCommandsEnabled(valid, valid);
}

void TSyncTab::VelqorinAddSyncRows(CVelqorinBoxOnNetwork* box) {
    const TAnalyseBuffer& r = box->storedRecord;
    if (!velqorin::isSyncListed(r)) return;
    auto* row = new TBoxItem(box, rowImageIndex(r), rowStateIndex(r));
    row->setText(0, boxCellText(r, 0, ui->MemoTrad));
    const bool master = velqorin::isSyncMaster(r);
    if (master) {
        row->setText(1, QStringLiteral("M"));
        for (int column = 2; column < 5; ++column) row->setText(column, QStringLiteral("..."));
    } else {
        row->setText(1, QStringLiteral("E"));
        row->setText(2, QString::number(velqorin::loadLe<std::uint32_t>(r.syncMaster)));
        row->setText(3, QString::number(velqorin::loadLe<std::int32_t>(r.syncFloor)));
        QString age = QStringLiteral("...");
        if (velqorin::loadLe<std::uint32_t>(r.syncFault) == 0 &&
            velqorin::loadLe<std::uint32_t>(r.syncDone) != 0)
            TMainForm::VelqorinPrintfDate(velqorin::loadLe<std::uint32_t>(r.syncAge), age);
        row->setText(4, age);
    }
    for (int column = 0; column < 5; ++column)
        row->setTextAlignment(column, (column == 0 ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
    ui->VelqorinListView2->addTopLevelItem(row);
    if (master) ui->VelqorinListView2->addTopLevelItem(new TBoxItem(box, kLampNone, kLampNone));
    // New rows are a change of the list, as a selection is.
    VelqorinListView2Change();
}

int TSyncTab::VelqorinListView2Compare(QTreeWidgetItem* item1, QTreeWidgetItem* item2) const {
    const auto key = [](const TBoxItem* item) {
        return item->imageIndex() == kLampNone ? velqorin::syncSeparatorKey(item->record())
                                               : velqorin::syncRowKey(item->record());
    };
    const TBoxItem* a = boxItem(item1);
    const TBoxItem* b = boxItem(item2);
    if (a == nullptr || b == nullptr) return 0;
    return velqorin::compareSyncKeys(key(a), key(b));
}

void TSyncTab::SortSyncList() {
    sortRows(ui->VelqorinListView2, [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return VelqorinListView2Compare(a, b);
    });
}

void TSyncTab::setSyncStatus(const QString& text) { form_.StatusPanel1->setText(text); }

void TSyncTab::VelqorinListView2Change() {
    setSyncStatus(QString());
    VelqorinInitInfos(false);
}

void TSyncTab::VelqorinListView2DblClick() { VelqorinInitInfos(true); }

void TSyncTab::setComboText(QComboBox* combo, const QString& text) {
    const QSignalBlocker quiet(combo);
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
}

void TSyncTab::selectComboItem(QComboBox* combo, int index) {
    const QSignalBlocker quiet(combo);
    combo->setCurrentIndex(-1);
    combo->setCurrentIndex(index);
}

void TSyncTab::VelqorinInitInfos(bool enable) {
    Ui::TMainForm& f = *ui;
    CVelqorinBoxOnNetwork* box = selectedBox(f.VelqorinListView2);
    if (box == nullptr) {
        f.GroupBoxSyncConfig->setEnabled(false);
        f.LabelPassword->setEnabled(false);
        f.EditPassword->setEnabled(false);
        f.LabelMode->setEnabled(false);
        f.CheckBoxMode->setChecked(false);
        f.CheckBoxMode->setEnabled(false);
        f.ButtonValidConfig->setEnabled(false);
    } else {
        // An edit must not be overwritten by the next refresh.
        if (enable) form_.TimerConfig.stop();
        const TAnalyseBuffer& b = box->storedRecord;
        f.GroupBoxSyncConfig->setEnabled(enable);
        f.LabelPassword->setEnabled(enable);
        f.EditPassword->setEnabled(enable);
        f.CheckBoxMode->setChecked(velqorin::isSyncMaster(b));

        {
            const QSignalBlocker quiet(f.ComboBoxMaster);
            f.ComboBoxMaster->clear();
        }
        int masters = 0;
        int followers = 0;
        int masterFound = 0;
        const std::uint32_t boxMaster = velqorin::loadLe<std::uint32_t>(b.syncMaster);
        for (CVelqorinBoxOnNetwork* p = form_.NetworkAnalyse.firstBox; p != nullptr; p = p->next) {
            if (p == box) continue;
            const TAnalyseBuffer& other = p->storedRecord;
            if (!velqorin::isSyncMaster(other)) {
                if (velqorin::serialNames(b, velqorin::loadLe<std::uint32_t>(other.syncMaster)))
                    ++followers;
                continue;
            }
            if (velqorin::serialNames(other, boxMaster)) ++masterFound;
            const QString serial = boxCellText(other, 0, f.MemoTrad);
            // The master list is kept in text order.
            int at = 0;
            while (at < f.ComboBoxMaster->count() && f.ComboBoxMaster->itemText(at) <= serial) ++at;
            const QSignalBlocker quiet(f.ComboBoxMaster);
            f.ComboBoxMaster->insertItem(at, serial);
            ++masters;
        }
        if (velqorin::isSyncMaster(b)) masterFound = 1;

        if (masters == 0 || followers > 0) {
            setSyncStatus(form_.Message(followers > 0 ? MainMessage::BoxIsMaster
                                                      : MainMessage::NoMasterAvailable));
            f.LabelMode->setEnabled(false);
            f.CheckBoxMode->setEnabled(false);
        } else {
            f.LabelMode->setEnabled(enable);
            f.CheckBoxMode->setEnabled(enable);
            if (masterFound == 0) setSyncStatus(form_.Message(MainMessage::MasterNotFound));
        }
    }
    RefreshModeInfos();
    // Not while a refresh or command is under way: its last step starts the timer.
    if (!enable && !form_.busy_ && !form_.closing_ && !form_.TimerConfig.isActive())
        form_.TimerConfig.start();
}

void TSyncTab::RefreshModeInfos() {
    Ui::TMainForm& f = *ui;
    CVelqorinBoxOnNetwork* box = selectedBox(f.VelqorinListView2);
    if (box == nullptr) {
        setComboText(f.ComboBoxMaster, QString());
        setComboText(f.ComboBoxFloor, QString());
    } else if (f.CheckBoxMode->isChecked()) {
        setComboText(f.ComboBoxMaster, QStringLiteral("..."));
        setComboText(f.ComboBoxFloor, QStringLiteral("0"));
    } else if (!velqorin::isSyncMaster(box->storedRecord)) {
        const TAnalyseBuffer& b = box->storedRecord;
        setComboText(f.ComboBoxMaster, QString::number(velqorin::loadLe<std::uint32_t>(b.syncMaster)));
        setComboText(f.ComboBoxFloor, QString::number(velqorin::loadLe<std::int32_t>(b.syncFloor)));
    } else {
        // A master the operator has just unticked: offer the first master, floor "1".
        selectComboItem(f.ComboBoxMaster, 0);
        selectComboItem(f.ComboBoxFloor, 4);
    }
    const bool follow = f.GroupBoxSyncConfig->isEnabled() && f.CheckBoxMode->isEnabled() &&
                        !f.CheckBoxMode->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{f.LabelMaster, f.ComboBoxMaster, f.LabelFloor,
                                                      f.ComboBoxFloor, f.ButtonSync})
        w->setEnabled(follow);
}

void TSyncTab::CheckBoxModeClick() {
    RefreshModeInfos();
    RefreshValidButton();
}

std::optional<std::int64_t> TSyncTab::integerOf(const QString& text, std::int64_t low,
                                                 std::int64_t high) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (ok && value >= low && value <= high) return static_cast<std::int64_t>(value);
    errorBox(&form_, TMainForm::tr("'%1' n'est pas une valeur entière correcte").arg(text));
    return std::nullopt;
}

std::optional<bool> TSyncTab::VelqorinListView2VerifSynchroConfig() {
    CVelqorinBoxOnNetwork* box = selectedBox(ui->VelqorinListView2);
    if (box == nullptr) return false;
    const TAnalyseBuffer& b = box->storedRecord;
    if (ui->CheckBoxMode->isChecked()) return !velqorin::isSyncMaster(b);
    if (velqorin::isSyncMaster(b)) return true;
    const auto master = integerOf(ui->ComboBoxMaster->currentText(), kMasterLow, kMasterHigh);
    if (!master) return std::nullopt;
    if (static_cast<std::uint32_t>(*master) != velqorin::loadLe<std::uint32_t>(b.syncMaster))
        return true;
    const auto floor = integerOf(ui->ComboBoxFloor->currentText(), INT32_MIN, INT32_MAX);
    if (!floor) return std::nullopt;
    return *floor != velqorin::loadLe<std::int32_t>(b.syncFloor);
}

void TSyncTab::RefreshValidButton() {
    // After a conversion error "Ok" keeps the state it had.
    if (const auto changed = VelqorinListView2VerifSynchroConfig())
        ui->ButtonValidConfig->setEnabled(*changed);
}

void TSyncTab::VelqorinListView2SendSynchroConfig(bool syncNow) {
    if (form_.ExchangeUnderWay()) return;
    CVelqorinBoxOnNetwork* box = selectedBox(ui->VelqorinListView2);
    if (box == nullptr) return;
    if (!syncNow) {
        const auto changed = VelqorinListView2VerifSynchroConfig();
        if (!changed || !*changed) return;
    }
    const bool masterMode = ui->CheckBoxMode->isChecked();
    std::int64_t floor = 0;
    std::int64_t master = 0;
    if (!masterMode) {
        const auto f = integerOf(ui->ComboBoxFloor->currentText(), INT32_MIN, INT32_MAX);
        if (!f) return;
        const auto m = integerOf(ui->ComboBoxMaster->currentText(), kMasterLow, kMasterHigh);
        if (!m) return;
        floor = *f;
        master = *m;
    }
    const QByteArray password = ui->EditPassword->text().toUtf8();
    const int result = form_.sendToBox(*box, [&, command = services().configSynchro](CVelqorinBoxOnNetwork& b) {
        return command(b, password.constData(), masterMode, static_cast<std::uint32_t>(master),
                       static_cast<std::int32_t>(floor), syncNow);
    });
    QString outcome;
    if (result == kCommandRefused) {
        ui->EditPassword->clear();
        outcome = form_.Message(MainMessage::SyncPasswordRefused);
    } else if (result != kCommandAccepted) {
        outcome = form_.Message(MainMessage::SyncError);
    }
    setSyncStatus(outcome);
    form_.RafraichirExecute();
    // The rows the refresh adds clear the panel; the operator must still read why the
    // set-up did not take.
    if (!outcome.isEmpty()) setSyncStatus(outcome);
}

void TSyncTab::ButtonValidConfigClick() { VelqorinListView2SendSynchroConfig(false); }

void TSyncTab::ButtonSyncClick() { VelqorinListView2SendSynchroConfig(true); }

void TSyncTab::ComboBoxMasterChange() {
    if (ui->ComboBoxMaster->findText(ui->ComboBoxMaster->currentText(), Qt::MatchExactly) < 0)
        setSyncStatus(form_.Message(MainMessage::MasterNotFound));
    RefreshValidButton();
}

void TSyncTab::ComboBoxFloorChange() { RefreshValidButton(); }
