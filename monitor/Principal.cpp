#include "Principal.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QUrl>

#include "BoxRows.h"
#include "Browser.h"
#include "Configure.h"
#include "Depanne.h"
#include "GroupFrameStyle.h"
#include "Messages.h"
#include "Services.h"
#include "ui_Principal.h"
#include "velqorin/Frame.h"
#include "velqorin/SyncOrder.h"

using namespace velqorin::monitor;

TMainForm* MainForm = nullptr;

namespace {

constexpr int kRefreshIntervalMs = 60000;
constexpr int kStatusPanel0Width = 356;
constexpr int kBoxColumnWidths[8] = {75, 100, 50, 100, 130, 100, 70, 90};
constexpr int kSyncColumnWidths[5] = {75, 40, 50, 50, 100};

void fixColumns(QTreeWidget* list, const int* widths, int count, bool clickable) {
    QHeaderView* header = list->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setSectionsClickable(clickable);
    for (int i = 0; i < count; ++i) {
        header->setSectionResizeMode(i, QHeaderView::Fixed);
        header->resizeSection(i, widths[i]);
    }
    list->setIconSize(QSize(32, 16));
}

// Orders the rows of `list` by `compare` (< 0: first row first), keeping rows of equal
// keys in their order and the selection where it was, without change notifications.
template <class Compare>
void sortRows(QTreeWidget* list, Compare compare) {
    QTreeWidgetItem* selected = list->selectedItems().value(0);
    QTreeWidgetItem* current = list->currentItem();
    const QSignalBlocker quiet(list);
    std::vector<QTreeWidgetItem*> rows;
    while (list->topLevelItemCount() > 0) rows.push_back(list->takeTopLevelItem(0));
    std::stable_sort(rows.begin(), rows.end(),
                     [&](QTreeWidgetItem* a, QTreeWidgetItem* b) { return compare(a, b) < 0; });
    for (QTreeWidgetItem* row : rows) list->addTopLevelItem(row);
    if (current != nullptr) list->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    if (selected != nullptr) selected->setSelected(true);
}

}  // namespace

void initMonitorResources() { Q_INIT_RESOURCE(monitor); }

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent,
                  Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                      Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                      Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::TMainForm>()) {
    initMonitorResources();
    setFont(formFont());
    ui->setupUi(this);
    applyGroupFrameStyle(this);
    setFixedSize(760, 450);

    StatusPanel0 = new QLabel(this);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel0->setFixedWidth(kStatusPanel0Width);
    StatusPanel1 = new QLabel(this);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    ui->StatusBar1->setSizeGripEnabled(false);
    ui->StatusBar1->setFixedHeight(19);
    ui->StatusBar1->addWidget(StatusPanel0);
    ui->StatusBar1->addWidget(StatusPanel1, 1);

    fixColumns(ui->VelqorinListView, kBoxColumnWidths, 8, true);
    fixColumns(ui->VelqorinListView2, kSyncColumnWidths, 5, false);
    ui->ComboBoxFloor->setCurrentIndex(4);

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    PopupMenu->addAction(ui->Ouvrir);
    PopupMenu->addAction(ui->Configurer);
    PopupMenu->addAction(ui->Rafraichir);
    PopupMenu->setDefaultAction(ui->Ouvrir);
    ui->Ouvrir->setEnabled(false);
    ui->Configurer->setEnabled(false);

    TimerConfig.setObjectName(QStringLiteral("TimerConfig"));
    TimerConfig.setInterval(kRefreshIntervalMs);
    connect(&TimerConfig, &QTimer::timeout, this, &TMainForm::TimerConfigTimer);

    connect(ui->Ouvrir, &QAction::triggered, this, &TMainForm::OuvrirExecute);
    connect(ui->Configurer, &QAction::triggered, this, &TMainForm::ConfigurerExecute);
    connect(ui->Rafraichir, &QAction::triggered, this, &TMainForm::RafraichirExecute);
    connect(ui->Quitter, &QAction::triggered, this, &TMainForm::QuitterExecute);
    connect(ui->OuvrirBitBtn, &QPushButton::clicked, this, &TMainForm::OuvrirExecute);
    connect(ui->ConfigurerBitBtn, &QPushButton::clicked, this, &TMainForm::ConfigurerExecute);
    connect(ui->RafraichirBitBtn, &QPushButton::clicked, this, &TMainForm::RafraichirExecute);
    connect(ui->BitBtn1, &QPushButton::clicked, this, &TMainForm::QuitterExecute);
    connect(ui->CheckBox1, &QCheckBox::clicked, this, &TMainForm::CheckBox1Click);

    connect(ui->VelqorinListView, &QTreeWidget::itemSelectionChanged, this,
            &TMainForm::VelqorinListViewSelectItem);
    connect(ui->VelqorinListView2, &QTreeWidget::itemSelectionChanged, this,
            &TMainForm::VelqorinListView2SelectItem);
    connect(ui->VelqorinListView2, &QTreeWidget::itemSelectionChanged, this,
            &TMainForm::VelqorinListView2Change);
    connect(ui->CheckBoxMode, &QCheckBox::toggled, this, &TMainForm::CheckBoxModeClick);
    // Only the operator's edits reach these: the program's own texts are set with the
    // combo boxes' signals blocked.
    connect(ui->ComboBoxMaster, &QComboBox::editTextChanged, this, &TMainForm::ComboBoxMasterChange);
    connect(ui->ComboBoxFloor, &QComboBox::editTextChanged, this, &TMainForm::ComboBoxFloorChange);
    connect(ui->ButtonValidConfig, &QPushButton::clicked, this, &TMainForm::ButtonValidConfigClick);
    connect(ui->ButtonSync, &QPushButton::clicked, this, &TMainForm::ButtonSyncClick);
    connect(ui->VelqorinListView->header(), &QHeaderView::sectionClicked, this,
            &TMainForm::VelqorinListViewColumnClick);
    for (QTreeWidget* list : {ui->VelqorinListView, ui->VelqorinListView2}) {
        connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& at) {
            PopupMenu->popup(list->viewport()->mapToGlobal(at));
        });
    }
    // The window sees every key first, the logo's double-clicks, and double-clicks
    // anywhere in the list, rows or not.
    qApp->installEventFilter(this);

    FormCreate();
}

