// Every text of the three windows fits the room its control gives it, in French and with
// the English module, in the form font as the installed fonts render it: captions, tabs,
// column headers, and the message-table lines the windows put into their labels and cells.
// QT_LOGGING_RULES="velqorin.textfit.debug=true" lists every text with its two widths.
#include <QFileInfo>
#include <QImage>
#include <QFontInfo>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "Configure.h"
#include "Depanne.h"
#include "Messages.h"
#include "Principal.h"
#include "Reinit.h"
#include "TestSupport.h"
#include "TextRoom.h"
#include "ui_Configure.h"
#include "ui_Depanne.h"
#include "ui_Principal.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

Q_LOGGING_CATEGORY(textFit, "velqorin.textfit", QtWarningMsg)

namespace {

// The controls a window was laid out with: named, and not the parts Qt builds inside its
// composite widgets (viewports, scroll bars, the tab widget's stack).
bool isFormControl(const QWidget* widget) {
    const QString name = widget->objectName();
    return !name.isEmpty() && !name.startsWith(QLatin1String("qt_"));
}

// What the window shows, tab by tab: each tab in turn is made current.
QList<QWidget*> shownWidgets(QWidget* window) {
    QList<QWidget*> shown;
    QList<QTabWidget*> tabs = window->findChildren<QTabWidget*>();
    const auto collect = [&] {
        for (QWidget* widget : window->findChildren<QWidget*>())
            if (widget->isVisibleTo(window) && !shown.contains(widget)) shown.append(widget);
    };
    collect();
    for (QTabWidget* tab : tabs) {
        const int current = tab->currentIndex();
        for (int i = 0; i < tab->count(); ++i) {
            tab->setCurrentIndex(i);
            collect();
        }
        tab->setCurrentIndex(current);
    }
    return shown;
}

QStringList misfits(const QList<TextRoom>& rooms) {
    QStringList found;
    for (const TextRoom& room : rooms) {
        qCDebug(textFit).noquote() << room.describe();
        if (!room.fits()) found << room.describe();
    }
    return found;
}

QList<TextRoom> windowRooms(QWidget* window) {
    QList<TextRoom> rooms;
    for (QWidget* widget : shownWidgets(window)) rooms += textRooms(widget);
    return rooms;
}

// `label` showing each of `lines` of its window's message table in turn.
QList<TextRoom> messageRooms(QLabel* label, const QStringList& lines) {
    QList<TextRoom> rooms;
    const QString before = label->text();
    for (const QString& line : lines) {
        label->setText(line);
        QCoreApplication::processEvents();  // a status bar lays its panels out again
        rooms += labelRoom(label);
    }
    label->setText(before);
    return rooms;
}

template <class Form>
QStringList linesOf(const Form* form, std::initializer_list<int> lines) {
    QStringList texts;
    for (int line : lines) texts << form->Message(line);
    return texts;
}

// The walk reached each of `controls`: a kind of control it skips would pass unseen.
void requireReached(const QList<TextRoom>& rooms, std::initializer_list<const char*> controls) {
    for (const char* control : controls) {
        const bool reached = std::any_of(rooms.begin(), rooms.end(), [&](const TextRoom& room) {
            return room.control == QLatin1String(control);
        });
        QVERIFY2(reached, control);
    }
}

// Where the group's own painting runs its frame's top line: the first row painted in a
// column near its right edge, away from the caption.
int frameTopLine(QGroupBox* group) {
    QImage image(group->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    group->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());  // no background, no children
    const int x = group->width() - 4;
    for (int y = 0; y < image.height(); ++y)
        if (qAlpha(image.pixel(x, y)) > 0) return y;
    return -1;
}

void settle(QWidget* window) {
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCoreApplication::processEvents();
}

}  // namespace

class TextFitTest : public QObject {
    Q_OBJECT

    QTemporaryDir settings_;
    FakeFleet fleet_;

    static void languages() {
        QTest::addColumn<bool>("english");
        QTest::newRow("fr") << false;
        QTest::newRow("en") << true;
    }

