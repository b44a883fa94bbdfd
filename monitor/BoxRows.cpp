#include "BoxRows.h"

#include <string>

#include <QBrush>
#include <QColor>
#include <QCoreApplication>
#include <QHeaderView>
#include <QPainter>
#include <QPalette>
#include <QRadialGradient>
#include <QTreeWidget>

#include "Configure.h"
#include "Messages.h"
#include "velqorin/Compatibility.h"
#include "velqorin/Frame.h"
#include "velqorin/NetworkAnalyse.h"
#include "velqorin/SyncOrder.h"

namespace velqorin::monitor {

namespace {

QPixmap drawLamp(QColor colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient light(QPointF(6.0, 5.5), 8.0);
    light.setColorAt(0.0, colour.lighter(170));
    light.setColorAt(1.0, colour.darker(115));
    painter.setBrush(light);
    painter.setPen(QPen(colour.darker(180), 1.0));
    painter.drawEllipse(QRectF(1.5, 1.5, 13.0, 13.0));
    return pixmap;
}

int compareKeys(std::uint64_t a, std::uint64_t b) { return a > b ? 1 : (a < b ? -1 : 0); }

std::uint64_t macKey(const TAnalyseBuffer& r) {
    std::uint64_t key = 0;
    for (std::size_t i = kMacSize; i-- > 0;) key = key << 8 | r.sourceMac[i];
    return key;
}

int linkRank(const TAnalyseBuffer& r) {
    switch (linkKind(r)) {
        case LinkKind::Usb: return 0;
        case LinkKind::Serial: return 1;
        case LinkKind::Network: return 2;
    }
    return 2;
}

// Byte by byte as unsigned characters up to the first difference or the end of the
// shorter text, whose terminating NUL then takes part.
int compareSerialTexts(const TAnalyseBuffer& a, const TAnalyseBuffer& b) {
    const std::string_view ta = fieldText(a.serialNumber);
    const std::string_view tb = fieldText(b.serialNumber);
    for (std::size_t i = 0;; ++i) {
        const int ca = i < ta.size() ? static_cast<unsigned char>(ta[i]) : 0;
        const int cb = i < tb.size() ? static_cast<unsigned char>(tb[i]) : 0;
        if (ca != cb || ca == 0) return ca - cb;
    }
}

}  // namespace

const QPixmap& lampPixmap(int index) {
    static const QPixmap lamps[kLampCount] = {
        drawLamp(QColor(128, 0, 128)), drawLamp(QColor(150, 150, 150)),
        drawLamp(QColor(222, 196, 140)), drawLamp(QColor(0, 160, 0)),
        drawLamp(QColor(220, 0, 0)), drawLamp(QColor(0, 90, 230)),
    };
    static const QPixmap none;
    return index >= 0 && index < kLampCount ? lamps[index] : none;
}

QIcon rowIcon(int imageIndex, int stateIndex) {
    QPixmap pixmap(32, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    if (stateIndex != kLampNone) painter.drawPixmap(0, 0, lampPixmap(stateIndex));
    if (imageIndex != kLampNone) painter.drawPixmap(16, 0, lampPixmap(imageIndex));
    painter.end();
    return QIcon(pixmap);
}

int rowImageIndex(const TAnalyseBuffer& r) {
    if (loadLe<std::uint32_t>(r.syncSlave) == 0) return kLampGreen;
    if (loadLe<std::uint32_t>(r.syncFault) != 0) return kLampGrey;
    if (loadLe<std::uint32_t>(r.syncDone) != 0) return kLampGreen;
    return kLampRed;
}

int rowStateIndex(const TAnalyseBuffer& r) {
    if (loadLe<std::uint32_t>(r.stateIconShown) == 0) return kLampNone;
    return loadLe<std::uint32_t>(r.stateIconAlt) != 0 ? kLampBlue : kLampBeige;
}

QString boxCellText(const TAnalyseBuffer& r, int column, const QPlainTextEdit* messages) {
    const auto line = [messages](MainMessage id) { return memoLine(messages, static_cast<int>(id)); };
    switch (column) {
        case 0: {
            const std::string_view serial = fieldText(r.serialNumber);
            return QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size()));
        }
        case 1: return QString::fromStdString(macText(r.sourceMac));
        case 2:
            switch (r.addressMode) {
                case 1: return line(MainMessage::DhcpYes);
                case 2: return line(MainMessage::DhcpAutoIp);
                case 3: return line(MainMessage::DhcpRarp);
                default: return line(MainMessage::DhcpNo);
            }
        case 3: return QString::fromStdString(ipText(r.currentIp));
        case 4: return QString::fromStdString(ipText(r.currentMask));
        case 5: return line(r.neighbourhood == 1 ? MainMessage::NeighbourhoodYes : MainMessage::NeighbourhoodNo);
        case 6:
            switch (linkKind(r)) {
                case LinkKind::Usb: return line(MainMessage::LinkUsb);
                case LinkKind::Serial: return line(MainMessage::LinkSerial);
                case LinkKind::Network: return line(MainMessage::LinkNetwork);
            }
            return {};
        case 7: return QString::fromStdString(versionText(r));
        default: return {};
    }
}