TMainForm::~TMainForm() {
    qApp->removeEventFilter(this);
    if (MainForm == this) MainForm = nullptr;
}

QString TMainForm::Message(int line) const { return memoLine(ui->MemoTrad, line); }

void TMainForm::FormCreate() {
    const QString machine = readLanguage(machineSettingsFile());
    const QString user = readLanguage(userSettingsFile());
    if (wantsEnglish(user, machine) && LoadNewResourceModule(kLocaleEnglishUs) != nullptr)
        ReinitializeForms();

    char version[1000] = {};
    NetworkAnalyse.GetDistribVersion(version);
    versionCaption_ = QString::fromUtf8(version);
    if (!versionCaption_.isEmpty()) QApplication::setApplicationDisplayName(versionCaption_);
    applyCaption();
    FirstPaint = true;
}

void TMainForm::applyCaption() {
    if (!versionCaption_.isEmpty()) setWindowTitle(versionCaption_);
}

void TMainForm::paintEvent(QPaintEvent* event) {
    QMainWindow::paintEvent(event);
    FormPaint();
}

void TMainForm::FormPaint() {
    if (!FirstPaint) return;
    FirstPaint = false;
    // Out of the paint itself: the refresh repaints the status bar and blocks for seconds.
    QTimer::singleShot(0, this, [this] {
        if (services().captureCheck(NetworkAnalyse)) {
            RafraichirExecute();
            return;
        }
        errorBox(this, Message(6));
        close();
        QCoreApplication::exit(0);
    });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        // A key the focus widget leaves travels on to its parents: act on its first stop only.
        const bool travelling = event == lastKeyEvent_ && lastKeyReceiver_ != nullptr &&
                                widget != nullptr && widget == lastKeyReceiver_->parentWidget();
        lastKeyEvent_ = event;
        lastKeyReceiver_ = widget;
        if (!travelling && widget != nullptr && widget->window() == this) {
            const auto* key = static_cast<QKeyEvent*>(event);
            FormKeyDown(key->key(), key->modifiers());
        }
    } else if (event->type() == QEvent::MouseButtonDblClick) {
        if (watched == ui->Image1) Image1DblClick();
        else if (watched == ui->VelqorinListView->viewport()) OuvrirExecute();
        else if (watched == ui->VelqorinListView2->viewport()) VelqorinListView2DblClick();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
    if (key == Qt::Key_D && (modifiers & Qt::ControlModifier)) {
        CVelqorinBoxOnNetwork* box = selectedBox(ui->VelqorinListView);
        if (box == nullptr) return;
        TimerConfig.stop();
        DebloqueForm->Box = box;
        if (DebloqueForm->exec() != mrCancel) RafraichirExecute();
        TimerConfig.start();
    } else if (key == Qt::Key_F5) {
        RafraichirExecute();
    }
}

