// The "Adresse IP" cell of the box list: red for an address another box or the workstation
// uses, maroon for a box the workstation cannot reach, with the reason as its tooltip, in
// French and in the English module.
#include <algorithm>

#include <QColor>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include "BoxRows.h"
#include "Principal.h"
#include "Reinit.h"
#include "TestSupport.h"
#include "ui_Principal.h"
#include "velqorin/Frame.h"

using namespace velqorin::monitor;
using namespace velqorin::monitor::test;

Q_DECLARE_METATYPE(std::vector<velqorin::monitor::test::BoxSpec>)

namespace {

using Ip = std::array<std::uint8_t, 4>;

const QColor kRed(255, 0, 0);
const QColor kMaroon(128, 0, 0);

BoxSpec box(std::string serial, Ip ip, Ip mask = {255, 255, 255, 0}) {
    BoxSpec b;
    b.serial = std::move(serial);
    b.mac[5] = static_cast<std::uint8_t>(std::stoi(b.serial));  // a MAC of its own
    b.ip = ip;
    b.mask = mask;
    return b;
}

// The workstation: vqtest0 at 192.0.2.10/24, the adapter the boxes answer on.
InterfaceSpec workstation() {
    InterfaceSpec i;
    i.addresses = {{{192, 0, 2, 10}, {255, 255, 255, 0}}};
    return i;
}

// Every cell's tooltip names the adapter; the address cell's then says why it is coloured.
QString found(const QString& why) {
    const QString where = QString::fromUtf8("Boîtier trouvé sur vqtest0");
    return why.isEmpty() ? where : where + QLatin1Char('\n') + why;
}

}  // namespace

class AddressCellTest : public QObject {
    Q_OBJECT

    QTemporaryDir settings_;
    FakeFleet fleet_;

