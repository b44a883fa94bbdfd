// The rows of the two box lists: what each cell shows, the lamps, the order of the first
// list, and the link from a row to its box record.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QTreeWidgetItem>

#include "velqorin/AddressNotes.h"
#include "velqorin/BoxOnNetwork.h"

class CVelqorinNetworkAnalyse;
class QColor;
class QPlainTextEdit;
class QTreeWidget;

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
    int imageIndex() const { return imageIndex_; }
    int stateIndex() const { return stateIndex_; }
    // Separator rows of the second list have no image; they are not "valid" rows.
    bool isValidRow() const { return box_ != nullptr && imageIndex_ != kLampNone; }
    // What the sweep that made the row flagged about the box's address, and the adapter
    // the box answered on; kept, as the record is, for when the sweep's lists are gone.
    const velqorin::AddressNote& addressNote() const { return addressNote_; }
    const QString& adapter() const { return adapter_; }
    void setAddressNote(velqorin::AddressNote note, QString adapter) {
        addressNote_ = std::move(note);
        adapter_ = std::move(adapter);
    }

    // Greys the row out and makes it unselectable: what it shows is from a sweep whose
    // records are gone.
    void detach();

private:
    CVelqorinBoxOnNetwork* box_;
    TAnalyseBuffer record_;
    int imageIndex_;
    int stateIndex_;
    velqorin::AddressNote addressNote_;
    QString adapter_;
};

// Colours the address cell of a row of the first list and gives it its tooltip. While
// the row is attached, the note is worked out again from `analyser`, whose lists the row
// was made from; a detached row keeps its tooltip but not the colour, greyed out as the
// rest of it is.
void showAddressNote(TBoxItem& item, const CVelqorinNetworkAnalyse& analyser);

// The row item of a list row, or null.
TBoxItem* boxItem(QTreeWidgetItem* item);
// The record behind the selected row of `list`, when that row is valid and still attached.
CVelqorinBoxOnNetwork* selectedBox(const QTreeWidget* list);
TBoxItem* selectedBoxItem(const QTreeWidget* list);
// Detaches every row of `list` from its record and clears the selection.
void detachRows(QTreeWidget* list);

}  // namespace velqorin::monitor
