#include "GroupFrameStyle.h"

#include <QApplication>
#include <QGroupBox>
#include <QPainter>
#include <QPointer>
#include <QStyleOption>

namespace velqorin::monitor {

namespace {

int captionHeight(const QStyleOptionGroupBox& box) {
    return box.text.isEmpty() ? 0 : box.fontMetrics.height();
}

}  // namespace

QRect GroupFrameStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                                      SubControl part, const QWidget* widget) const {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != CC_GroupBox || box == nullptr || (box->subControls & SC_GroupBoxCheckBox))
        return QProxyStyle::subControlRect(control, option, part, widget);
    const int height = captionHeight(*box);
    switch (part) {
        case SC_GroupBoxFrame: return box->rect.adjusted(0, height / 2, 0, 0);
        case SC_GroupBoxContents: return box->rect.adjusted(2, qMax(height, 2), -2, -2);
        case SC_GroupBoxLabel: {
            if (box->text.isEmpty()) return {};
            const int width = box->fontMetrics.size(Qt::TextShowMnemonic, box->text).width();
            const QRect caption(box->rect.left() + kCaptionInset, box->rect.top(), width, height);
            return visualRect(box->direction, box->rect, caption);
        }
        default: return QProxyStyle::subControlRect(control, option, part, widget);
    }
}

void GroupFrameStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                         QPainter* painter, const QWidget* widget) const {
    const auto* box = qstyleoption_cast<const QStyleOptionGroupBox*>(option);
    if (control != CC_GroupBox || box == nullptr || (box->subControls & SC_GroupBoxCheckBox)) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    const QRect caption = subControlRect(control, option, SC_GroupBoxLabel, widget);
    if (box->subControls & SC_GroupBoxFrame) {
        painter->save();
        QRegion around(box->rect);
        if (!caption.isEmpty()) around -= caption.adjusted(-2, 0, 2, 0);
        painter->setClipRegion(around);
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setPen(box->palette.color(QPalette::Window).darker(140));
        painter->setBrush(box->palette.color(QPalette::Window).darker(104));
        const QRectF frame = QRectF(subControlRect(control, option, SC_GroupBoxFrame, widget));
        painter->drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        painter->restore();
    }
    if (!caption.isEmpty() && (box->subControls & SC_GroupBoxLabel))
        proxy()->drawItemText(painter, caption, Qt::TextShowMnemonic | Qt::AlignLeft | Qt::AlignVCenter,
                              box->palette, box->state & State_Enabled, box->text, QPalette::WindowText);
}

void applyGroupFrameStyle(QWidget* form) {
    static QPointer<GroupFrameStyle> style;
    if (style.isNull()) {
        style = new GroupFrameStyle;
        style->setParent(qApp);
    }
    for (QGroupBox* group : form->findChildren<QGroupBox*>()) group->setStyle(style);
}

}  // namespace velqorin::monitor