void TMainForm::TimerConfigTimer() { RafraichirExecute(); }

void TMainForm::QuitterExecute() { close(); }

void TMainForm::Image1DblClick() { OuvrirExecuteSpec(QString::fromLatin1(kMakerUrl)); }

void TMainForm::setStatus(const QString& text) {
    StatusPanel0->setText(text);
    // The sweep blocks the event loop: the text must be on the screen before it starts.
    ui->StatusBar1->repaint();
}

void TMainForm::RafraichirExecute() {
    setStatus(Message(14));
    ui->RafraichirBitBtn->setEnabled(false);
    TimerConfig.stop();
    ui->CheckBox1->setEnabled(false);
    std::optional<BusyCursor> busy(std::in_place);
    paintPendingNow();

    if (services().sweep(NetworkAnalyse, ui->CheckBox1->isChecked())) {
        ui->VelqorinListView->clear();
        ui->VelqorinListView2->clear();
        for (CVelqorinBoxOnNetwork* box = NetworkAnalyse.firstBox; box != nullptr; box = box->next) {
            const TAnalyseBuffer& record = box->storedRecord;
            auto* row = new TBoxItem(box, rowImageIndex(record), rowStateIndex(record));
            fillRowTexts(row);
            ui->VelqorinListView->addTopLevelItem(row);
            if (velqorin::linkKind(record) == velqorin::LinkKind::Network) VelqorinAddSyncRows(box);
        }
    } else {
        // The sweep has already freed the records the rows point to. The rows stay on the
        // screen as the last known state, but greyed out and cut from their records.
        detachRows(ui->VelqorinListView);
        detachRows(ui->VelqorinListView2);
    }

    busy.reset();
    VelqorinListViewSelectItem();
    VelqorinListView2SelectItem();
    SortBoxList();
    SortSyncList();

    setStatus(QString());
    ui->RafraichirBitBtn->setEnabled(true);
    ui->CheckBox1->setEnabled(true);
    // Already running (started by the second tab during the rebuild): keep its interval.
    if (!TimerConfig.isActive()) TimerConfig.start();
}

