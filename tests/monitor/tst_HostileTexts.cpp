// Texts a box chooses (its serial number, the adapter name it is listed under) shown by the
// monitor exactly as they are, wherever Qt could take them for rich text: every cell's
// tooltip in both lists, the status bar's wait indicator, message boxes and labels.
#include <QApplication>
#include <QComboBox>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <QTreeWidget>

#include "BoxRows.h"
#include "Principal.h"
#include "Progress.h"
#include "TestSupport.h"
#include "ui_Principal.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

namespace {

// Serial numbers as a hostile LAN sends them; the last fills its 20 bytes without a NUL.
const std::vector<std::string> kSerials = {
    "<img src=nosuch.png>", "<b>bold</b>", "&lt;&amp;", "a\nb\tc", "\x1b]0;x\x07\x1b[2J",
    "bad \xff\xfe", "<i>1234567890123</i>",
};

// What a label shows: its text, or the text of the rich text Qt reads in it.
QString shown(const QLabel& label) {
    const bool rich = label.textFormat() == Qt::RichText ||
                      (label.textFormat() == Qt::AutoText && Qt::mightBeRichText(label.text()));
    if (!rich) return label.text();
    QTextDocument document;
    document.setHtml(label.text());
    return document.toPlainText();
}

// The tooltip on the screen, or null.
QLabel* toolTipLabel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->inherits("QTipLabel")) return qobject_cast<QLabel*>(w);
    return nullptr;
}

// Hovers `widget` at `at` and returns what its tooltip shows; "(none)" when none opens.
QString hover(QWidget* widget, QPoint at) {
    QToolTip::hideText();
    QHelpEvent help(QEvent::ToolTip, at, widget->mapToGlobal(at));
    QApplication::sendEvent(widget, &help);
    const QLabel* tip = toolTipLabel();
    return tip != nullptr ? shown(*tip) : QStringLiteral("(none)");
}

}  // namespace

class HostileTextsTest : public QObject {
    Q_OBJECT

    QTemporaryDir settings_;
    FakeFleet fleet_;

    Ui::TMainForm& ui() { return *MainForm->ui; }

    // Opens the synchronisation row of `serial` for editing.
    void edit(const std::string& serial) {
        ui().PageControl1->setCurrentWidget(ui().TabSheetSynchro);
        QTreeWidget* list = ui().VelqorinListView2;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(0) == QString::fromLatin1(serial.c_str()))
                list->setCurrentItem(list->topLevelItem(i));
        QVERIFY(selectedBox(list) != nullptr);
        MainForm->VelqorinListView2DblClick();
    }

    // Every cell of `list` hovered: its tooltip shows the cell's tooltip text, literally.
    void everyCellShowsItsToolTipLiterally(QTreeWidget* list, int columns) {
        QVERIFY(list->topLevelItemCount() > 0);
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = list->topLevelItem(i);
            for (int column = 0; column < columns; ++column) {
                const QRect cell = list->visualItemRect(row);
                const int x = list->header()->sectionViewportPosition(column) + 2;
                const QString expected = row->toolTip(column);
                if (expected.isEmpty()) continue;  // a separator row has none
                QCOMPARE(hover(list->viewport(), QPoint(x, cell.center().y())), expected);
            }
        }
    }

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", settings_.path().toUtf8() + "/user");
        qputenv("XDG_CONFIG_DIRS", settings_.path().toUtf8() + "/machine");
    }

    void init() {
        resetServices();
        fleet_ = FakeFleet{};
        std::uint8_t last = 0;
        for (const std::string& serial : kSerials) {
            BoxSpec b;
            b.serial = serial;
            b.mac[5] = ++last;
            fleet_.boxes.push_back(b);
        }
        // Listed under an adapter name a station could never choose, but a tooltip shows.
        fleet_.boxes.front().adapter = "<u>vq</u>";
        fleet_.install();
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return true; };
        MainForm = new TMainForm;
        MainForm->show();
        MainForm->RafraichirExecute();
    }

    void cleanup() {
        QToolTip::hideText();
        cancelModalWatches();
        delete MainForm;
        resetServices();
    }

    void listTooltipsShowTheLiteralText() {
        QCOMPARE(ui().VelqorinListView->topLevelItemCount(), static_cast<int>(kSerials.size()));
        // The texts themselves reach the tooltips: the test would prove nothing otherwise.
        bool markup = false;
        for (int i = 0; i < ui().VelqorinListView->topLevelItemCount(); ++i)
            markup = markup || ui().VelqorinListView->topLevelItem(i)->toolTip(0).contains(QStringLiteral("<u>vq</u>"));
        QVERIFY(markup);
        everyCellShowsItsToolTipLiterally(ui().VelqorinListView, 8);
        ui().PageControl1->setCurrentWidget(ui().TabSheetSynchro);
        everyCellShowsItsToolTipLiterally(ui().VelqorinListView2, 5);
    }

    void theWaitForABoxShowsItsSerialLiterally() {
        const std::string serial = kSerials[1];
        QString during;
        QString toolTip;
        services().configSynchro = [&](CVelqorinBoxOnNetwork&, const char*, bool, std::uint32_t,
                                       std::int32_t, bool) {
            onWindowThread([&] {
                toolTip = MainForm->StatusProgress->toolTip();
                during = hover(MainForm->StatusProgress, QPoint(5, 5));
            });
            return kCommandAccepted;
        };
        edit(serial);
        MainForm->ButtonSyncClick();
        QVERIFY(toolTip.contains(QString::fromLatin1(serial.c_str())));
        QCOMPARE(during, toolTip);
    }

    void aFloodOfBoxesIsToldInTheStatusBar() {
        QCOMPARE(MainForm->StatusPanel0->text(), QString());
        fleet_.beyondLimit = 1234;
        MainForm->RafraichirExecute();
        QCOMPARE(MainForm->StatusPanel0->text(),
                 QString::fromUtf8("1234 réponses ignorées au-delà de 65536 boîtiers"));
        fleet_.beyondLimit = 0;
        MainForm->RafraichirExecute();
        QCOMPARE(MainForm->StatusPanel0->text(), QString());
    }

    void messageBoxesAndLabelsShowTheLiteralText() {
        // A master typed as markup: the conversion error quotes it.
        edit("<b>bold</b>");
        ui().CheckBoxMode->setChecked(false);
        QString text, label;
        onNextModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box == nullptr) return;
            text = box->text();
            if (auto* l = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) label = shown(*l);
            box->buttons().first()->click();
        });
        ui().ComboBoxMaster->setEditText(QStringLiteral("<b>12</b>"));
        MainForm->ButtonSyncClick();
        QVERIFY(text.contains(QStringLiteral("<b>12</b>")));
        QCOMPARE(label, text);

        for (QLabel* l : MainForm->findChildren<QLabel*>())
            if (!l->text().isEmpty()) QCOMPARE(l->textFormat(), Qt::PlainText);
    }
};

QTEST_MAIN(HostileTextsTest)
#include "tst_HostileTexts.moc"