    // The program's three windows, in the language of the row.
    void openWindows() {
        QFETCH(bool, english);
        if (english) {
            // As a user who chose English starts the program: the main window switches,
            // the dialogs are built from the module.
            QDir().mkpath(settings_.path() + "/user/Quarvel");
            QFile file(settings_.path() + "/user/Quarvel/Velqorin Network Monitor.conf");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[General]\nLanguage=en\n");
        }
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
        QCOMPARE(currentResourceModule() != nullptr, english);
    }

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", settings_.path().toUtf8() + "/user");
        qputenv("XDG_CONFIG_DIRS", settings_.path().toUtf8() + "/machine");
        setResourceModuleFolders({QFileInfo(QStringLiteral(VELQORIN_MONITOR_QM)).absolutePath()});
    }

    void init() {
        resetServices();
        fleet_ = FakeFleet{};
        fleet_.install();
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return true; };
    }

    void cleanup() {
        delete MainForm;
        UnloadResourceModule();
        QFile::remove(settings_.path() + "/user/Quarvel/Velqorin Network Monitor.conf");
        resetServices();
    }

    // Measuring in a stand-in font would prove nothing about the one the windows ask for.
    void theFormFontIsInstalled() {
        const QFont font = formFont();
        const QFontInfo resolved(font);
        QVERIFY2(resolved.family() == font.families().value(0),
                 qPrintable(QStringLiteral("the form font \"%1\" resolves to \"%2\": install the "
                                           "font packages ./run lists")
                                .arg(font.families().value(0), resolved.family())));
        QCOMPARE(resolved.pixelSize(), font.pixelSize());
    }

    // The meter itself: a control too small for its text is caught, one large enough is not.
    void theMeterCatchesAMisfit_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("width");
        QTest::addColumn<bool>("fits");
        for (const char* kind : {"label", "wrapping label", "check box", "button", "group", "header", "tab"}) {
            QTest::addRow("%s, narrow", kind) << QString::fromLatin1(kind) << 40 << false;
            QTest::addRow("%s, wide", kind) << QString::fromLatin1(kind) << 400 << true;
        }
    }

    void theMeterCatchesAMisfit() {
        QFETCH(QString, kind);
        QFETCH(int, width);
        QFETCH(bool, fits);
        const QString text = QStringLiteral("Mot de passe administrateur");
        QWidget window;
        window.setFont(formFont());
        window.resize(500, 200);
        QWidget* control = nullptr;
        if (kind == "label" || kind == "wrapping label") {
            auto* label = new QLabel(text, &window);
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            label->setWordWrap(kind == "wrapping label");
            label->setGeometry(0, 0, width, 20);
            control = label;
        } else if (kind == "check box") {
            control = new QCheckBox(text, &window);
            control->setGeometry(0, 0, width, 17);
        } else if (kind == "button") {
            control = new QPushButton(text, &window);
            control->setGeometry(0, 0, width, 25);
        } else if (kind == "group") {
            control = new QGroupBox(text, &window);
            control->setGeometry(0, 0, width, 60);
        } else if (kind == "header") {
            auto* tree = new QTreeWidget(&window);
            tree->setHeaderLabels({text});
            tree->header()->setStretchLastSection(false);
            tree->header()->resizeSection(0, width);
            tree->setGeometry(0, 0, 480, 100);
            control = tree;
        } else {
            auto* tabs = new QTabWidget(&window);
            tabs->setGeometry(0, 0, width + 30, 100);
            tabs->addTab(new QWidget, text);
            tabs->addTab(new QWidget, text);
            control = tabs->findChild<QTabBar*>();
        }
        settle(&window);
        const QList<TextRoom> rooms = textRooms(control);
        QVERIFY(!rooms.isEmpty());
        QCOMPARE(misfits(rooms).isEmpty(), fits);
    }

    void mainWindow_data() { languages(); }
    void mainWindow() {
        openWindows();
        // One box of every address mode, neighbourhood and link kind.
        for (std::uint8_t mode = 0; mode <= 3; ++mode) {
            BoxSpec box;
            box.serial = std::to_string(2500 + mode);
            box.addressMode = mode;
            box.neighbourhood = mode % 2;
            box.mac[3] = std::array<std::uint8_t, 4>{0x01, 0x04, 0x08, 0x01}[mode];
            fleet_.boxes.push_back(box);
        }
        BoxSpec follower;
        follower.serial = "2510";
        follower.syncSlave = 1;
        follower.syncMaster = 2500;
        follower.syncFloor = -5;
        follower.syncDone = 1;
        follower.syncAge = 99 * 86400 + 86399;  // the longest age text of two-digit days
        fleet_.boxes.push_back(follower);
        settle(MainForm);
        MainForm->RafraichirExecute();
        Ui::TMainForm& ui = *MainForm->ui;

        QList<TextRoom> rooms = windowRooms(MainForm);
        // The cells whose texts come from the message table: "DHCP", "Voisinage réseau",
        // "Connexion".
        QTreeWidget* list = ui.VelqorinListView;
        QCOMPARE(list->topLevelItemCount(), 5);
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            for (int column : {0, 2, 5, 6}) rooms += cellRoom(list, list->topLevelItem(row), column);
        // The box rows of the second tab, between the masters' empty separator rows.
        ui.PageControl1->setCurrentIndex(1);
        QTreeWidget* chains = ui.VelqorinListView2;
        for (int row = 0; row < chains->topLevelItemCount(); ++row)
            if (!chains->topLevelItem(row)->text(0).isEmpty())
                for (int column : {0, 4}) rooms += cellRoom(chains, chains->topLevelItem(row), column);
        ui.PageControl1->setCurrentIndex(0);
        rooms += messageRooms(MainForm->StatusPanel0, linesOf(MainForm, {14}));
        rooms += messageRooms(MainForm->StatusPanel1, linesOf(MainForm, {15, 16, 17, 18, 19}));

        const QStringList found = misfits(rooms);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
        requireReached(rooms, {"CheckBox1", "ButtonSync", "BitBtn1", "GroupBoxSyncConfig", "LabelPassword",
                               "LabelFloor", "qt_tabwidget_tabbar tab 1", "VelqorinListView column 4",
                               "VelqorinListView2 column 4", "VelqorinListView row 3 column 6",
                               "VelqorinListView2 row 2 column 4",
                               "StatusPanel0", "StatusPanel1"});
    }

    void configureDialog_data() { languages(); }
    void configureDialog() {
        openWindows();
        TConfigureForm* form = ConfigureForm;
        settle(form);
        Ui::TConfigureForm& ui = *form->ui;
        QList<TextRoom> rooms = windowRooms(form);
        QStringList verdicts;
        for (int verdict = 0; verdict <= 4; ++verdict) verdicts << form->Message(TConfigureForm::VerdictLine(verdict));
        rooms += messageRooms(ui.LabelCompatible, verdicts);
        rooms += messageRooms(ui.LabelDHCP, linesOf(form, {12, 13}));
        rooms += messageRooms(ui.LabelVoisinage, linesOf(form, {14, 15}));
        rooms += messageRooms(ui.LabelDHCPPC, linesOf(form, {0, 1, 2}));
        const QStringList found = misfits(rooms);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
        requireReached(rooms, {"GroupBoxVelqorinActuel", "ManuelGroupBoxPC", "CourantIP", "Manuel2LabelPCl",
                               "VoisinageCheckBox", "RebootCheckBox", "PasseGroupBox", "CancelBitBtn",
                               "LabelCompatible", "LabelDHCP"});
    }

    void unlockDialog_data() { languages(); }
    void unlockDialog() {
        openWindows();
        settle(DebloqueForm);
        const QList<TextRoom> rooms = windowRooms(DebloqueForm);
        const QStringList found = misfits(rooms);
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
        requireReached(rooms, {"LabelSerie", "LabelDepanne", "GroupBoxDebloque", "OkDebloqueBitBtn",
                               "CancelDebloqueBitBtn"});
    }

    // A control that grew for its text lies inside its parent and covers none of its
    // neighbours.
    void noControlCoversAnother_data() {
        QTest::addColumn<int>("window");
        QTest::newRow("main window") << 0;
        QTest::newRow("configuration") << 1;
        QTest::newRow("unlock") << 2;
    }

    QWidget* openWindow(int window) {
        MainForm = new TMainForm;
        ConfigureForm = new TConfigureForm(MainForm);
        DebloqueForm = new TDebloqueForm(MainForm);
        QWidget* form = window == 0 ? static_cast<QWidget*>(MainForm)
                        : window == 1 ? static_cast<QWidget*>(ConfigureForm)
                                      : static_cast<QWidget*>(DebloqueForm);
        settle(form);
        return form;
    }

    void noControlCoversAnother() {
        QFETCH(int, window);
        QWidget* form = openWindow(window);
        QList<QWidget*> controls;
        for (QWidget* widget : shownWidgets(form))
            if (isFormControl(widget) && widget->parentWidget() != nullptr) controls.append(widget);
        QVERIFY(controls.size() >= 8);
        for (QWidget* control : controls) {
            const QRect place = control->geometry();
            QVERIFY2(control->parentWidget()->rect().contains(place),
                     qPrintable(controlName(control) + " reaches out of " + controlName(control->parentWidget())));
            for (QWidget* other : controls) {
                // The pages of a tab widget take turns in the same place.
                if (other == control || other->parentWidget() != control->parentWidget() ||
                    qobject_cast<QStackedWidget*>(control->parentWidget()) != nullptr)
                    continue;
                QVERIFY2(!place.intersects(other->geometry()),
                         qPrintable(controlName(control) + " covers " + controlName(other)));
            }
        }
    }

    // The controls in a group lie below its caption and below its frame's top line, which
    // would otherwise run through their texts.
    void groupFramesClearTheirControls_data() { noControlCoversAnother_data(); }
    void groupFramesClearTheirControls() {
        QFETCH(int, window);
        QWidget* form = openWindow(window);
        int checked = 0;
        for (QGroupBox* group : form->findChildren<QGroupBox*>()) {
            if (group->window() != form) continue;  // the dialogs are the main window's children
            ++checked;
            const int line = frameTopLine(group);
            QVERIFY2(line >= 0, qPrintable(controlName(group) + " draws no frame"));
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.text = group->title();
            option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect caption =
                group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
            for (QWidget* control : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (!isFormControl(control) || control->isHidden()) continue;
                QVERIFY2(control->y() > line,
                         qPrintable(QStringLiteral("%1 starts at y %2, on or above the frame line of %3 at y %4")
                                        .arg(controlName(control)).arg(control->y())
                                        .arg(controlName(group)).arg(line)));
                QVERIFY2(!control->geometry().intersects(caption),
                         qPrintable(controlName(control) + " lies under the caption of " + controlName(group)));
            }
        }
        QVERIFY(checked > 0);
    }
};

QTEST_MAIN(TextFitTest)
#include "tst_TextFit.moc"