    QTreeWidget* list() { return MainForm->ui->VelqorinListView; }
    QTreeWidgetItem* row(const QString& serial) {
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            if (list()->topLevelItem(i)->text(0) == serial) return list()->topLevelItem(i);
        return nullptr;
    }
    void refreshWith(std::vector<BoxSpec> boxes) {
        fleet_.boxes = std::move(boxes);
        MainForm->RafraichirExecute();
    }
    // The cell's text colour; invalid when the list's own is used.
    static QColor colourOf(QTreeWidgetItem* item, int column) {
        const QVariant brush = item->data(column, Qt::ForegroundRole);
        return brush.isValid() ? brush.value<QBrush>().color() : QColor();
    }

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", settings_.path().toUtf8() + "/user");
        qputenv("XDG_CONFIG_DIRS", settings_.path().toUtf8() + "/machine");
        QDir().mkpath(settings_.path() + "/modules");
        QVERIFY(QFile::copy(QStringLiteral(VELQORIN_MONITOR_QM),
                            settings_.path() + "/modules/VelqorinNetworkMonitor_en.qm"));
    }

    void init() {
        resetServices();
        fleet_ = FakeFleet{};
        fleet_.interfaces = {workstation()};
        fleet_.install();
        services().captureCheck = [](CVelqorinNetworkAnalyse&) { return true; };
        MainForm = new TMainForm;
    }

    void cleanup() {
        delete MainForm;
        UnloadResourceModule();
        resetServices();
    }

    void colourAndToolTip_data() {
        QTest::addColumn<std::vector<BoxSpec>>("boxes");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QString>("toolTip");
        const QString outside = QString::fromUtf8(
            "Adresse hors des sous-réseaux de l'interface vqtest0 : la station de travail ne "
            "peut pas joindre ce boîtier");
        QTest::newRow("alone, in the subnet")
            << std::vector{box("1", {192, 0, 2, 50}), box("2", {192, 0, 2, 51})} << "1" << QColor()
            << QString();
        QTest::newRow("shared with one box")
            << std::vector{box("1", {192, 0, 2, 50}), box("2", {192, 0, 2, 50})} << "1" << kRed
            << QString::fromUtf8("Adresse également utilisée par le boîtier 2");
        QTest::newRow("shared with two boxes")
            << std::vector{box("1", {192, 0, 2, 50}), box("2", {192, 0, 2, 50}),
                           box("3", {192, 0, 2, 50})}
            << "2" << kRed << QString::fromUtf8("Adresse également utilisée par les boîtiers 1, 3");
        QTest::newRow("the workstation's address")
            << std::vector{box("1", {192, 0, 2, 10})} << "1" << kRed
            << "Adresse de cette station de travail";
        QTest::newRow("another subnet")
            << std::vector{box("1", {203, 0, 113, 5})} << "1" << kMaroon << outside;
        // In the workstation's subnet, but the workstation is not in the box's.
        QTest::newRow("narrower mask")
            << std::vector{box("1", {192, 0, 2, 50}, {255, 255, 255, 252})} << "1" << kMaroon
            << outside;
        QTest::newRow("shared and out of reach: red wins, both reasons")
            << std::vector{box("1", {203, 0, 113, 5}), box("2", {203, 0, 113, 5})} << "2" << kRed
            << QString::fromUtf8("Adresse également utilisée par le boîtier 1\n") + outside;
        BoxSpec elsewhere = box("1", {203, 0, 113, 5});
        elsewhere.localMac = {0x02, 0x00, 0x00, 0xaa, 0x00, 0x07};  // not in the inventory
        QTest::newRow("answered on an adapter not recorded")
            << std::vector{elsewhere} << "1" << QColor() << QString();
    }

    void colourAndToolTip() {
        QFETCH(std::vector<BoxSpec>, boxes);
        QFETCH(QString, serial);
        QFETCH(QColor, colour);
        QFETCH(QString, toolTip);
        refreshWith(boxes);
        QTreeWidgetItem* item = row(serial);
        QVERIFY(item != nullptr);
        QCOMPARE(colourOf(item, 3), colour);
        QCOMPARE(item->toolTip(3), found(toolTip));
        // Only the address cell says it; its text is the address as ever.
        for (int column = 0; column < 8; ++column) {
            if (column == 3) continue;
            QVERIFY2(!colourOf(item, column).isValid(), qPrintable(QString::number(column)));
            QCOMPARE(item->toolTip(column), found(QString()));
        }
        const BoxSpec& shown = *std::find_if(boxes.begin(), boxes.end(), [&](const BoxSpec& b) {
            return QString::fromStdString(b.serial) == serial;
        });
        QCOMPARE(item->text(3), QString::fromStdString(velqorin::ipText(shown.ip.data())));
    }

    void columnsStayAsTheyWere() {
        refreshWith({box("1", {192, 0, 2, 50}), box("2", {192, 0, 2, 50})});
        QCOMPARE(list()->columnCount(), 8);
        const int widths[8] = {75, 100, 50, 100, 130, 100, 70, 90};
        for (int column = 0; column < 8; ++column)
            QCOMPARE(list()->header()->sectionSize(column), widths[column]);
        QCOMPARE(list()->headerItem()->text(3), QStringLiteral("Adresse IP"));
    }

    void theEnglishModuleTranslatesTheToolTips() {
        refreshWith({box("1", {203, 0, 113, 5}), box("2", {203, 0, 113, 5}), box("3", {192, 0, 2, 10})});
        // Switched after the refresh: the rows re-read their texts with the windows.
        setResourceModuleFolders({settings_.path() + "/modules"});
        QVERIFY(LoadNewResourceModule(kLocaleEnglishUs) != nullptr);
        ReinitializeForms();
        const QString where = QStringLiteral("Box found on vqtest0\n");
        QCOMPARE(row("1")->toolTip(3),
                 where + QStringLiteral("Address also used by box 2\nAddress outside the subnets of "
                                        "interface vqtest0: the workstation cannot reach this box"));
        QCOMPARE(row("3")->toolTip(3), where + QStringLiteral("Address of this workstation"));
        refreshWith({box("1", {192, 0, 2, 50}), box("2", {192, 0, 2, 50}), box("3", {192, 0, 2, 50})});
        QCOMPARE(row("3")->toolTip(3), where + QStringLiteral("Address also used by boxes 1, 2"));
        QCOMPARE(colourOf(row("3"), 3), kRed);
    }

    void aSerialThatAnotherStationAnswersWithIsRedWithWhy() {
        BoxSpec impostor = box("7", {192, 0, 2, 60});
        impostor.mac[5] = 0x66;
        refreshWith({box("7", {192, 0, 2, 57}), impostor, box("8", {192, 0, 2, 58})});
        QCOMPARE(list()->topLevelItemCount(), 2);  // one entry per adapter and serial, as ever
        QCOMPARE(colourOf(row("7"), kSerialColumn), kRed);
        QCOMPARE(row("7")->toolTip(kSerialColumn),
                 found(QString::fromUtf8("Numéro de série annoncé aussi par 02:00:00:01:00:66 : deux "
                                         "boîtiers le partagent, ou un autre poste répond en son nom")));
        QVERIFY(!colourOf(row("8"), kSerialColumn).isValid());
        QCOMPARE(row("8")->toolTip(kSerialColumn), found(QString()));
        setResourceModuleFolders({settings_.path() + "/modules"});
        QVERIFY(LoadNewResourceModule(kLocaleEnglishUs) != nullptr);
        ReinitializeForms();
        QCOMPARE(row("7")->toolTip(kSerialColumn),
                 QStringLiteral("Box found on vqtest0\nSerial number also announced by "
                                "02:00:00:01:00:66: two boxes share it, or another station "
                                "answers in its name"));
    }

    void aFailedSweepGreysTheCellAndKeepsTheReason() {
        refreshWith({box("1", {192, 0, 2, 50}), box("2", {192, 0, 2, 50})});
        QCOMPARE(colourOf(row("1"), 3), kRed);
        fleet_.succeed = false;
        MainForm->RafraichirExecute();
        // The sweep's lists are gone: the row keeps what that sweep said, greyed out.
        QVERIFY(!colourOf(row("1"), 3).isValid());
        QCOMPARE(row("1")->toolTip(3), found(QString::fromUtf8("Adresse également utilisée par le boîtier 2")));
        fleet_.succeed = true;
        refreshWith({box("1", {192, 0, 2, 50})});
        QVERIFY(!colourOf(row("1"), 3).isValid());
        QCOMPARE(row("1")->toolTip(3), found(QString()));
    }
};

QTEST_MAIN(AddressCellTest)
#include "tst_AddressCell.moc"