void TMainForm::fillRowTexts(QTreeWidgetItem* row) const {
    TBoxItem* item = boxItem(row);
    if (item == nullptr || row->treeWidget() == ui->VelqorinListView2) return;
    for (int column = 0; column < 8; ++column) {
        row->setText(column, boxCellText(item->record(), column, ui->MemoTrad));
        row->setTextAlignment(column, (column == 0 ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
    }
    showAddressNote(*item, NetworkAnalyse);
}

void TMainForm::setCommandsEnabled(bool open, bool configure) {
    ui->OuvrirBitBtn->setEnabled(open);
    ui->Ouvrir->setEnabled(open);
    ui->ConfigurerBitBtn->setEnabled(configure);
    ui->Configurer->setEnabled(configure);
}

void TMainForm::VelqorinListViewSelectItem() {
    TBoxItem* item = selectedBoxItem(ui->VelqorinListView);
    const bool configurable =
        item != nullptr && velqorin::linkKind(item->record()) == velqorin::LinkKind::Network;
    setCommandsEnabled(item != nullptr, configurable);
}

void TMainForm::VelqorinListView2SelectItem() {
    const bool valid = selectedBoxItem(ui->VelqorinListView2) != nullptr;
    setCommandsEnabled(valid, valid);
}

void TMainForm::CheckBox1Click() { RafraichirExecute(); }

void TMainForm::ConfigurerExecute() {
    if (TBoxItem* item = selectedBoxItem(ui->VelqorinListView)) {
        CVelqorinBoxOnNetwork* box = item->box();
        ConfigureForm->Box = box;
        if (velqorin::linkKind(box->storedRecord) != velqorin::LinkKind::Network) return;
        TimerConfig.stop();
        unsigned char mac[8];
        ConfigureForm->NetInterface = NetworkAnalyse.getNetworkInterface(box->getMac(mac));
        if (ConfigureForm->exec() != mrCancel) {
            delete item;
            VelqorinListViewSelectItem();
        }
        TimerConfig.start();
    } else if (selectedBoxItem(ui->VelqorinListView2) != nullptr) {
        VelqorinInitInfos(true);
    }
}

void TMainForm::VelqorinPrintfDate(std::uint32_t seconds, QString& text) {
    text = QString::fromStdString(velqorin::durationText(seconds));
}

void TMainForm::VelqorinListViewColumnClick(int column) {
    SortColumn = static_cast<std::uint8_t>(column >= 1 && column <= 7 ? column : 0);
    if (SortColumn == LastSortColumn) SortDescending = !SortDescending;
    LastSortColumn = SortColumn;
    SortBoxList();
}

int TMainForm::VelqorinListViewCompare(QTreeWidgetItem* row1, QTreeWidgetItem* row2) const {
    const TBoxItem* b1 = boxItem(row1);
    const TBoxItem* b2 = boxItem(row2);
    if (b1 == nullptr || b2 == nullptr) return 0;
    return compareBoxes(b1->record(), b2->record(), SortColumn, SortDescending);
}

void TMainForm::SortBoxList() {
    sortRows(ui->VelqorinListView, [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return VelqorinListViewCompare(a, b);
    });
}

void TMainForm::OuvrirExecute() {
    QString url;
    if (TBoxItem* item = selectedBoxItem(ui->VelqorinListView)) {
        url = QStringLiteral("http://") + item->text(3);
    } else if (TBoxItem* sync = boxItem(ui->VelqorinListView2->selectedItems().value(0));
               sync != nullptr && sync->box() != nullptr) {
        // A separator row carries its master's record, and so opens the master.
        url = QStringLiteral("http://") + QString::fromStdString(velqorin::ipText(sync->record().currentIp));
    } else {
        return;
    }
    OuvrirExecuteSpec(url);
}

void TMainForm::OuvrirExecuteSpec(const QString& url) {
    const QString browser = GetBrowserCommand();
    if (browser.isEmpty())
        services().openWithDesktop(QUrl(url));
    else
        services().startBrowser(browser, url);
}

QString TMainForm::GetBrowserCommand() {
    if (!BrowserCommand.isEmpty()) return BrowserCommand;
    const QString registration = services().browserRegistration();
    if (!registration.isEmpty()) BrowserCommand = reduceBrowserCommand(registration);
    return BrowserCommand;
}

void TMainForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::LanguageChange) ReinitializeForm();
    QMainWindow::changeEvent(event);
}

void TMainForm::ReinitializeForm() {
    ui->retranslateUi(this);
    for (int i = 0; i < ui->VelqorinListView->topLevelItemCount(); ++i)
        fillRowTexts(ui->VelqorinListView->topLevelItem(i));
    // The installed version wins over the module's caption.
    applyCaption();
}

