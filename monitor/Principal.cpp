#include "Principal.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
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
#include "Exchange.h"
#include "GroupFrameStyle.h"
#include "Messages.h"
#include "PlainText.h"
#include "Progress.h"
#include "Services.h"
#include "SyncTab.h"
#include "ui_Principal.h"
#include "velqorin/Frame.h"

using namespace velqorin::monitor;

TMainForm* MainForm = nullptr;

namespace {

constexpr int kRefreshIntervalMs = 60000;
constexpr int kStatusPanel0Width = 356;
constexpr int kStatusProgressWidth = 300;
// How often the status bar's progress follows the sweep.
constexpr int kProgressIntervalMs = 50;
constexpr int kBoxColumnWidths[8] = {75, 100, 50, 100, 130, 100, 70, 90};

// The MACs of the other stations that answered the last sweep with `box`'s serial number.
QStringList otherStations(const CVelqorinNetworkAnalyse& analyser, const CVelqorinBoxOnNetwork& box) {
    TAnalyseBuffer stations[16];
    const int answered = analyser.SerialAnswers(&box, stations, 16);
    QStringList macs;
    for (int i = 1; i < std::min(answered, 16); ++i)
        macs << QString::fromStdString(velqorin::macText(stations[i].sourceMac));
    return macs;
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
    showToolTipsAsPlainText();
    setFixedSize(760, 450);

    createStatusBar();
    fixColumns(ui->VelqorinListView, kBoxColumnWidths, 8, true);

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

    connectCommands();
    syncTab_ = std::make_unique<TSyncTab>(*this);
    // The window sees every key first, the logo's double-clicks, and double-clicks
    // anywhere in the list, rows or not.
    qApp->installEventFilter(this);

    FormCreate();
}

void TMainForm::createStatusBar() {
    StatusPanel0 = new QLabel(this);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel0->setFixedWidth(kStatusPanel0Width);
    StatusProgress = new TWaitIndicator(this);
    StatusProgress->setObjectName(QStringLiteral("StatusProgress"));
    StatusProgress->setFixedWidth(kStatusProgressWidth);
    StatusPanel1 = new QLabel(this);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    ui->StatusBar1->setSizeGripEnabled(false);
    ui->StatusBar1->setFixedHeight(19);
    ui->StatusBar1->addWidget(StatusPanel0);
    ui->StatusBar1->addWidget(StatusProgress);
    ui->StatusBar1->addWidget(StatusPanel1, 1);
    StatusProgress->hide();
    // The status bar shows what the boxes answered, among others.
    showLabelsAsPlainText(this);
}

// The commands of the menu, the buttons and the first list, and the lists' context menu.
void TMainForm::connectCommands() {
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
    connect(ui->VelqorinListView->header(), &QHeaderView::sectionClicked, this,
            &TMainForm::VelqorinListViewColumnClick);
    for (QTreeWidget* list : {ui->VelqorinListView, ui->VelqorinListView2}) {
        connect(list, &QWidget::customContextMenuRequested, this, [this, list](const QPoint& at) {
            PopupMenu->popup(list->viewport()->mapToGlobal(at));
        });
    }
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
    // Only the main window's caption: an application display name would be appended to
    // the title of every dialog and message box on X11.
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
    // Out of the paint itself: the refresh changes what is on the screen.
    QTimer::singleShot(0, this, [this] {
        if (services().captureCheck(NetworkAnalyse)) {
            RafraichirExecute();
            return;
        }
        const auto [problem, why] = services().rawAccessProblem();
        errorBox(this, RawAccessMessage(problem, why));
        close();
        QCoreApplication::exit(0);
    });
}

QString TMainForm::RawAccessMessage(int problem, const QString& why) const {
    // Outside the group that may run the link helper: the group and the command that adds
    // the user; any other reason: the general text, then the library's.
    if (problem == CVelqorinNetworkAnalyse::RawAccessNotInGroup) {
        const QString user = QString::fromLocal8Bit(qgetenv("USER"));
        return Message(MainMessage::NotInGroup).arg(user.isEmpty() ? QStringLiteral("$USER") : user);
    }
    const QString general = Message(MainMessage::CaptureImpossible);
    return why.isEmpty() ? general : general + QStringLiteral("\n\n") + why;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // The program ends once the exchange under way is over: a sweep stops at its next
    // read, a command ends when its box answers or its time is up. None starts after.
    closing_ = true;
    if (exchanges().running()) exchanges().requestStop();
    QMainWindow::closeEvent(event);
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
        else if (watched == ui->VelqorinListView2->viewport()) syncTab_->VelqorinListView2DblClick();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
    if (key == Qt::Key_D && (modifiers & Qt::ControlModifier)) {
        if (ExchangeUnderWay()) return;
        CVelqorinBoxOnNetwork* box = selectedBox(ui->VelqorinListView);
        if (box == nullptr) return;
        TimerConfig.stop();
        DebloqueForm->Box = box;
        if (DebloqueForm->exec() != mrCancel) RafraichirExecute();
        if (!closing_) TimerConfig.start();
    } else if (key == Qt::Key_F5) {
        RafraichirExecute();
    }
}

void TMainForm::TimerConfigTimer() { RafraichirExecute(); }

void TMainForm::QuitterExecute() { close(); }

void TMainForm::Image1DblClick() { OuvrirExecuteSpec(QString::fromLatin1(kMakerUrl)); }

void TMainForm::setStatus(const QString& text) { StatusPanel0->setText(text); }

bool TMainForm::ExchangeUnderWay() const { return busy_ || closing_ || exchanges().running(); }

// -- The refresh cycle ------------------------------------------------------------------

void TMainForm::RafraichirExecute() {
    // No second refresh, none during a command, none once the window is closing.
    if (ExchangeUnderWay()) return;
    refreshBegins();
    const bool swept = refreshSweeps(ui->CheckBox1->isChecked());
    if (swept)
        refreshRebuildsLists();
    else
        refreshKeepsLastRows();
    refreshEnds();
}

// Steps 1 to 3: the window turns busy; nothing that could reach the analyser or start
// another exchange takes input until the refresh ends.
void TMainForm::refreshBegins() {
    busy_ = true;
    setStatus(Message(MainMessage::Refreshing));
    ui->RafraichirBitBtn->setEnabled(false);
    ui->Rafraichir->setEnabled(false);
    TimerConfig.stop();
    ui->CheckBox1->setEnabled(false);
    busyCursor_.emplace();
    letGoOfRecords();
}

// Step 4: the sweep, on the exchange's thread; the status bar follows its listening
// window meanwhile.
bool TMainForm::refreshSweeps(bool withDialUp) {
    TSweepWatch watch(exchanges());
    const auto follow = [this, &watch] {
        const TSweepWatch::State state = watch.state();
        if (state.phase == TSweepWatch::Phase::DialUp)
            StatusProgress->showBusy(TSweepWatch::text(state));
        else
            StatusProgress->showProgress(
                state.phase == TSweepWatch::Phase::Idle ? 0 : state.windowPermille,
                TSweepWatch::text(state));
    };
    QTimer following;
    following.setInterval(kProgressIntervalMs);
    connect(&following, &QTimer::timeout, this, follow);
    follow();
    following.start();

    const auto sweep = services().sweep;  // a copy: the table belongs to the window thread
    const SweepObservers observers{watch.ethernet(), watch.dialUp()};
    const std::optional<bool> swept = exchanges().run(
        [&] { return sweep(NetworkAnalyse, withDialUp, observers); });

    following.stop();
    StatusProgress->hide();
    beyondLimit_ = watch.beyondLimit();
    return swept.value_or(false);
}

// Step 5, after a sweep that succeeded: both lists anew from the analyser's box list.
void TMainForm::refreshRebuildsLists() {
    ui->VelqorinListView->clear();
    ui->VelqorinListView2->clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(NetworkAnalyse.boxCount);
    auto notes = velqorin::addressNotes(NetworkAnalyse.firstBox, NetworkAnalyse.firstInterface);
    auto note = notes.begin();
    for (CVelqorinBoxOnNetwork* box = NetworkAnalyse.firstBox; box != nullptr; box = box->next) {
        const TAnalyseBuffer& record = box->storedRecord;
        auto* row = new TBoxItem(box, rowImageIndex(record), rowStateIndex(record));
        row->setAddressNote(std::move(*note++));
        row->setSerialAlsoFrom(otherStations(NetworkAnalyse, *box));
        fillRowTexts(row);
        rows << row;
    }
    ui->VelqorinListView->addTopLevelItems(rows);
    for (CVelqorinBoxOnNetwork* box = NetworkAnalyse.firstBox; box != nullptr; box = box->next)
        if (velqorin::linkKind(box->storedRecord) == velqorin::LinkKind::Network)
            syncTab_->VelqorinAddSyncRows(box);
}

// Step 5, after a sweep that failed: it has already freed the records the rows point to.
// The rows stay on the screen as the last known state, greyed out and cut from them.
void TMainForm::refreshKeepsLastRows() {
    detachRows(ui->VelqorinListView);
    detachRows(ui->VelqorinListView2);
}

// Steps 6 and 7: the enabling rules, the order, and the window idle again.
void TMainForm::refreshEnds() {
    busyCursor_.reset();
    VelqorinListViewSelectItem();
    syncTab_->VelqorinListView2SelectItem();
    SortBoxList();
    syncTab_->SortSyncList();

    // A flood of made-up serial numbers: the list is cut, and the operator must know.
    setStatus(beyondLimit_ == 0
                  ? QString()
                  : tr("%1 réponses ignorées au-delà de %2 boîtiers")
                        .arg(beyondLimit_)
                        .arg(CVelqorinNetworkAnalyse::kMaxBoxes));
    ui->RafraichirBitBtn->setEnabled(true);
    ui->Rafraichir->setEnabled(true);
    ui->CheckBox1->setEnabled(true);
    busy_ = false;
    // Already running (started by the second tab during the rebuild): keep its interval.
    if (!closing_ && !TimerConfig.isActive()) TimerConfig.start();
}

void TMainForm::letGoOfRecords() {
    // The selection goes first, through the lists' own change handling: the commands
    // and the synchronisation panel turn off as with no row selected.
    for (QTreeWidget* list : {ui->VelqorinListView, ui->VelqorinListView2}) {
        list->clearSelection();
        list->setCurrentItem(nullptr);
        releaseRows(list);
    }
}

// -- The box list -------------------------------------------------------------------------

void TMainForm::fillRowTexts(QTreeWidgetItem* row) const {
    TBoxItem* item = boxItem(row);
    if (item == nullptr || row->treeWidget() == ui->VelqorinListView2) return;
    for (int column = 0; column < 8; ++column) {
        row->setText(column, boxCellText(item->record(), column, ui->MemoTrad));
        row->setTextAlignment(column, (column == 0 ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
    }
    setAdapterToolTip(*item, 8);
    showAddressNote(*item);
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

void TMainForm::CheckBox1Click() { RafraichirExecute(); }

void TMainForm::ConfigurerExecute() {
    if (ExchangeUnderWay()) return;
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
        if (!closing_) TimerConfig.start();
    } else if (selectedBoxItem(ui->VelqorinListView2) != nullptr) {
        syncTab_->VelqorinInitInfos(true);
    }
}

int TMainForm::sendToBox(CVelqorinBoxOnNetwork& box,
                         const std::function<int(CVelqorinBoxOnNetwork&)>& command) {
    busy_ = true;
    letGoOfRecords();
    ui->RafraichirBitBtn->setEnabled(false);
    ui->Rafraichir->setEnabled(false);
    ui->CheckBox1->setEnabled(false);
    std::optional<int> result;
    {
        const BusyCursor busy;
        StatusProgress->showBusy(tr("Attente de la réponse du boîtier %1...")
                                     .arg(boxCellText(box.storedRecord, 0, ui->MemoTrad)));
        result = exchanges().run([&] { return command(box); });
        StatusProgress->hide();
    }
    ui->RafraichirBitBtn->setEnabled(true);
    ui->Rafraichir->setEnabled(true);
    ui->CheckBox1->setEnabled(true);
    busy_ = false;
    return result.value_or(kCommandNoAnswer);
}

void TMainForm::VelqorinListView2DblClick() { syncTab_->VelqorinListView2DblClick(); }

void TMainForm::ButtonValidConfigClick() { syncTab_->ButtonValidConfigClick(); }

void TMainForm::ButtonSyncClick() { syncTab_->ButtonSyncClick(); }

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