QColor addressCellColour(const velqorin::AddressNote& note) {
    if (!note.alsoUsedBy.empty() || note.workstationAddress)
        return TConfigureForm::VerdictColour(static_cast<int>(velqorin::Verdict::Incompatible));
    if (!note.reachable)
        return TConfigureForm::VerdictColour(static_cast<int>(velqorin::Verdict::CompatibleUseDhcp));
    return {};
}

QString addressCellToolTip(const velqorin::AddressNote& note, const QString& adapter) {
    QStringList reasons;
    if (!note.alsoUsedBy.empty()) {
        QStringList serials;
        for (const std::string& serial : note.alsoUsedBy)
            serials << QString::fromLatin1(serial.data(), static_cast<qsizetype>(serial.size()));
        reasons << (serials.size() == 1
                        ? QCoreApplication::translate("BoxRows", "Adresse également utilisée par le boîtier %1")
                        : QCoreApplication::translate("BoxRows", "Adresse également utilisée par les boîtiers %1"))
                       .arg(serials.join(QStringLiteral(", ")));
    }
    if (note.workstationAddress)
        reasons << QCoreApplication::translate("BoxRows", "Adresse de cette station de travail");
    if (!note.reachable)
        reasons << QCoreApplication::translate(
                       "BoxRows",
                       "Adresse hors des sous-réseaux de l'interface %1 : la station de travail ne peut pas joindre ce boîtier")
                       .arg(adapter);
    return reasons.join(QLatin1Char('\n'));
}

void showAddressNote(TBoxItem& item, velqorin::AddressNote note) {
    item.setAddressNote(std::move(note));
    showAddressNote(item);
}

QString serialCellToolTip(const QStringList& alsoFrom) {
    if (alsoFrom.isEmpty()) return {};
    return QCoreApplication::translate(
               "BoxRows",
               "Numéro de série annoncé aussi par %1 : deux boîtiers le partagent, ou un autre poste répond en son nom")
        .arg(alsoFrom.join(QStringLiteral(", ")));
}

namespace {

// A flagged cell: its colour while the row is attached, and why after where it answered.
void showCellNote(TBoxItem& item, int column, const QColor& colour, const QString& why) {
    const bool coloured = colour.isValid() && item.flags() != Qt::NoItemFlags;  // not detached
    item.setData(column, Qt::ForegroundRole, coloured ? QVariant(QBrush(colour)) : QVariant());
    const QString where = adapterToolTip(item.adapter());
    item.setToolTip(column, why.isEmpty() ? where : where + QLatin1Char('\n') + why);
}

}  // namespace

void showAddressNote(TBoxItem& item) {
    showCellNote(item, kAddressColumn, addressCellColour(item.addressNote()),
                 addressCellToolTip(item.addressNote(), item.adapter()));
    const bool shared = !item.serialAlsoFrom().isEmpty();
    showCellNote(item, kSerialColumn,
                 shared ? TConfigureForm::VerdictColour(static_cast<int>(velqorin::Verdict::Incompatible))
                        : QColor(),
                 serialCellToolTip(item.serialAlsoFrom()));
}