void TMainForm::VelqorinAddSyncRows(CVelqorinBoxOnNetwork* box) {
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
            VelqorinPrintfDate(velqorin::loadLe<std::uint32_t>(r.syncAge), age);
        row->setText(4, age);
    }
    for (int column = 0; column < 5; ++column)
        row->setTextAlignment(column, (column == 0 ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
    ui->VelqorinListView2->addTopLevelItem(row);
    if (master) ui->VelqorinListView2->addTopLevelItem(new TBoxItem(box, kLampNone, kLampNone));
    // New rows are a change of the list, as a selection is.
    VelqorinListView2Change();
}

int TMainForm::VelqorinListView2Compare(QTreeWidgetItem* item1, QTreeWidgetItem* item2) const {
    const auto key = [](const TBoxItem* item) {
        return item->imageIndex() == kLampNone ? velqorin::syncSeparatorKey(item->record())
                                               : velqorin::syncRowKey(item->record());
    };
    const TBoxItem* a = boxItem(item1);
    const TBoxItem* b = boxItem(item2);
    if (a == nullptr || b == nullptr) return 0;
    return velqorin::compareSyncKeys(key(a), key(b));
}

void TMainForm::SortSyncList() {
    sortRows(ui->VelqorinListView2, [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return VelqorinListView2Compare(a, b);
    });
}

void TMainForm::setSyncStatus(const QString& text) { StatusPanel1->setText(text); }

void TMainForm::VelqorinListView2Change() {
    setSyncStatus(QString());
    VelqorinInitInfos(false);
}

void TMainForm::VelqorinListView2DblClick() { VelqorinInitInfos(true); }

void TMainForm::setComboText(QComboBox* combo, const QString& text) {
    const QSignalBlocker quiet(combo);
    combo->setCurrentIndex(-1);
    combo->setEditText(text);
}

void TMainForm::selectComboItem(QComboBox* combo, int index) {
    const QSignalBlocker quiet(combo);
    combo->setCurrentIndex(-1);
    combo->setCurrentIndex(index);
}

void TMainForm::VelqorinInitInfos(bool enable) {
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
        if (enable) TimerConfig.stop();
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
        for (CVelqorinBoxOnNetwork* p = NetworkAnalyse.firstBox; p != nullptr; p = p->next) {
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
            setSyncStatus(Message(followers > 0 ? 16 : 17));
            f.LabelMode->setEnabled(false);
            f.CheckBoxMode->setEnabled(false);
        } else {
            f.LabelMode->setEnabled(enable);
            f.CheckBoxMode->setEnabled(enable);
            if (masterFound == 0) setSyncStatus(Message(15));
        }
    }
    RefreshModeInfos();
    if (!enable && !TimerConfig.isActive()) TimerConfig.start();
}

void TMainForm::RefreshModeInfos() {
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

void TMainForm::CheckBoxModeClick() {
    RefreshModeInfos();
    RefreshValidButton();
}

std::optional<std::int64_t> TMainForm::integerOf(const QString& text, std::int64_t low,
                                                 std::int64_t high) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (ok && value >= low && value <= high) return static_cast<std::int64_t>(value);
    errorBox(this, tr("'%1' n'est pas une valeur entière correcte").arg(text));
    return std::nullopt;
}

namespace {
// A master number is a box's serial number: any 32-bit value, written signed or not.
constexpr std::int64_t kMasterLow = INT32_MIN;
constexpr std::int64_t kMasterHigh = UINT32_MAX;
}  // namespace

std::optional<bool> TMainForm::VelqorinListView2VerifSynchroConfig() {
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

void TMainForm::RefreshValidButton() {
    // After a conversion error "Ok" keeps the state it had.
    if (const auto changed = VelqorinListView2VerifSynchroConfig())
        ui->ButtonValidConfig->setEnabled(*changed);
}

void TMainForm::VelqorinListView2SendSynchroConfig(bool syncNow) {
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
    int result = kCommandAccepted;
    {
        paintPendingNow();
        BusyCursor busy;
        result = services().configSynchro(*box, password.constData(), masterMode,
                                          static_cast<std::uint32_t>(master),
                                          static_cast<std::int32_t>(floor), syncNow);
    }
    QString outcome;
    if (result == kCommandRefused) {
        ui->EditPassword->clear();
        outcome = Message(18);
    } else if (result != kCommandAccepted) {
        outcome = Message(19);
    }
    setSyncStatus(outcome);
    RafraichirExecute();
    // The rows the refresh adds clear the panel; the operator must still read why the
    // set-up did not take.
    if (!outcome.isEmpty()) setSyncStatus(outcome);
}

void TMainForm::ButtonValidConfigClick() { VelqorinListView2SendSynchroConfig(false); }

void TMainForm::ButtonSyncClick() { VelqorinListView2SendSynchroConfig(true); }

void TMainForm::ComboBoxMasterChange() {
    if (ui->ComboBoxMaster->findText(ui->ComboBoxMaster->currentText(), Qt::MatchExactly) < 0)
        setSyncStatus(Message(15));
    RefreshValidButton();
}

void TMainForm::ComboBoxFloorChange() { RefreshValidButton(); }
