// What a control's text needs and what room the control gives it, in pixels, as the
// widget's style lays it out: the frame, the indicator, the margins and the icon come
// off the control's size before the text gets the rest.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTabBar>
#include <QTreeWidget>

namespace velqorin::monitor::test {

struct TextRoom {
    QString control;  // the widget's name, with the tab, column or cell it is about
    QString text;
    QString axis;     // "wide" or "high"
    int need = 0;
    int room = 0;

    bool fits() const { return need <= room; }
    QString describe() const {
        return QStringLiteral("%1: \"%2\" needs %3 px %4, has %5")
            .arg(control, text, QString::number(need), axis, QString::number(room));
    }
};

inline QString controlName(const QWidget* widget) {
    return widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className())
                                          : widget->objectName();
}

// A label draws its text in its contents rectangle less its margin and indent; a
// wrapping one breaks the text into lines that must all fit its height.
inline QList<TextRoom> labelRoom(const QLabel* label) {
    const QString text = label->text();
    if (text.isEmpty() || label->textFormat() == Qt::RichText) return {};
    const QFontMetrics metrics = label->fontMetrics();
    const int margin = label->margin();
    QRect area = label->contentsRect().adjusted(margin, margin, -margin, -margin);
    int indent = label->indent();
    if (indent < 0 && label->frameWidth() > 0) indent = metrics.horizontalAdvance(QLatin1Char('x')) / 2;
    if (indent > 0) {
        if (label->alignment() & Qt::AlignLeft) area.setLeft(area.left() + indent);
        if (label->alignment() & Qt::AlignRight) area.setRight(area.right() - indent);
    }
    QSize used;
    if (label->wordWrap())
        used = metrics.boundingRect(QRect(0, 0, area.width(), 1 << 20),
                                    int(Qt::TextWordWrap | label->alignment()), text).size();
    else
        used = metrics.size(0, text);
    const QString name = controlName(label);
    return {{name, text, QStringLiteral("wide"), used.width(), area.width()},
            {name, text, QStringLiteral("high"), used.height(), area.height()}};
}

inline QStyleOptionButton buttonOption(const QAbstractButton* button) {
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    if (const auto* push = qobject_cast<const QPushButton*>(button)) {
        if (push->autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
        if (push->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
        if (push->isFlat()) option.features |= QStyleOptionButton::Flat;
        if (push->menu() != nullptr) option.features |= QStyleOptionButton::HasMenu;
    }
    return option;
}

// A check box or radio button: its indicator and the spacing after it come first. A push
// button: its frame (and the default-button ring), then the style's margin around the label.
inline QList<TextRoom> buttonRoom(const QAbstractButton* button) {
    const QString text = button->text();
    if (text.isEmpty()) return {};
    const QStyle* style = button->style();
    const QStyleOptionButton option = buttonOption(button);
    const QFontMetrics metrics = button->fontMetrics();
    QSize need = metrics.size(Qt::TextShowMnemonic, text);
    if (!button->icon().isNull()) need.rwidth() += button->iconSize().width() + 4;
    QRect area;
    if (qobject_cast<const QCheckBox*>(button) != nullptr) {
        area = style->subElementRect(QStyle::SE_CheckBoxContents, &option, button);
    } else if (qobject_cast<const QRadioButton*>(button) != nullptr) {
        area = style->subElementRect(QStyle::SE_RadioButtonContents, &option, button);
    } else {
        area = style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button);
        area.adjust(margin / 2, 0, -(margin - margin / 2), 0);
    }
    const QString name = controlName(button);
    return {{name, text, QStringLiteral("wide"), need.width(), area.width()},
            {name, text, QStringLiteral("high"), need.height(), area.height()}};
}

// A group's caption sits on its frame, after the style's inset; the same inset on the
// right keeps it off the frame's far corner.
inline QList<TextRoom> groupCaptionRoom(const QGroupBox* group) {
    const QString title = group->title();
    if (title.isEmpty()) return {};
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = title;
    option.lineWidth = 1;
    option.midLineWidth = 0;
    option.textAlignment = group->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    if (group->isCheckable()) option.subControls |= QStyle::SC_GroupBoxCheckBox;
    if (group->isFlat()) option.features |= QStyleOptionFrame::Flat;
    const QStyle* style = group->style();
    const QRect frame = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, group);
    const QRect label = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
    const int inset = qMax(0, label.left() - frame.left());
    const QFontMetrics metrics = group->fontMetrics();
    return {{controlName(group), title, QStringLiteral("wide"),
             metrics.size(Qt::TextShowMnemonic, title).width(), frame.width() - 2 * inset}};
}

