// The rows of the two box lists: what each cell shows, the lamps, the order of the first
// list, and the link from a row to its box record.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include "velqorin/AddressNotes.h"
#include "velqorin/BoxOnNetwork.h"

class CVelqorinNetworkAnalyse;
class QColor;
class QPlainTextEdit;

namespace velqorin::monitor {

// Image indexes of the shared lamp list.
enum Lamp : int {
    kLampNone = -1,
    kLampPurple = 0,
    kLampGrey = 1,
    kLampBeige = 2,
    kLampGreen = 3,
    kLampRed = 4,
    kLampBlue = 5,
};
inline constexpr int kLampCount = 6;

// The six 16 x 16 lamps, drawn once.
const QPixmap& lampPixmap(int index);
// A row's icon: the state lamp (or room for it) left of the row lamp.
QIcon rowIcon(int imageIndex, int stateIndex);

int rowImageIndex(const TAnalyseBuffer& record);
int rowStateIndex(const TAnalyseBuffer& record);

// The cell texts of the first list, columns 0 to 7; `messages` is the main window's table.
QString boxCellText(const TAnalyseBuffer& record, int column, const QPlainTextEdit* messages);

// Column of the first list that shows the box's address.
inline constexpr int kAddressColumn = 3;
// The address cell's text colour for what is flagged about it: red (the verdict's colour
// for "not compatible") for an address another box or the workstation uses, maroon for
// one the workstation cannot reach; invalid, the list's own colour, otherwise.
QColor addressCellColour(const velqorin::AddressNote& note);
// Why, one reason a line; empty when nothing is flagged. `adapter` is where the box answered.
QString addressCellToolTip(const velqorin::AddressNote& note, const QString& adapter);

// The serial number as a signed 64-bit number, when the whole text is one.
std::optional<std::int64_t> serialValue(const TAnalyseBuffer& record);

// The first list's comparison of two records for `column` (0..7), ascending; < 0 when
// `a` comes first. `descending` negates it.
int compareBoxes(const TAnalyseBuffer& a, const TAnalyseBuffer& b, int column, bool descending);

// A row of either list. It keeps a copy of the frame it was made from, which the order
// and the cell texts use, and a pointer to the analyser's record, which only commands
// use. A sweep discards the records: detach() then cuts the pointer, so that a row left
// on the screen can never reach a freed record.
class TBoxItem : public QTreeWidgetItem {
public:
    static constexpr int kType = QTreeWidgetItem::UserType + 1;

    TBoxItem(CVelqorinBoxOnNetwork* box, int imageIndex, int stateIndex);

    CVelqorinBoxOnNetwork* box() const { return box_; }
    const TAnalyseBuffer& record() const { return record_; }
    // The identifier of the adapter the box answered on ("eth1").
    const QString& adapter() const { return adapter_; }
    int imageIndex() const { return imageIndex_; }
    int stateIndex() const { return stateIndex_; }
    // Separator rows of the second list have no image; they are not "valid" rows.
    bool isValidRow() const { return box_ != nullptr && imageIndex_ != kLampNone; }
    // What the sweep that made the row flagged about the box's address; kept, as the
    // record is, for when the sweep's lists are gone.
    const velqorin::AddressNote& addressNote() const { return addressNote_; }
    void setAddressNote(velqorin::AddressNote note) { addressNote_ = std::move(note); }
    // The MAC addresses of the other stations that answered the same sweep with the box's
    // serial number on its adapter: two boxes given one serial number, or a station
    // answering in the box's name. Empty as a rule.
    const QStringList& serialAlsoFrom() const { return serialAlsoFrom_; }
    void setSerialAlsoFrom(QStringList macs) { serialAlsoFrom_ = std::move(macs); }

    // Greys the row out and makes it unselectable: what it shows is from a sweep whose
    // records are gone.
    void detach();
    // Cuts the row from its record and makes it unselectable, as it looks: the record is
    // in use on another thread, or about to be freed, until the exchange is over.
    void release();

private:
    CVelqorinBoxOnNetwork* box_;
    TAnalyseBuffer record_;
    QString adapter_;
    int imageIndex_;
    int stateIndex_;
    velqorin::AddressNote addressNote_;
    QStringList serialAlsoFrom_;
};

// Keeps `note` (what the sweep flagged about the row's box address) in a row of the first
// list and shows it: the address cell coloured, and its tooltip saying why after the
// adapter. A serial number other stations answered with too is shown by the same rule in
// the serial number's cell. A row cut from its record keeps the tooltips but not the
// colours, greyed out as the rest of it is.
void showAddressNote(TBoxItem& item, velqorin::AddressNote note);
// Shows a row's kept notes again, after a language change.
void showAddressNote(TBoxItem& item);

// Column of the first list that shows the serial number.
inline constexpr int kSerialColumn = 0;
// Why the serial number cell is red; empty when no other station answered with it.
QString serialCellToolTip(const QStringList& alsoFrom);

// The row item of a list row, or null.
TBoxItem* boxItem(QTreeWidgetItem* item);
// The record behind the selected row of `list`, when that row is valid and still attached.
CVelqorinBoxOnNetwork* selectedBox(const QTreeWidget* list);
TBoxItem* selectedBoxItem(const QTreeWidget* list);
// Detaches every row of `list` from its record and clears the selection.
void detachRows(QTreeWidget* list);
// Releases every row of `list` (the selection is the caller's).
void releaseRows(QTreeWidget* list);

// Hovering any cell of the first `columns` columns of `row` tells which adapter the box
// answered on.
void setAdapterToolTip(TBoxItem& row, int columns);
QString adapterToolTip(const QString& adapter);

// Columns of equal minimum, maximum and initial width: the user cannot resize them.
void fixColumns(QTreeWidget* list, const int* widths, int count, bool clickable);

// Orders the rows of `list` by `compare` (< 0: first row first), keeping rows of equal
// keys in their order and the selection where it was, without change notifications.
template <class Compare>
void sortRows(QTreeWidget* list, Compare compare) {
    QTreeWidgetItem* selected = list->selectedItems().value(0);
    QTreeWidgetItem* current = list->currentItem();
    const QSignalBlocker quiet(list);
    QList<QTreeWidgetItem*> rows = list->invisibleRootItem()->takeChildren();
    std::stable_sort(rows.begin(), rows.end(),
                     [&](QTreeWidgetItem* a, QTreeWidgetItem* b) { return compare(a, b) < 0; });
    list->addTopLevelItems(rows);
    if (current != nullptr) list->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    if (selected != nullptr) selected->setSelected(true);
}

}  // namespace velqorin::monitor