std::optional<std::int64_t> serialValue(const TAnalyseBuffer& r) { return serialNumberValue(r); }

int compareBoxes(const TAnalyseBuffer& a, const TAnalyseBuffer& b, int column, bool descending) {
    int result = 0;
    switch (column) {
        case 1: result = compareKeys(macKey(a), macKey(b)); break;
        case 2: result = compareKeys(a.addressMode, b.addressMode); break;
        case 3:
            result = compareKeys(loadLe<std::uint32_t>(a.currentIp), loadLe<std::uint32_t>(b.currentIp));
            break;
        case 4:
            result = compareKeys(loadLe<std::uint32_t>(a.currentMask),
                                 loadLe<std::uint32_t>(b.currentMask));
            break;
        case 5: result = compareKeys(a.neighbourhood, b.neighbourhood); break;
        case 6:
            result = compareKeys(static_cast<std::uint64_t>(linkRank(a)),
                                 static_cast<std::uint64_t>(linkRank(b)));
            break;
        case 7:
            result = compareKeys(loadLe<std::uint32_t>(a.softwareVersion),
                                 loadLe<std::uint32_t>(b.softwareVersion));
            break;
        default: {
            const auto na = serialValue(a);
            const auto nb = serialValue(b);
            if (na && nb)
                result = *na > *nb ? 1 : (*na < *nb ? -1 : 0);
            else
                result = compareSerialTexts(a, b);
            break;
        }
    }
    return descending ? -result : result;
}

TBoxItem::TBoxItem(CVelqorinBoxOnNetwork* box, int imageIndex, int stateIndex)
    : QTreeWidgetItem(kType),
      box_(box),
      record_(box->storedRecord),
      imageIndex_(imageIndex),
      stateIndex_(stateIndex) {
    char name[CVelqorinBoxOnNetwork::kAdapterNameSize];
    adapter_ = QString::fromLocal8Bit(box->getInterfaceName(name));
    setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    if (imageIndex != kLampNone || stateIndex != kLampNone)
        setIcon(0, rowIcon(imageIndex, stateIndex));
}

void TBoxItem::detach() {
    box_ = nullptr;
    setData(kAddressColumn, Qt::ForegroundRole, QVariant());
    setData(kSerialColumn, Qt::ForegroundRole, QVariant());
    setSelected(false);
    setFlags(Qt::NoItemFlags);
}

void TBoxItem::release() {
    box_ = nullptr;
    setSelected(false);
    if (flags() != Qt::NoItemFlags) setFlags(Qt::ItemIsEnabled);
}

TBoxItem* boxItem(QTreeWidgetItem* item) {
    return item != nullptr && item->type() == TBoxItem::kType ? static_cast<TBoxItem*>(item)
                                                               : nullptr;
}

TBoxItem* selectedBoxItem(const QTreeWidget* list) {
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    if (selected.isEmpty()) return nullptr;
    TBoxItem* item = boxItem(selected.first());
    return item != nullptr && item->isValidRow() ? item : nullptr;
}

CVelqorinBoxOnNetwork* selectedBox(const QTreeWidget* list) {
    TBoxItem* item = selectedBoxItem(list);
    return item != nullptr ? item->box() : nullptr;
}

void detachRows(QTreeWidget* list) {
    list->clearSelection();
    list->setCurrentItem(nullptr);
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (TBoxItem* item = boxItem(list->topLevelItem(i))) item->detach();
}

void releaseRows(QTreeWidget* list) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (TBoxItem* item = boxItem(list->topLevelItem(i))) item->release();
}

QString adapterToolTip(const QString& adapter) {
    return QCoreApplication::translate("BoxRows", "Boîtier trouvé sur %1").arg(adapter);
}

void setAdapterToolTip(TBoxItem& row, int columns) {
    const QString tip = adapterToolTip(row.adapter());
    for (int column = 0; column < columns; ++column) row.setToolTip(column, tip);
}

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

}  // namespace velqorin::monitor