// A tab's text gets the tab less the style's padding; every tab must be on the bar, not
// behind its scroll buttons.
inline QList<TextRoom> tabRoom(const QTabBar* bar) {
    QList<TextRoom> rooms;
    const QFontMetrics metrics = bar->fontMetrics();
    for (int i = 0; i < bar->count(); ++i) {
        QStyleOptionTab option;
        option.initFrom(bar);
        option.shape = bar->shape();
        option.text = bar->tabText(i);
        option.icon = bar->tabIcon(i);
        option.iconSize = bar->iconSize();
        option.documentMode = bar->documentMode();
        option.rect = bar->tabRect(i);
        const QRect text = bar->style()->subElementRect(QStyle::SE_TabBarTabText, &option, bar);
        const QString name = QStringLiteral("%1 tab %2").arg(controlName(bar)).arg(i);
        rooms.append({name, option.text, QStringLiteral("wide"),
                      metrics.size(Qt::TextShowMnemonic, option.text).width(), text.width()});
        rooms.append({name + QStringLiteral(" (right edge on the bar)"), option.text,
                      QStringLiteral("wide"), option.rect.right() + 1, bar->width()});
    }
    return rooms;
}

// A column header elides its caption to the style's label rectangle less twice the
// header margin, the sort arrow when it sits beside the text, and the icon.
inline QList<TextRoom> headerRoom(const QTreeView* tree) {
    QList<TextRoom> rooms;
    const QHeaderView* header = tree->header();
    const QAbstractItemModel* model = header->model();
    const QStyle* style = header->style();
    const QFontMetrics metrics = header->fontMetrics();
    const bool arrowBeside =
        style->styleHint(QStyle::SH_Header_ArrowAlignment, nullptr, header) & Qt::AlignVCenter;
    for (int section = 0; section < header->count(); ++section) {
        if (header->isSectionHidden(section)) continue;
        QStyleOptionHeader option;
        option.initFrom(header);
        option.state |= QStyle::State_Horizontal | QStyle::State_Raised;
        option.orientation = Qt::Horizontal;
        option.section = section;
        option.text = model->headerData(section, Qt::Horizontal, Qt::DisplayRole).toString();
        option.rect = QRect(header->sectionViewportPosition(section), 0,
                            header->sectionSize(section), qMax(header->height(), metrics.height()));
        const bool sorted = header->isSortIndicatorShown() && header->sortIndicatorSection() == section;
        if (sorted)
            option.sortIndicator = header->sortIndicatorOrder() == Qt::AscendingOrder
                                       ? QStyleOptionHeader::SortDown
                                       : QStyleOptionHeader::SortUp;
        int margin = 2 * style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        if (sorted && arrowBeside) margin += style->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header);
        if (!model->headerData(section, Qt::Horizontal, Qt::DecorationRole).isNull())
            margin += style->pixelMetric(QStyle::PM_SmallIconSize, nullptr, header) +
                      style->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        const QRect label = style->subElementRect(QStyle::SE_HeaderLabel, &option, header);
        rooms.append({QStringLiteral("%1 column %2").arg(controlName(tree)).arg(section), option.text,
                      QStringLiteral("wide"), metrics.horizontalAdvance(option.text),
                      label.width() - margin});
    }
    return rooms;
}

// A cell's text gets its column less the icon and the item view's text margin on both
// sides; its row must be as high as the text and the row's lamps.
inline QList<TextRoom> cellRoom(const QTreeWidget* tree, QTreeWidgetItem* item, int column) {
    const QStyle* style = tree->style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1;
    int room = tree->columnWidth(column) - 2 * margin;
    int high = tree->fontMetrics().height();
    if (!item->icon(column).isNull()) {
        room -= tree->iconSize().width() + 2 * margin;
        high = qMax(high, tree->iconSize().height());
    }
    const QString text = item->text(column);
    const QString name = QStringLiteral("%1 row %2 column %3")
                             .arg(controlName(tree))
                             .arg(tree->indexOfTopLevelItem(item))
                             .arg(column);
    return {{name, text, QStringLiteral("wide"), tree->fontMetrics().horizontalAdvance(text), room},
            {name, text, QStringLiteral("high"), high, tree->visualItemRect(item).height()}};
}

// Every text-bearing part of `widget` that a person can see: captions of labels, buttons
// and groups, the tabs of a tab bar, the column headers of a tree.
inline QList<TextRoom> textRooms(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) return labelRoom(label);
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return buttonRoom(button);
    if (const auto* group = qobject_cast<const QGroupBox*>(widget)) return groupCaptionRoom(group);
    if (const auto* bar = qobject_cast<const QTabBar*>(widget)) return tabRoom(bar);
    if (const auto* tree = qobject_cast<const QTreeView*>(widget); tree != nullptr && !tree->isHeaderHidden())
        return headerRoom(tree);
    return {};
}

}  // namespace velqorin::monitor::test
